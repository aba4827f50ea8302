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

void close_descriptors_below(long limit) {
  if (limit <= 0) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 0u, static_cast<unsigned>(limit - 1), 0u) == 0) return;
#endif
  for (long fd = 0; fd < limit; ++fd) ::close(static_cast<int>(fd));
}

enum class PidFileCheck { kStale, kRefused, kChanged };

// Decides about an existing pid file, and removes it when it is stale. The
// removal happens with the file's own record lock held and only while the
// path still names the file that was examined, so that two starting agents
// can never remove each other's fresh pid file.
PidFileCheck check_existing_pid_file(const char* path) {
  if (::access(path, F_OK) != 0) {
    ZLOG(kLogError, "lock file access().\n");
    return PidFileCheck::kRefused;
  }
  ZLOG(kLogInfo, "opened ok\n");
  UniqueFile file(std::fopen(path, "r+"));
  if (!file) {
    ZLOG(kLogError, "Error opening pid file for reading %d\n", errno);
    return PidFileCheck::kRefused;
  }
  int pid = 0;
  // A pid of 0 or less is no process: kill() would probe a whole group.
  if (std::fscanf(file.get(), "%8d", &pid) != 1 || pid <= 0) {
    ZLOG(kLogError, "Error reading data from pid file - possibly data is in wrong format\n");
    return PidFileCheck::kRefused;
  }
  int result = ::kill(pid, 0);
  int error = result == 0 ? 0 : errno;
  ZLOG(kLogDebug, "read from pid file pid %d, kill result is %d, errno is %d\n", pid, result, error);
  if (result == 0) {
    ZLOG(kLogInfo, "Daemon is already running.\n");
    return PidFileCheck::kRefused;
  }
  if (error != ESRCH) {
    ZLOG(kLogError, "kill(). errno %d\n", error);
    return PidFileCheck::kRefused;
  }

  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(fileno(file.get()), F_SETLK, &whole) != 0) {
    // Someone holds the file: a daemon that has just taken it over.
    ZLOG(kLogInfo, "Daemon is already running.\n");
    return PidFileCheck::kRefused;
  }
  struct stat examined {};
  struct stat current {};
  if (::fstat(fileno(file.get()), &examined) != 0 || ::stat(path, &current) != 0 ||
      examined.st_dev != current.st_dev || examined.st_ino != current.st_ino) {
    return PidFileCheck::kChanged;
  }
  ZLOG(kLogInfo, "Remove not associated pid file.\n");
  if (remove_file(path) == -1) {
    ZLOG(kLogError, "remove_file() %s\n", path);
    return PidFileCheck::kRefused;
  }
  return PidFileCheck::kStale;
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
  pid_t pid = ::fork();
  if (pid < 0) {
    ZLOG(kLogError, "fork()\n");
    return -1;
  }
  if (pid > 0) std::exit(0);

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
  if (pid > 0) std::exit(0);

  long limit = ::sysconf(_SC_OPEN_MAX);
  close_descriptors_below(limit < 0 ? kFallbackOpenMax : limit);

  // Every descriptor is closed: /dev/null becomes descriptor 0 and stays.
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
  ::umask(0);
  if (::chdir(kRootDir) != 0) {
    ZLOG(kLogError, "chdir() %s", kRootDir);
    return -1;
  }
  return 0;
}

int lock_pid_file(const char* path) {
  if (path == nullptr) return -1;
  char pid_text[kPidTextSize];
  std::snprintf(pid_text, sizeof pid_text, "%d\n", static_cast<int>(::getpid()));

  int created = -1;
  for (;;) {
    created = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPidFileMode);
    if (created >= 0) break;
    ZLOG(kLogDebug, "open() %s\n", path);
    if (check_existing_pid_file(path) == PidFileCheck::kRefused) return -1;
  }
  UniqueFd fd(created);

  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(fd.get(), F_SETLK, &whole) != 0) {
    ZLOG(kLogError, "fcntl() %s\n", path);
    return -1;
  }
  if (write_all(fd.get(), pid_text, std::strlen(pid_text)) == 0) return fd.release();

  ZLOG(kLogError, "write() %s\n", path);
  ::close(fd.release());
  if (remove_file(path) == -1) ZLOG(kLogError, "remove_file() %s\n", path);
  return -1;
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
    ZLOG(kLogError, "Can't execute %s.\n", command);
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
