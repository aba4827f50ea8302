// Handler programs: the programs the agent starts for program endpoints,
// each with one message on its standard input, and everything they start in
// turn.
//
// The agent is a child subreaper (handler_programs_become_subreaper at
// start-up): a process a handler program leaves behind, in its session or a
// new one (setsid), is re-parented to the agent rather than to init, so the
// agent can count it, reap it and stop it.
//
// Slots. A program holds one slot of its handler while it runs and while
// anything it started still runs. A handler has at most
// kHandlerProgramsPerHandler slots, the agent kHandlerProgramsMax in all;
// start_handler_program refuses (0) when none is free, and the caller waits
// without blame: a slot wait is never a time-out.
//
// Attribution of descendants. Every program gets the environment variable
// kHandlerProgramEnv (its slot number), which its descendants inherit.
// reap_handler_programs scans /proc (at most every kDescendantScanMillis while
// programs or descendants live, and at once after a program ended): a
// process whose parent is a program or a known descendant joins that slot
// (remembered by pid and start time, so a chain broken by an exit keeps its
// attribution); a process re-parented to the agent that is not yet known is
// attributed by the marker in /proc/PID/environ. Processes that are neither
// (the commands exec_ext_app runs through popen) are never waited for here,
// so their pclose still gets their status. A descendant that clears its
// environment and is re-parented before a scan saw its parent escapes the
// count (it is still a child of the agent, and the service manager's
// cgroup ends it with the agent).
//
//   UniqueFd input, status;
//   const pid_t pid = start_handler_program(key, path, &input, &status);
//   if (pid == 0) ... no slot: try again later ...
//
// Every function may be called from any thread; one mutex guards the table.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "common/unique_fd.h"

// Programs (with their descendants) of one handler at once.
constexpr int kHandlerProgramsPerHandler = 8;
// Programs (with their descendants) of all handlers at once.
constexpr int kHandlerProgramsMax = 32;
// At a stop, programs and descendants still running get SIGTERM, and SIGKILL
// this much later.
constexpr int kHandlerProgramStopGraceSeconds = 3;
// The environment variable that marks a handler program's descendants.
constexpr const char* kHandlerProgramEnv = "ZELAGENT_HANDLER_SLOT";
// Shortest time between two /proc scans for descendants.
constexpr int kDescendantScanMillis = 100;

// Makes the process a child subreaper. Returns false after an ERROR when the
// kernel refuses. Call once at start-up.
bool handler_programs_become_subreaper();

// True when `owner` (a handler key) could start one more program now.
bool handler_program_slot_free(const std::string& owner);

// Forks and starts `path` for the handler `owner` in a session of its own,
// standard output and error on /dev/null. On success returns the pid and
// gives the write end of its input pipe (non-blocking) through `input` and
// the read end of its start report through `status` (see
// read_program_start). Returns 0 when no slot is free (nothing started), -1
// after an ERROR when the pipe or the fork failed.
pid_t start_handler_program(const std::string& owner, const std::string& path, UniqueFd* input,
                            UniqueFd* status);

// Reads the start report of a program from its readable `status` descriptor:
// 1 when the program runs (the exec closed the pipe), 0 after logging the
// child's failure, -1 when nothing is there yet.
int read_program_start(int status, const std::string& path);

// Reaps the programs and descendants that have ended, frees their slots, and
// returns how many programs and descendants still run.
std::size_t reap_handler_programs();

// SIGTERM to every program (and its process group) and every descendant,
// SIGKILL `grace` later to whatever is still there (descendants found
// meanwhile included), and reaps them. Returns how many had to be killed.
int stop_handler_programs(std::chrono::milliseconds grace);
