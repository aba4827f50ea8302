// Process-level services of the agent: turning the process into a detached
// daemon, the pid-file lock that lets only one agent run, the process-wide
// sleep gate that other threads wait in between retries (and that one wake
// call cuts short), and running an external command to collect its output.
//
// The module has no threads of its own; every operation runs on the
// caller's thread and logs its failures itself.
//
// Usage by the start-up driver:
//
//   if (daemonize() != 0) return 1;            // before any thread exists
//   int pid_fd = lock_pid_file(path);          // after daemonize
//   if (pid_fd < 0) return 1;
//   ...
//   unlock_pid_file(path, pid_fd);             // at orderly shut-down
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// --- The sleep gate ------------------------------------------------------------
//
// One process-wide gate, ready without set-up. Any number of threads may
// sleep in it at once. A wake_sleepers call ends every sleep_for and
// wait_for_wakeup under way at that moment; a sleep that begins after it is
// not ended by it.

// Sleeps until `seconds` (a signed 32-bit count; 0 or less returns at once)
// have passed on the wall clock, measured to an absolute realtime deadline
// fixed when the call begins, or until wake_sleepers is called.
void sleep_for(std::int32_t seconds);

// Sleeps until the next wake_sleepers call.
void wait_for_wakeup();

// Ends every sleep_for and wait_for_wakeup under way. Any thread may call it.
void wake_sleepers();

// --- The agent's stop -----------------------------------------------------------
//
// One process-wide flag, set once when the agent is told to shut down
// (SIGTERM, SIGINT) and never cleared. Every wait on a peer (a cloud request,
// a broker connect, proxy or TLS step, a control command) looks at it at
// least every few hundred milliseconds and gives up once it is set, so that
// a shut-down never waits on a peer that hangs.

// Sets the flag and ends every sleep in the gate. Any thread; safe in a
// signal handler only for the flag (the gate's wake takes a mutex).
void request_agent_stop();
// True once request_agent_stop was called. Any thread.
bool agent_stop_requested();

// Sleeps in periods of 1800 seconds and never returns.
[[noreturn]] void sleep_forever();

// Sleeps in periods of 1800 seconds until a period is cut short by a signal
// whose handler ran on this thread, then returns.
void sleep_forever_interruptable();

// --- Daemon and pid file -----------------------------------------------------------

// Detaches the process: forks twice with a new session in between, closes
// every descriptor, points 0, 1 and 2 at /dev/null, clears the umask and
// changes directory to "/". Returns 0 in the detached grandchild. The
// calling process does not return: it waits until the grandchild reports its
// start (daemon_start_succeeded, or daemon_start_failed with the reason) and
// then exits with status 0, or with status 1 after writing the reason to its
// standard error; a grandchild that ends without a report counts as failed.
// The intermediate child exits with status 0 at once. Returns -1 on failure,
// or at once, changing nothing, when the parent process is already process
// 1 (no one waits for a report then). Call it while the process has one
// thread.
int daemonize();

// The detached process's report to the process that started it (see
// daemonize); the first report counts, later ones and reports of a process
// that did not detach do nothing.
void daemon_start_succeeded();
void daemon_start_failed(const std::string& reason);

// Creates the pid file `path` when missing (mode 0660) and holds a write
// record lock over it, with the own pid and a newline as its content. A file
// whose lock another process holds is refused (another agent runs); a file
// nobody holds a lock on is stale whatever it contains (a dead agent's pid,
// nothing after a power cut, garbage) and is taken over. Only a regular file
// is used: a symbolic link is never followed, and a FIFO, directory, socket
// or device is refused at once (the open never blocks). Returns the locked
// descriptor (0 or more), which the caller keeps open for the daemon's life
// and hands back to unlock_pid_file; -1 on failure, with the reason for a
// user in *refusal when `refusal` is not null ("a FIFO, not a regular
// file", "another agent is running", ...).
int lock_pid_file(const char* path, std::string* refusal = nullptr);

// The pid of the process that holds the lock of the pid file `path`, or
// std::nullopt when nobody does (or there is no such regular file: the
// path is opened as lock_pid_file opens it, never blocking, never following
// a symbolic link).
std::optional<int> pid_file_holder(const char* path);

// Releases the lock of `descriptor`, closes it and removes `path`. Returns 0
// when the file was removed, -1 when it cannot be (e.g. already gone).
int unlock_pid_file(const char* path, int descriptor);

// Removes `path`. Returns -1 when it does not exist, otherwise the result of
// unlink (0, or -1 on failure).
int remove_file(const char* path);

// Runs `command` with the shell and collects everything it writes to its
// standard output. Returns 0 when the command ran and its output was
// collected: `*output` then holds exactly those bytes (possibly none; it may
// contain NUL bytes) and `*output_length` their count. The command's own exit
// status is not reported: a failing command still gives 0 with what it printed.
// Returns -1 when the command cannot be started (the out parameters are left
// as they were) or memory runs out (both cleared). Any thread may call it.
int exec_ext_app(const char* command, std::string* output, std::uint32_t* output_length);

// Seams for the tests only.
namespace daemon_testing {
// How many threads wait in the sleep gate (sleep_for, wait_for_wakeup) now.
int gate_sleepers();
}  // namespace daemon_testing
