// The Logger: every module of the agent and the control tool reports through
// log_message. A line goes to standard error and is appended, time-stamped,
// to a size-limited log file that is rotated into five gzip generations.
//
// There is no initialisation call: the settings below are process-wide
// variables with library defaults that a program's entry point overwrites
// before it starts any thread; they are read without locking afterwards.
//
// Usage, inside a module's source file:
//
//   namespace { constexpr const char* kLogModule = "config"; }
//   ...
//   ZLOG(kLogInfo, "Can't get value by name:'%s' error: %s.\n", key, text);
//
// Any thread may log. Lines of different threads never interleave.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Levels. 5 is only a threshold: with log_level 5 nothing of levels 1-4 passes.
enum : int {
  kLogDebug = 1,
  kLogInfo = 2,
  kLogWarning = 3,
  kLogError = 4,
  kLogSilent = 5,
  kLogEvent = 6,  // never filtered by level
};

// Settings (written by the entry point before any other thread runs).
extern int log_level;              // default 5
extern int log_to_console;         // default 1
extern int log_to_file;            // default 1
extern std::string log_file_path;  // default unset (empty: no file output)
extern std::string event_file_path;  // when set, EVENT lines go there

constexpr std::int64_t kLogMaxSize = 4194304;  // size limit of one log file
constexpr int kLogRotateCount = 5;     // rotated generations kept
// One source line (module and line number) writes at most this many lines
// and this many message bytes a second; the rest of that second is
// suppressed and counted. A peer that makes the agent log once per packet
// cannot then wear the flash out or rotate the history away. The count is
// written as a WARNING of that source line ("%u more line(s) from here
// suppressed (over %d lines or %d bytes a second).") as soon as its second
// is over: before the next line of any source, at the agent's tick
// (log_flush_quiet_suppressed) or at stop (log_flush_suppressed).
constexpr int kLogFloodLinesPerSecond = 10;
constexpr std::size_t kLogFloodBytesPerSecond = 8192;
// All sources together write at most this many bytes of lines a minute (of
// the monotonic clock); past it every line but the state events is
// suppressed and counted, and the count is written when the minute is over
// ("%u line(s) suppressed (over the log budget of %lld bytes a minute).").
// A full live file then takes at least 40 minutes to rotate, and a burst
// that straddles two minutes writes at most twice the budget.
constexpr std::int64_t kLogBudgetBytesPerMinute = 98304;
// A formatted message longer than this is cut and ends with "...(N bytes)".
constexpr std::size_t kLogMessageMax = 4096;

// Writes one line; `format` ends with its own "\n" (one is added when it
// does not, so that every entry is one line). `source` is the calling
// module's name (a string literal: the flood limit tells sources apart by
// its address), `line` its __LINE__. Messages below `log_level` (and levels
// of 0 or less) return at once without locking; EVENT is never filtered.
// errno is the same after the call as before it. Failures to write the file
// are reported on standard error ("Log rotation function failed") and the
// line is dropped; a full disk first frees space by deleting the oldest
// rotated generations one at a time.
// A line break or carriage return inside the formatted message is written
// as "\n" or "\r": one call writes one line, whatever its arguments hold.
void log_message(int level, const char* source, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// An EVENT line that reports a change of the agent's state (registered,
// claimed, connected). Unlike every other line it is never suppressed by the
// flood limit or the budget (its bytes still count in the budget): the
// changes are few, each one follows a round trip to the cloud or the broker,
// and an operator must be able to trust that none is missing.
void log_state_event(const char* source, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Writes the suppressed-line counts whose second (or budget minute) is over.
// The agent's main loop calls it every second, so a source that went quiet
// after a flood still gets its count written. Any thread.
void log_flush_quiet_suppressed();

// Writes every suppressed-line count now, the current second's and minute's
// included, and starts a new budget minute. Called at stop, right before
// the program's last line, which the budget then lets through.
void log_flush_suppressed();

// Thread routine started (detached) after a rotation: compresses the plain
// generations of `path` with gzip and releases the rotation lock.
void log_compress_worker(std::string path);

// Blocks until no compression worker runs. A short-lived program calls it
// before it exits (the control tool registers it with atexit): a detached
// worker dies with the process, and a program that always exits right after
// the line that rotated would leave every generation uncompressed.
void log_wait_for_compression();

// Text that comes from outside the agent (control requests, cloud replies,
// handler names, broker data, store values) is logged only through
// log_escape: it cannot then break a line, forge one or flood the log.
constexpr std::size_t kLogOutsideTextMax = 256;  // bytes of outside text kept in a line

// `text` made safe for one log line: a backslash becomes "\\", a line
// break, carriage return or tab "\n", "\r", "\t", any other byte below
// 0x20 and 0x7f to 0xff "\xNN". The result is cut after the escape that
// reaches `max` bytes; a cut text ends with "...(N bytes)" giving the length
// of the original. Pure; any thread.
std::string log_escape(std::string_view text, std::size_t max = kLogOutsideTextMax);

#define ZLOG(level, ...) log_message((level), kLogModule, __LINE__, __VA_ARGS__)
#define ZLOG_STATE_EVENT(...) log_state_event(kLogModule, __LINE__, __VA_ARGS__)

// Seams for the tests only.
namespace log_testing {
// Replaces write(2) on the log and event files (to simulate a full disk).
// nullptr: write(2). Set it only while no other thread logs.
extern ssize_t (*write_hook)(int fd, const void* data, std::size_t size);
// Replaces the monotonic clock (seconds) of the flood limit and the budget.
// nullptr: CLOCK_MONOTONIC. Set it only while no other thread logs.
extern std::int64_t (*clock_hook)();
// Blocks until no compression worker runs (takes and releases the rotation lock).
void wait_for_compression();
}  // namespace log_testing
