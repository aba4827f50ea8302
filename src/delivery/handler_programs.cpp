// Handler programs: starting one (fork, a clean child, exec), its slot, and
// the reaping and stopping of programs and their descendants.
//
// Between fork and exec the child takes no lock: it reports a failure as a
// fixed-size record on a close-on-exec status pipe, and the agent logs it.
// The status pipe reaches end of file when the exec succeeded.
#include "delivery/handler_programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "log/log.h"

extern char** environ;

namespace {
constexpr const char* kLogModule = "message_sender";

constexpr const char* kDevNull = "/dev/null";
constexpr int kFirstNonStandardFd = 3;
constexpr unsigned kCloseRangeCloexec = 4;  // CLOSE_RANGE_CLOEXEC (Linux 5.11)
constexpr rlim_t kFallbackFdLimit = 65536;  // descriptors examined without close_range
constexpr std::size_t kProcFileMax = 4096;  // bytes of /proc/PID/stat or environ read
constexpr std::chrono::milliseconds kStopPoll{20};
// After SIGKILL, how long the stop looks for stragglers (forks in flight).
constexpr std::chrono::milliseconds kKillSweep{1000};

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// The child between fork and exec (async-signal-safe calls only).

enum child_stage : std::int32_t {
  kStageFork = 1,
  kStageSignal,
  kStageOpenNull,
  kStageDupStdout,
  kStageDupStderr,
  kStageDupStdin,
  kStageChdir,
  kStageExec,
};

struct child_report {
  std::int32_t stage;
  std::int32_t error;
};

[[noreturn]] void child_fail(int status_fd, child_stage stage) {
  const child_report report{stage, errno};
  ssize_t written;
  do {
    written = ::write(status_fd, &report, sizeof report);
  } while (written < 0 && errno == EINTR);
  ::_exit(1);
}

// Moves `fd` above the standard descriptors (close-on-exec kept), so that the
// dup2 calls below cannot overwrite it.
int above_standard(int fd) {
  if (fd >= kFirstNonStandardFd) return fd;
  return ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstNonStandardFd);
}

// Marks every descriptor above the standard three close-on-exec, so that the
// handler program inherits none of the agent's sockets and files (a handler
// holding the control listener's socket would keep its port taken after the
// agent ends). The status pipe stays open until the exec itself.
void keep_only_standard_fds() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, kFirstNonStandardFd, ~0U, kCloseRangeCloexec) == 0) return;
#endif
  rlimit limit{};
  rlim_t last = kFallbackFdLimit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < last) {
    last = limit.rlim_cur;
  }
  for (rlim_t fd = kFirstNonStandardFd; fd < last; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void exec_handler(const char* path, char* const* env, int input_fd, int write_fd, int status_fd) {
  status_fd = above_standard(status_fd);
  input_fd = above_standard(input_fd);
  if (status_fd < 0 || input_fd < 0) ::_exit(1);

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A SIGPIPE the agent ignores must not stay ignored in the handler.
  ::signal(SIGPIPE, SIG_DFL);
  if (::signal(SIGHUP, SIG_IGN) == SIG_ERR) child_fail(status_fd, kStageSignal);
  // A group of its own: the agent can end the program with what it started
  // in its group, and a terminal's signals to the agent do not reach it.
  ::setsid();
  const int null_fd = ::open(kDevNull, O_RDWR);
  if (null_fd < 0) child_fail(status_fd, kStageOpenNull);
  if (::dup2(null_fd, STDOUT_FILENO) < 0) child_fail(status_fd, kStageDupStdout);
  if (::dup2(null_fd, STDERR_FILENO) < 0) child_fail(status_fd, kStageDupStderr);
  if (null_fd > STDERR_FILENO) ::close(null_fd);
  ::close(write_fd);
  if (::dup2(input_fd, STDIN_FILENO) < 0) child_fail(status_fd, kStageDupStdin);
  ::close(input_fd);
  keep_only_standard_fds();
  ::umask(0);
  if (::chdir("/") != 0) child_fail(status_fd, kStageChdir);
  char* const argv[] = {const_cast<char*>(path), nullptr};
  ::execvpe(path, argv, env);
  child_fail(status_fd, kStageExec);
}

void log_child_failure(const child_report& report, const std::string& path) {
  switch (report.stage) {
    case kStageFork: ZLOG(kLogError, "fork(), errno: %d.\n", report.error); break;
    case kStageSignal: ZLOG(kLogError, "signal().\n"); break;
    case kStageOpenNull: ZLOG(kLogError, "open() %s\n", kDevNull); break;
    case kStageDupStdout: ZLOG(kLogError, "dup2() [stdout]\n"); break;
    case kStageDupStderr: ZLOG(kLogError, "dup2() [stderr]\n"); break;
    case kStageDupStdin: ZLOG(kLogError, "dup2(). [stdin], errno: %d.\n", report.error); break;
    case kStageChdir: ZLOG(kLogError, "chdir() /\n"); break;
    default:
      ZLOG(kLogError, "Cannot execute %s, errno %d.\n", log_escape(path).c_str(), report.error);
      break;
  }
}

// ---------------------------------------------------------------------------
// /proc.

struct proc_entry {
  pid_t pid = 0;
  pid_t ppid = 0;
  char state = '?';
  unsigned long long start_time = 0;  // clock ticks after boot: tells a reused pid
};

std::string read_small_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  std::string text(kProcFileMax, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

// /proc/PID/stat: "pid (comm) state ppid pgrp session ... starttime(22nd)".
// The command name may hold blanks and parentheses: fields start after the
// last ')'.
bool read_proc_entry(pid_t pid, proc_entry* entry) {
  const std::string text = read_small_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char* p = text.c_str() + close + 2;
  entry->pid = pid;
  entry->state = *p;
  char* end = nullptr;
  entry->ppid = static_cast<pid_t>(std::strtol(p + 1, &end, 10));
  // Fields 5 to 21, then starttime.
  for (int field = 5; field <= 21 && end != nullptr && *end != '\0'; ++field) std::strtoll(end, &end, 10);
  if (end == nullptr) return false;
  entry->start_time = std::strtoull(end, nullptr, 10);
  return true;
}

std::vector<proc_entry> list_processes() {
  std::vector<proc_entry> entries;
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, DirCloser> dir(::opendir("/proc"));
  if (!dir) return entries;
  while (const dirent* item = ::readdir(dir.get())) {
    char* end = nullptr;
    const long pid = std::strtol(item->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    proc_entry entry;
    if (read_proc_entry(static_cast<pid_t>(pid), &entry)) entries.push_back(entry);
  }
  return entries;
}

// The slot number in a process's environment marker, 0 when it has none, or
// nullopt when its environment cannot be read now (it is in the middle of an
// exec, or already gone): a later scan looks again.
std::optional<std::uint64_t> marker_of(pid_t pid) {
  const std::string env = read_small_file("/proc/" + std::to_string(pid) + "/environ");
  if (env.empty()) return std::nullopt;
  const std::string prefix = std::string(kHandlerProgramEnv) + "=";
  for (std::size_t at = 0; at < env.size();) {
    const std::size_t end = std::min(env.find('\0', at), env.size());
    if (env.compare(at, prefix.size(), prefix) == 0) {
      return std::strtoull(env.c_str() + at + prefix.size(), nullptr, 10);
    }
    at = end + 1;
  }
  return 0;
}

// A close-on-exec pipe; false after an ERROR.
bool make_pipe(UniqueFd* read_end, UniqueFd* write_end) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    ZLOG(kLogError, "Cannot create pipe. errno: %d.\n", errno);
    return false;
  }
  read_end->reset(ends[0]);
  write_end->reset(ends[1]);
  return true;
}

// ---------------------------------------------------------------------------
// The table of slots.

// Scans for which an orphan whose environment cannot be read keeps the slots
// of ended programs from being given up.
constexpr int kUnreadableScans = 20;

struct tracked_process {
  std::uint64_t slot = 0;
  unsigned long long start_time = 0;
  bool direct = false;  // the program itself: reaped by pid
};

struct slot_record {
  std::string owner;  // handler key
  pid_t program = 0;
  bool program_ended = false;
  bool checked_after_end = false;  // a scan ran after the program ended
};

class ProgramTable {
 public:
  bool slot_free(const std::string& owner) {
    std::lock_guard<std::mutex> guard(mutex_);
    return slot_free_locked(owner);
  }

  pid_t start(const std::string& owner, const std::string& path, UniqueFd* input, UniqueFd* status);

  std::size_t reap(bool force_scan) {
    std::lock_guard<std::mutex> guard(mutex_);
    return reap_locked(force_scan);
  }

  int stop_all(std::chrono::milliseconds grace);

 private:
  bool slot_free_locked(const std::string& owner) const {
    if (slots_.size() >= static_cast<std::size_t>(kHandlerProgramsMax)) return false;
    const auto used = std::count_if(slots_.begin(), slots_.end(),
                                    [&](const auto& slot) { return slot.second.owner == owner; });
    return used < kHandlerProgramsPerHandler;
  }

  std::size_t reap_locked(bool force_scan);
  void scan_locked();
  std::set<pid_t> signal_all_locked(int signal_number);

  std::mutex mutex_;  // guards everything below
  std::map<std::uint64_t, slot_record> slots_;
  std::map<pid_t, tracked_process> processes_;  // programs and descendants alive
  std::uint64_t next_slot_ = 1;
  std::map<pid_t, int> unreadable_;  // orphans whose environment could not be read, by scans
  Clock::time_point last_scan_{};
};
ProgramTable programs;

pid_t ProgramTable::start(const std::string& owner, const std::string& path, UniqueFd* input, UniqueFd* status) {
  std::lock_guard<std::mutex> guard(mutex_);
  reap_locked(false);
  if (!slot_free_locked(owner)) return 0;
  const std::uint64_t slot = next_slot_++;
  // The environment is built before the fork: the child may not allocate.
  std::vector<std::string> env_text;
  const std::string marker_prefix = std::string(kHandlerProgramEnv) + "=";
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, marker_prefix.c_str(), marker_prefix.size()) != 0) env_text.emplace_back(*entry);
  }
  env_text.push_back(marker_prefix + std::to_string(slot));
  std::vector<char*> env;
  for (std::string& text : env_text) env.push_back(text.data());
  env.push_back(nullptr);

  UniqueFd read_end, write_end, status_read, status_write;
  if (!make_pipe(&read_end, &write_end) || !make_pipe(&status_read, &status_write)) return -1;
  const pid_t child = ::fork();
  if (child < 0) {
    ZLOG(kLogError, "fork(), errno: %d.\n", errno);
    return -1;
  }
  if (child == 0) exec_handler(path.c_str(), env.data(), read_end.get(), write_end.get(), status_write.get());
  slots_[slot] = slot_record{owner, child, false, false};
  processes_[child] = tracked_process{slot, 0, true};
  const int flags = ::fcntl(write_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(write_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    ZLOG(kLogWarning, "fcntl(O_NONBLOCK): %s.\n", std::strerror(errno));
  }
  *input = std::move(write_end);
  *status = std::move(status_read);
  return child;
}

std::size_t ProgramTable::reap_locked(bool force_scan) {
  if (processes_.empty()) {
    slots_.clear();
    return 0;
  }
  bool ended = false;
  for (auto it = processes_.begin(); it != processes_.end();) {
    const pid_t pid = it->first;
    // Only the programs and descendants re-parented to the agent are its
    // children; waiting for another pid fails with ECHILD and harms nothing.
    const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD && it->second.direct)) {
      if (it->second.direct) {
        auto slot = slots_.find(it->second.slot);
        if (slot != slots_.end()) slot->second.program_ended = true;
      }
      it = processes_.erase(it);
      ended = true;
      continue;
    }
    ++it;
  }
  const auto now = Clock::now();
  if (force_scan || ended || now - last_scan_ >= std::chrono::milliseconds(kDescendantScanMillis)) {
    scan_locked();
  }
  // A slot is free once its program ended and a scan after that found
  // nothing of it alive.
  std::set<std::uint64_t> alive;
  for (const auto& [pid, process] : processes_) alive.insert(process.slot);
  std::erase_if(slots_, [&](const auto& slot) {
    return slot.second.program_ended && slot.second.checked_after_end && alive.count(slot.first) == 0;
  });
  return processes_.size();
}

void ProgramTable::scan_locked() {
  last_scan_ = Clock::now();
  const pid_t self = ::getpid();
  std::vector<proc_entry> entries = list_processes();
  std::map<pid_t, const proc_entry*> by_pid;
  for (const proc_entry& entry : entries) by_pid[entry.pid] = &entry;
  // Known processes that are gone, or whose pid now names another process.
  for (auto it = processes_.begin(); it != processes_.end();) {
    const auto found = by_pid.find(it->first);
    const bool gone = found == by_pid.end() ||
                      (it->second.start_time != 0 && found->second->start_time != it->second.start_time) ||
                      (found->second->state == 'Z' && found->second->ppid != self);
    if (gone && !it->second.direct) {
      it = processes_.erase(it);
      continue;
    }
    if (!gone && it->second.start_time == 0) it->second.start_time = found->second->start_time;
    ++it;
  }
  // New descendants: by parent (repeated, the list is in no tree order), then
  // those re-parented to the agent by their marker. A marker that names a
  // slot already given up still counts: the process is stopped with the rest.
  // An orphan whose environment cannot be read yet makes the scan
  // inconclusive: no slot is given up on its strength, for a few scans (one
  // that stays unreadable, a set-user-id program's, cannot hold slots for ever).
  bool inconclusive = false;
  std::map<pid_t, int> unreadable;
  for (bool added = true; added;) {
    added = false;
    for (const proc_entry& entry : entries) {
      if (processes_.count(entry.pid) != 0 || entry.state == 'Z') continue;
      const auto parent = processes_.find(entry.ppid);
      std::uint64_t slot = 0;
      if (parent != processes_.end()) {
        slot = parent->second.slot;
      } else if (entry.ppid == self) {
        const std::optional<std::uint64_t> marker = marker_of(entry.pid);
        if (!marker) {
          const auto before = unreadable_.find(entry.pid);
          const int scans = (before == unreadable_.end() ? 0 : before->second) + 1;
          unreadable[entry.pid] = scans;
          if (scans <= kUnreadableScans) inconclusive = true;
        }
        slot = marker.value_or(0);
      }
      if (slot == 0) continue;
      processes_[entry.pid] = tracked_process{slot, entry.start_time, false};
      added = true;
    }
  }
  // Zombies re-parented to the agent: reaped now.
  for (const proc_entry& entry : entries) {
    if (entry.state != 'Z' || entry.ppid != self) continue;
    const auto known = processes_.find(entry.pid);
    if (known == processes_.end() || known->second.direct) continue;
    if (::waitpid(entry.pid, nullptr, WNOHANG) == entry.pid) processes_.erase(known);
  }
  unreadable_ = std::move(unreadable);
  if (inconclusive) return;
  for (auto& [slot, record] : slots_) {
    if (record.program_ended) record.checked_after_end = true;
  }
}

std::set<pid_t> ProgramTable::signal_all_locked(int signal_number) {
  std::set<pid_t> signalled;
  for (const auto& [pid, process] : processes_) {
    if (process.direct) ::kill(-pid, signal_number);
    if (::kill(pid, signal_number) == 0) signalled.insert(pid);
  }
  return signalled;
}

int ProgramTable::stop_all(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> guard(mutex_);
  reap_locked(true);
  std::set<pid_t> terminated = signal_all_locked(SIGTERM);
  const auto deadline = Clock::now() + grace;
  while (reap_locked(true) > 0 && Clock::now() < deadline) {
    // Descendants found meanwhile get their SIGTERM too.
    for (const auto& [pid, process] : processes_) {
      if (terminated.insert(pid).second) ::kill(pid, SIGTERM);
    }
    guard.unlock();
    std::this_thread::sleep_for(kStopPoll);
    guard.lock();
  }
  std::set<pid_t> killed;
  const auto sweep_end = Clock::now() + kKillSweep;
  while (reap_locked(true) > 0 && Clock::now() < sweep_end) {
    for (pid_t pid : signal_all_locked(SIGKILL)) killed.insert(pid);
    guard.unlock();
    std::this_thread::sleep_for(kStopPoll);
    guard.lock();
  }
  for (const auto& [pid, process] : processes_) {
    if (process.direct) {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  processes_.clear();
  slots_.clear();
  return static_cast<int>(killed.size());
}

}  // namespace

bool handler_programs_become_subreaper() {
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) != 0) {
    ZLOG(kLogError, "prctl(PR_SET_CHILD_SUBREAPER): %s.\n", std::strerror(errno));
    return false;
  }
  return true;
}

bool handler_program_slot_free(const std::string& owner) { return programs.slot_free(owner); }

pid_t start_handler_program(const std::string& owner, const std::string& path, UniqueFd* input, UniqueFd* status) {
  return programs.start(owner, path, input, status);
}

int read_program_start(int status, const std::string& path) {
  child_report report{};
  ssize_t got;
  do {
    got = ::read(status, &report, sizeof report);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
  if (got == 0) return 1;  // end of file: the exec closed the pipe
  if (got != static_cast<ssize_t>(sizeof report)) report = child_report{kStageExec, EIO};
  log_child_failure(report, path);
  return 0;
}

std::size_t reap_handler_programs() { return programs.reap(false); }

int stop_handler_programs(std::chrono::milliseconds grace) { return programs.stop_all(grace); }
