// Process-level services: the daemon fork, the pid-file lock, the sleep gate
// and running external commands. No threads of its own; no state but the
// sleep gate.
#include "daemon/daemon.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "common/unique_fd.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "daemon";

constexpr unsigned kSleepPeriodSeconds = 1800;
constexpr long kFallbackOpenMax = 256;
constexpr mode_t kPidFileMode = 0660;
// Times lock_pid_file opens the file again when it was replaced under it.
constexpr int kPidFileAttempts = 5;
constexpr std::size_t kPidTextSize = 32;
constexpr std::size_t kReadChunkSize = 1024;
constexpr long kNanosPerMicro = 1000;
constexpr pid_t kInitPid = 1;
constexpr const char* kDevNull = "/dev/null";
constexpr const char* kRootDir = "/";


struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// --- The sleep gate ---
//
// Plain pthread objects, initialised statically and never destroyed, so the
// gate works before main and while the process exits with threads asleep.
// A wake advances `generation`; a sleeper ends when the generation differs
// from the one it saw when it began. (A flag that every new sleeper cleared
// would let a sleeper that begins just after a wake swallow that wake for a
// sleeper which had not yet seen it.)
pthread_mutex_t gate_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gate_cond = PTHREAD_COND_INITIALIZER;
std::uint32_t gate_generation = 0;  // guarded by gate_mutex
int gate_waiting = 0;               // guarded by gate_mutex: threads in the gate

class GateLock {
 public:
  GateLock() { pthread_mutex_lock(&gate_mutex); }
  ~GateLock() { pthread_mutex_unlock(&gate_mutex); }
  GateLock(const GateLock&) = delete;
  GateLock& operator=(const GateLock&) = delete;
};

// The realtime deadline `seconds` from now, clamped to the largest time_t
// (which may be 32 bits) rather than wrapping into the past.
struct timespec deadline_after(const struct timeval& now, std::int32_t seconds) {
  constexpr long long kMaxTime = std::numeric_limits<time_t>::max();
  long long target = static_cast<long long>(now.tv_sec) + seconds;
  struct timespec deadline {};
  deadline.tv_sec = static_cast<time_t>(target > kMaxTime ? kMaxTime : target);
  deadline.tv_nsec = static_cast<long>(now.tv_usec) * kNanosPerMicro;
  return deadline;
}

int write_all(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Closes the descriptors from `first` up to (not including) `end`.
void close_descriptors_between(long first, long end) {
  if (first >= end) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(end - 1), 0u) == 0) return;
#endif
  for (long fd = first; fd < end; ++fd) ::close(static_cast<int>(fd));
}

void close_descriptors_below(long limit) { close_descriptors_between(0, limit); }

// The write end of the pipe on which a detached daemon reports its start to
// the process that started it; -1 when there is none (or it was used).
int start_report_fd = -1;

constexpr char kStartReady = 'R';
constexpr char kStartFailed = 'F';
constexpr int kExitStartFailed = 1;

void send_start_report(char kind, const std::string& reason) {
  if (start_report_fd < 0) return;
  std::string report(1, kind);
  report += reason;
  write_all(start_report_fd, report.data(), report.size());
  ::close(start_report_fd);
  start_report_fd = -1;
}

// The starting process: waits for the detached daemon's report and ends
// with its verdict. Async details do not matter here: the process has one
// thread and only reads.
[[noreturn]] void wait_for_start_report(int read_fd) {
  std::string report;
  char chunk[256];
  for (ssize_t n; (n = ::read(read_fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    report.append(chunk, static_cast<std::size_t>(n));
  }
  if (!report.empty() && report[0] == kStartReady) std::_Exit(0);
  const std::string reason =
      report.size() > 1 ? report.substr(1) : std::string("the agent ended before it was ready");
  std::fprintf(stderr, "zelagent: %s\n", reason.c_str());
  std::fflush(stderr);
  std::_Exit(kExitStartFailed);
}

// What a file of mode `mode` is, for a refusal.
const char* file_kind(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "an unknown kind of file";
}

// Opens the pid file with `flags` and keeps it only when it is a regular
// file. A symbolic link is never followed (as root, its target would be
// overwritten), and nothing can block the open (a FIFO would wait for a
// writer for ever). On a refusal *refusal says what the path is.
UniqueFd open_pid_file(const char* path, int flags, std::string* refusal) {
  UniqueFd fd(::open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kPidFileMode));
  struct stat st {};
  if (fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) return fd;
  const int error = errno;  // the open's, when it failed
  // A failed open (ELOOP, ENXIO, EISDIR, ...) on a path that is no regular
  // file: say what it is.
  if (fd || (::lstat(path, &st) == 0 && !S_ISREG(st.st_mode))) {
    *refusal = std::string(file_kind(st.st_mode)) + ", not a regular file";
  } else {
    *refusal = std::strerror(error);
  }
  return UniqueFd();
}

// Locks the whole file open on `fd` for writing, without waiting. 0, or -1
// with errno set (EACCES or EAGAIN: another process holds a lock).
int lock_whole(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return ::fcntl(fd, F_SETLK, &whole);
}

}  // namespace

// --- The sleep gate ---

void sleep_for(std::int32_t seconds) {
  struct timeval now {};
  if (::gettimeofday(&now, nullptr) != 0) {
    ZLOG(kLogError, "gettimeofday()\n");
    if (seconds > 0) ::sleep(static_cast<unsigned>(seconds));
    return;
  }
  struct timespec deadline = deadline_after(now, seconds);

  GateLock lock;
  std::uint32_t start = gate_generation;
  ++gate_waiting;
  while (gate_generation == start) {
    int rc = pthread_cond_timedwait(&gate_cond, &gate_mutex, &deadline);
    if (rc == ETIMEDOUT) break;
    if (rc != 0) {
      ZLOG(kLogDebug, "pthread_cond_timedwait failed with error %d\n", rc);
      break;
    }
  }
  --gate_waiting;
  ZLOG(kLogDebug, "exit sleep_for %d secs\n", static_cast<int>(seconds));
}

void wait_for_wakeup() {
  GateLock lock;
  std::uint32_t start = gate_generation;
  ++gate_waiting;
  while (gate_generation == start) {
    int rc = pthread_cond_wait(&gate_cond, &gate_mutex);
    if (rc != 0 && rc != ETIMEDOUT) {
      ZLOG(kLogWarning, "pthread_cond_wait failed with error %d\n", rc);
      break;
    }
  }
  --gate_waiting;
}

void wake_sleepers() {
  GateLock lock;
  ++gate_generation;
  pthread_cond_broadcast(&gate_cond);
}

namespace {
std::atomic<bool> agent_stopping{false};
}  // namespace

void request_agent_stop() {
  agent_stopping.store(true);
  wake_sleepers();
}

bool agent_stop_requested() { return agent_stopping.load(); }

void sleep_forever() {
  for (;;) ::sleep(kSleepPeriodSeconds);
}

void sleep_forever_interruptable() {
  while (::sleep(kSleepPeriodSeconds) == 0) {
  }
  ZLOG(kLogDebug, "Exiting sleeping sleep_forever_interruptable.\n");
}

// --- Daemon and pid file ---

int daemonize() {
  if (::getppid() == kInitPid) {
    ZLOG(kLogInfo, "the process is already daemon.\n");
    return -1;
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ZLOG(kLogError, "pipe()\n");
    return -1;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    ZLOG(kLogError, "fork()\n");
    ::close(report[0]);
    ::close(report[1]);
    return -1;
  }
  if (pid > 0) {
    ::close(report[1]);
    wait_for_start_report(report[0]);
  }
  ::close(report[0]);

  if (::setsid() < 0) {
    ZLOG(kLogError, "setsid().\n");
    return -1;
  }
  if (::signal(SIGHUP, SIG_IGN) == SIG_ERR) {
    ZLOG(kLogError, "signal().\n");
    return -1;
  }
  pid = ::fork();
  if (pid < 0) {
    ZLOG(kLogError, "fork()\n");
    return -1;
  }
  if (pid > 0) std::_Exit(0);

  // Every descriptor but the report pipe is closed.
  long limit = ::sysconf(_SC_OPEN_MAX);
  if (limit < 0) limit = kFallbackOpenMax;
  close_descriptors_below(report[1]);
  close_descriptors_between(report[1] + 1, limit);
  start_report_fd = report[1];

  // /dev/null becomes descriptors 0, 1 and 2.
  int null_fd = ::open(kDevNull, O_RDWR);
  if (null_fd < 0) {
    ZLOG(kLogError, "open() %s\n", kDevNull);
    return -1;
  }
  if (::dup2(null_fd, STDIN_FILENO) < 0) {
    ZLOG(kLogError, "dup2() [stdin]\n");
    return -1;
  }
  if (::dup2(null_fd, STDOUT_FILENO) < 0) {
    ZLOG(kLogError, "dup2() [stdout]\n");
    return -1;
  }
  if (::dup2(null_fd, STDERR_FILENO) < 0) {
    ZLOG(kLogError, "dup2() [stderr]\n");
    return -1;
  }
  if (null_fd > STDERR_FILENO) ::close(null_fd);
  ::umask(0);
  if (::chdir(kRootDir) != 0) {
    ZLOG(kLogError, "chdir() %s", kRootDir);
    return -1;
  }
  return 0;
}

void daemon_start_succeeded() { send_start_report(kStartReady, ""); }

void daemon_start_failed(const std::string& reason) { send_start_report(kStartFailed, reason); }

int lock_pid_file(const char* path, std::string* refusal) {
  std::string ignored;
  std::string& why = refusal != nullptr ? *refusal : ignored;
  if (path == nullptr) return -1;
  char pid_text[kPidTextSize];
  std::snprintf(pid_text, sizeof pid_text, "%d\n", static_cast<int>(::getpid()));
  for (int attempt = 0; attempt < kPidFileAttempts; ++attempt) {
    std::string what;
    UniqueFd fd = open_pid_file(path, O_RDWR | O_CREAT, &what);
    if (!fd) {
      ZLOG(kLogError, "open() %s: %s\n", path, what.c_str());
      why = what;
      return -1;
    }
    if (lock_whole(fd.get()) != 0) {
      const int error = errno;
      if (error == EACCES || error == EAGAIN) {
        ZLOG(kLogInfo, "Daemon is already running.\n");
        why = "another agent is running";
      } else {
        ZLOG(kLogError, "fcntl() %s\n", path);
        why = std::string("cannot lock it: ") + std::strerror(error);
      }
      return -1;
    }
    // An agent that was stopping may have removed the file between the open
    // and the lock, or someone put another file in its place: then the lock
    // is on a file nobody can see; start again.
    struct stat held {};
    struct stat current {};
    if (::fstat(fd.get(), &held) != 0 || ::lstat(path, &current) != 0 || held.st_dev != current.st_dev ||
        held.st_ino != current.st_ino) {
      continue;
    }
    if (::ftruncate(fd.get(), 0) != 0 || write_all(fd.get(), pid_text, std::strlen(pid_text)) != 0) {
      why = std::string("cannot write it: ") + std::strerror(errno);
      ZLOG(kLogError, "write() %s\n", path);
      return -1;
    }
    return fd.release();
  }
  ZLOG(kLogError, "lock file %s keeps being replaced.\n", path);
  why = "it keeps being replaced";
  return -1;
}

std::optional<int> pid_file_holder(const char* path) {
  if (path == nullptr) return std::nullopt;
  std::string refusal;
  UniqueFd fd = open_pid_file(path, O_RDONLY, &refusal);
  if (!fd) return std::nullopt;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd.get(), F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return std::nullopt;
  return static_cast<int>(probe.l_pid);
}

int unlock_pid_file(const char* path, int descriptor) {
  struct flock whole {};
  whole.l_type = F_UNLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(descriptor, F_SETLK, &whole) != 0) {
    ZLOG(kLogError, "fcntl() unlock file error %s\n", path);
  }
  if (::close(descriptor) != 0) ZLOG(kLogError, "close() %s\n", path);
  if (remove_file(path) != 0) {
    ZLOG(kLogError, "remove_file() after unlock %s\n", path);
    return -1;
  }
  return 0;
}

int remove_file(const char* path) {
  if (path == nullptr || ::access(path, F_OK) != 0) return -1;
  return ::unlink(path);
}

namespace daemon_testing {
int gate_sleepers() {
  GateLock lock;
  return gate_waiting;
}
}  // namespace daemon_testing

// --- External commands ---

int exec_ext_app(const char* command, std::string* output, std::uint32_t* output_length) {
  if (command == nullptr || output == nullptr || output_length == nullptr) {
    ZLOG(kLogError, "Can't execute %s.\n", command != nullptr ? command : "(null)");
    return -1;
  }
  struct PipeCloser {
    void operator()(std::FILE* f) const {
      if (::pclose(f) == -1) ZLOG(kLogDebug, "pclose(pipe) set errno to %d value.\n", errno);
    }
  };
  // "e": the pipe is not inherited by commands other threads start.
  std::unique_ptr<std::FILE, PipeCloser> pipe(::popen(command, "re"));
  if (!pipe) {
    ZLOG(kLogError, "Can't execute %s.\n", log_escape(command).c_str());
    return -1;
  }
  output->clear();
  *output_length = 0;

  char chunk[kReadChunkSize];
  while (!std::feof(pipe.get())) {
    std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe.get());
    if (n == 0) {
      if (!std::ferror(pipe.get())) continue;
      // A signal is no end of the output; any other read error ends the
      // collection with what was read so far.
      if (errno != EINTR) break;
      std::clearerr(pipe.get());
      continue;
    }
    try {
      if (output->size() + n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
      output->append(chunk, n);
    } catch (const std::bad_alloc&) {
      ZLOG(kLogError, "realloc() in %s.\n", "exec_ext_app");
      std::string().swap(*output);
      *output_length = 0;
      return -1;
    }
    *output_length = static_cast<std::uint32_t>(output->size());
  }
  return 0;
}
