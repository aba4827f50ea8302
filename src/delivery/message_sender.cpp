// The message sender: the handler directory (description lines in the
// configuration), delivery to TCP, UNIX-socket and program endpoints, and the
// pool of (at most one) message thread that drains the queue.
//
// Pool state is one process-wide record guarded by one mutex, the pool lock,
// which producers hold while queuing and the message thread holds while it
// decides to wait or to end. The queue's own lock is always taken inside it.
// Deliveries run without any of our locks held.
#include "delivery/message_sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "broker/net_helper.h"
#include "config/config.h"
#include "daemon/liveness.h"
#include "delivery/mt_queue.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "message_sender";

// Accounted per queued message on top of its payload and handler name; the
// queue adds kQueueNodeBytes for its node.
constexpr std::uint32_t kQueuedMessageBytes = 12;

constexpr int kMillisPerSecond = 1000;
constexpr int kMicrosPerMilli = 1000;
constexpr int kHandlerTimeoutMs = kHandlerWriteTimeoutSeconds * kMillisPerSecond;
constexpr mode_t kOwnerExecuteBit = 0100;
constexpr const char* kDevNull = "/dev/null";
constexpr int kFirstNonStandardFd = 3;
constexpr unsigned kCloseRangeCloexec = 4;  // CLOSE_RANGE_CLOEXEC (Linux 5.11)
constexpr rlim_t kFallbackFdLimit = 65536;  // descriptors examined without close_range

[[noreturn]] void out_of_memory(const char* call) {
  ZLOG(kLogError, "%s\n", call);
  std::exit(1);
}

// ---------------------------------------------------------------------------
// Pool state.

struct queued_message {
  std::string handler_name;
  std::string payload;  // bytes
};

struct pool_state {
  std::mutex lock;               // the pool lock: guards every field below
  std::condition_variable work;  // a message was queued, or the stop was asked
  std::condition_variable idle;  // the thread count fell to 0
  MtQueuePtr queue;              // null before init and after stop
  std::int32_t threads = 0;      // message threads alive
  std::int32_t waiting = 0;      // message threads blocked on `work`
  bool stop = false;
  std::thread::id thread_id;     // the message thread (when one runs)
};

// The pool outlives static destruction on purpose: a detached message thread
// may still be blocked on its condition variable when the process exits, and
// destroying a condition variable with a waiter never returns.
template <typename T>
class never_destroyed {
 public:
  never_destroyed() { new (storage_) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

pool_state& pool() {
  static never_destroyed<pool_state> instance;
  return instance.get();
}

std::atomic<own_handler_hook> own_hook{nullptr};
std::atomic<int> handler_timeout_ms{kHandlerTimeoutMs};  // shortened by tests only
// While a stop drains the queue: its deadline, in milliseconds of the steady
// clock (0: no stop under way). No delivery waits past it.
std::atomic<std::int64_t> drain_deadline_ms{0};

std::int64_t steady_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// True once a stop's drain deadline has passed: the rest of the queue is dropped.
bool drain_deadline_passed() {
  const std::int64_t deadline = drain_deadline_ms.load();
  return deadline != 0 && steady_now_ms() >= deadline;
}

// How long one step of a delivery (connect, write, the program's start) may
// wait: the handler bound, or less when a stop's drain deadline comes first.
int handler_wait_ms() {
  const int bound = handler_timeout_ms.load();
  const std::int64_t deadline = drain_deadline_ms.load();
  if (deadline == 0) return bound;
  return static_cast<int>(std::clamp<std::int64_t>(deadline - steady_now_ms(), 1, bound));
}
std::atomic<agent_context*> stored_context{nullptr};

// ---------------------------------------------------------------------------
// Sockets.

// Gives `sock` a bounded connect and send: on Linux SO_SNDTIMEO limits both.
void bound_socket_time(int sock) {
  const int milliseconds = handler_wait_ms();
  timeval limit{};
  limit.tv_sec = milliseconds / kMillisPerSecond;
  limit.tv_usec = (milliseconds % kMillisPerSecond) * kMicrosPerMilli;
  if (::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    ZLOG(kLogWarning, "setsockopt(SO_SNDTIMEO): %s.\n", std::strerror(errno));
  }
}

// Switches a non-blocking socket to blocking mode with the bounded time.
void make_blocking_bounded(int sock) {
  const int flags = ::fcntl(sock, F_GETFL);
  if (flags < 0 || ::fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ZLOG(kLogWarning, "fcntl(O_NONBLOCK): %s.\n", std::strerror(errno));
  }
  bound_socket_time(sock);
}

// A blocking connect that a signal cannot turn into a failure: after EINTR
// the connection goes on in the background and is waited for (bounded).
// Returns 0, or -1 with errno set.
int connect_bounded(int sock, const sockaddr* address, socklen_t length) {
  if (::connect(sock, address, length) == 0) return 0;
  if (errno == EINPROGRESS) errno = ETIMEDOUT;  // SO_SNDTIMEO ran out
  if (errno != EINTR) return -1;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(handler_wait_ms());
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd ready{sock, POLLOUT, 0};
    const int rc = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc == 0) continue;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return -1;
    if (error != 0) {
      errno = error;
      return -1;
    }
    return 0;
  }
}

// ---------------------------------------------------------------------------
// Handler programs.
//
// Each program is a child of the agent in a process group of its own, and
// the agent keeps its pid: at most kHandlerProgramsMax run at once, finished
// ones are reaped by pid (never disturbing other children of the process),
// and those still running at shut-down are ended with their process group.
// Between fork and exec the child takes no lock: it reports a failure as a
// fixed-size record on a close-on-exec status pipe, and the agent logs it.
// The status pipe reaches end of file when the exec succeeded.

enum class DeliveryResult { kDelivered, kFailed, kTimedOut };
DeliveryResult deliver_to_socket(const char* address, std::uint16_t port, const void* payload, std::size_t length);

// Endpoints whose last delivery timed out: deliveries to them fail at once
// for kHandlerSuspendSeconds, so that one stuck handler does not hold the
// messages of all the others behind it. One WARNING per window; the number
// of messages it cost is logged when the window is over.
class Suspensions {
 public:
  // True while `endpoint` is suspended.
  bool suspended(const char* handler, const std::string& endpoint) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = entries_.find(endpoint);
    if (found == entries_.end()) return false;
    if (std::chrono::steady_clock::now() >= found->second.until) {
      report_end(endpoint, found->second);
      entries_.erase(found);
      return false;
    }
    if (!found->second.warned) {
      found->second.warned = true;
      ZLOG(kLogWarning, "Handler %s (%s) is suspended for %d s after a delivery timed out: its messages are "
                        "dropped meanwhile.\n", handler, endpoint.c_str(), suspend_seconds.load());
    }
    ++found->second.dropped;
    return true;
  }

  void suspend(const std::string& endpoint) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(entries_, [this, now](const auto& entry) {
      if (now < entry.second.until) return false;
      report_end(entry.first, entry.second);
      return true;
    });
    entries_[endpoint] = Entry{now + std::chrono::seconds(suspend_seconds.load()), false, 0};
  }

  // Forgets every suspension (tests only).
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
  }

  std::atomic<int> suspend_seconds{kHandlerSuspendSeconds};  // shortened by tests only

 private:
  struct Entry {
    std::chrono::steady_clock::time_point until;
    bool warned;
    unsigned dropped;
  };

  static void report_end(const std::string& endpoint, const Entry& entry) {
    if (entry.dropped == 0) return;
    ZLOG(kLogWarning, "Handler endpoint %s is no longer suspended; %u message(s) were dropped meanwhile.\n",
         endpoint.c_str(), entry.dropped);
  }

  std::mutex mutex_;  // guards entries_
  std::map<std::string, Entry> entries_;
};
Suspensions suspensions;

// The handler programs the agent started and has not reaped yet.
class ProgramTable {
 public:
  void add(pid_t pid) {
    std::lock_guard<std::mutex> guard(mutex_);
    pids_.push_back(pid);
  }

  // Reaps the programs that have ended; returns how many still run.
  std::size_t reap() {
    std::lock_guard<std::mutex> guard(mutex_);
    return reap_locked();
  }

  // Waits until fewer than kHandlerProgramsMax run, at most `milliseconds`.
  bool wait_for_slot(int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (reap() >= static_cast<std::size_t>(kHandlerProgramsMax)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kReapInterval);
    }
    return true;
  }

  // SIGTERM to every running program's process group, SIGKILL to those still
  // there after `grace`; returns how many had to be killed.
  int stop_all(std::chrono::milliseconds grace) {
    signal_all(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (reap() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kReapInterval);
    const int killed = signal_all(SIGKILL);
    std::lock_guard<std::mutex> guard(mutex_);
    for (pid_t pid : pids_) {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    pids_.clear();
    return killed;
  }

 private:
  static constexpr std::chrono::milliseconds kReapInterval{10};

  std::size_t reap_locked() {
    std::erase_if(pids_, [](pid_t pid) {
      const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
      return done == pid || (done < 0 && errno == ECHILD);
    });
    return pids_.size();
  }

  int signal_all(int signal_number) {
    std::lock_guard<std::mutex> guard(mutex_);
    reap_locked();
    for (pid_t pid : pids_) ::kill(-pid, signal_number);
    return static_cast<int>(pids_.size());
  }

  std::mutex mutex_;  // guards pids_
  std::vector<pid_t> pids_;
};
ProgramTable programs;

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

// Async-signal-safe: writes the report and ends the child.
[[noreturn]] void child_fail(int status_fd, child_stage stage) {
  const child_report report{stage, errno};
  ssize_t written;
  do {
    written = ::write(status_fd, &report, sizeof report);
  } while (written < 0 && errno == EINTR);
  ::_exit(1);
}

// Moves `fd` above the standard descriptors (close-on-exec kept), so that the
// dup2 calls below cannot overwrite it. Async-signal-safe.
int above_standard(int fd) {
  if (fd >= kFirstNonStandardFd) return fd;
  return ::fcntl(fd, F_DUPFD_CLOEXEC, kFirstNonStandardFd);
}

// Marks every descriptor above the standard three close-on-exec, so that the
// handler program inherits none of the agent's sockets and files (a handler
// holding the control listener's socket would keep its port taken after the
// agent ends). The status pipe stays open until the exec itself.
// Async-signal-safe: system calls only.
void keep_only_standard_fds() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, kFirstNonStandardFd, ~0U, kCloseRangeCloexec) == 0) return;
#endif
  rlimit limit{};
  rlim_t last = kFallbackFdLimit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < last) {
    last = limit.rlim_cur;
  }
  for (rlim_t fd = kFirstNonStandardFd; fd < last; ++fd) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }
}

// The program's process: runs between fork and exec, async-signal-safe only.
[[noreturn]] void exec_handler(const char* path, int input_fd, int write_fd, int status_fd) {
  status_fd = above_standard(status_fd);
  input_fd = above_standard(input_fd);
  if (status_fd < 0 || input_fd < 0) ::_exit(1);

  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A SIGPIPE the agent ignores must not stay ignored in the handler.
  ::signal(SIGPIPE, SIG_DFL);
  if (::signal(SIGHUP, SIG_IGN) == SIG_ERR) child_fail(status_fd, kStageSignal);
  // A group of its own: the agent can end the program with whatever it has
  // started, and a terminal's signals to the agent do not reach it.
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
  ::execlp(path, path, static_cast<char*>(nullptr));
  child_fail(status_fd, kStageExec);
}

void log_child_failure(const child_report& report, const std::string& path) {
  switch (report.stage) {
    case kStageFork:
      ZLOG(kLogError, "fork(), errno: %d.\n", report.error);
      break;
    case kStageSignal:
      ZLOG(kLogError, "signal().\n");
      break;
    case kStageOpenNull:
      ZLOG(kLogError, "open() %s\n", kDevNull);
      break;
    case kStageDupStdout:
      ZLOG(kLogError, "dup2() [stdout]\n");
      break;
    case kStageDupStderr:
      ZLOG(kLogError, "dup2() [stderr]\n");
      break;
    case kStageDupStdin:
      ZLOG(kLogError, "dup2(). [stdin], errno: %d.\n", report.error);
      break;
    case kStageChdir:
      ZLOG(kLogError, "chdir() /\n");
      break;
    default:
      ZLOG(kLogError, "Cannot execute %s, errno %d.\n", path.c_str(), report.error);
      break;
  }
}

// Waits (bounded) for the program's start. Returns true when it was started
// (or its start could not be observed in time), false after logging the
// child's failure.
bool program_started(int status_fd, const std::string& path) {
  pollfd ready{status_fd, POLLIN, 0};
  const int wait_ms = handler_wait_ms();
  int rc;
  do {
    rc = ::poll(&ready, 1, wait_ms);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) {
    ZLOG(kLogWarning, "Handler %s did not start within %d ms.\n", path.c_str(), wait_ms);
    return true;
  }
  child_report report{};
  ssize_t got;
  do {
    got = ::read(status_fd, &report, sizeof report);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return true;  // end of file: the exec closed the pipe
  if (got != static_cast<ssize_t>(sizeof report)) report = child_report{kStageExec, EIO};
  log_child_failure(report, path);
  return false;
}

// Writes the whole payload to the non-blocking pipe `fd`, waiting at most
// kHandlerWriteTimeoutSeconds for any progress. Returns the bytes written.
std::size_t write_to_program(int fd, const char* data, std::size_t length,
                             const std::string& path, bool* stalled) {
  std::size_t written = 0;
  while (written < length) {
    const ssize_t rc = ::write(fd, data + written, length - written);
    if (rc > 0) {
      written += static_cast<std::size_t>(rc);
      continue;
    }
    if (rc == 0) {
      ZLOG(kLogError, "connection was closed. Possible error.\n");
      break;
    }
    if (errno == EINTR) {
      ZLOG(kLogDebug, "interrupted by signal.\n");
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, POLLOUT, 0};
      const int wait_ms = handler_wait_ms();
      int polled;
      do {
        polled = ::poll(&ready, 1, wait_ms);
      } while (polled < 0 && errno == EINTR);
      if (polled > 0) continue;
      if (polled == 0) {
        ZLOG(kLogError, "Handler %s has not read its input for %d ms.\n", path.c_str(), wait_ms);
        *stalled = true;
        break;
      }
    }
    const int error = errno;
    ZLOG(kLogError, "some error. errno = %d - %s.\n", error, std::strerror(error));
    break;
  }
  return written;
}

DeliveryResult run_handler_program(const std::string& path, const void* payload, std::size_t length) {
  const int slot_wait_ms = handler_wait_ms();
  if (!programs.wait_for_slot(slot_wait_ms)) {
    ZLOG(kLogError, "Handler %s: %d handler programs still run after %d ms; message dropped.\n", path.c_str(),
         kHandlerProgramsMax, slot_wait_ms);
    return DeliveryResult::kTimedOut;
  }
  int data_pipe[2];
  if (::pipe2(data_pipe, O_CLOEXEC) != 0) {
    ZLOG(kLogError, "Cannot create pipe. errno: %d.\n", errno);
    return DeliveryResult::kFailed;
  }
  UniqueFd input(data_pipe[0]);
  UniqueFd output(data_pipe[1]);
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) {
    ZLOG(kLogError, "Cannot create pipe. errno: %d.\n", errno);
    return DeliveryResult::kFailed;
  }
  UniqueFd status_read(status_pipe[0]);
  UniqueFd status_write(status_pipe[1]);

  const pid_t child = ::fork();
  if (child < 0) {
    ZLOG(kLogError, "fork(), errno: %d.\n", errno);
    return DeliveryResult::kFailed;
  }
  if (child == 0) exec_handler(path.c_str(), input.get(), output.get(), status_write.get());
  programs.add(child);

  input.reset();
  status_write.reset();
  if (!program_started(status_read.get(), path)) return DeliveryResult::kFailed;

  std::size_t written = 0;
  bool stalled = false;
  if (payload != nullptr && length != 0) {
    const int flags = ::fcntl(output.get(), F_GETFL);
    if (flags < 0 || ::fcntl(output.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
      ZLOG(kLogWarning, "fcntl(O_NONBLOCK): %s.\n", std::strerror(errno));
    }
    ScopedSigpipeBlock no_sigpipe;
    written = write_to_program(output.get(), static_cast<const char*>(payload), length, path, &stalled);
  }
  output.reset();
  if (written < length) {
    ZLOG(kLogError, "write(). Writed %zu bytes instead of %zu.\n", written, length);
    return stalled ? DeliveryResult::kTimedOut : DeliveryResult::kFailed;
  }
  ZLOG(kLogDebug, "Sended %zu bytes to local handler %s.\n", written, path.c_str());
  return DeliveryResult::kDelivered;
}

// ---------------------------------------------------------------------------
// The message thread.

void deliver_queued(const queued_message& message) {
  try {
    deliver_message(message.handler_name.c_str(), message.payload.data(),
                    message.payload.size());
  } catch (const std::bad_alloc&) {
    out_of_memory("malloc().");
  }
}

std::unique_ptr<queued_message> take_message(mt_queue* queue) {
  return std::unique_ptr<queued_message>(static_cast<queued_message*>(mt_queue_dequeue(queue)));
}

// Past the drain deadline of a stop: drops what is left and says how much.
void drop_rest(mt_queue* queue) {
  unsigned dropped = 0;
  while (mt_queue_is_empty(queue) == 0 && take_message(queue)) ++dropped;
  if (dropped > 0) {
    ZLOG(kLogError, "%u queued message(s) dropped: not delivered within the shut-down's %d s.\n", dropped,
         kShutdownDrainSeconds);
  }
}

void message_thread(mt_queue* queue) {
  pool_state& state = pool();
  ZLOG(kLogInfo, "Starting message thread.\n");
  for (;;) {
    note_progress(watched_thread::message);
    while (mt_queue_is_empty(queue) == 0) {
      if (drain_deadline_passed()) {
        drop_rest(queue);
        break;
      }
      std::unique_ptr<queued_message> message = take_message(queue);
      if (!message) break;
      ZLOG(kLogDebug, "Getting message from queue.\n");
      deliver_queued(*message);
    }

    std::unique_lock<std::mutex> guard(state.lock);
    // Producers queue under the pool lock, so a message queued before this
    // check is seen here and one queued after it finds the thread waiting.
    ++state.waiting;
    state.work.wait(guard, [&] { return state.stop || mt_queue_is_empty(queue) == 0; });
    --state.waiting;
    if (mt_queue_is_empty(queue) == 0) {
      if (drain_deadline_passed()) continue;  // dropped at the top of the loop
      std::unique_ptr<queued_message> message = take_message(queue);
      guard.unlock();
      ZLOG(kLogDebug, "Getting message from queue after wait.\n");
      if (message) deliver_queued(*message);
      continue;
    }
    // Stopping and nothing left.
    ZLOG(kLogInfo, "Exiting message thread.\n");
    --state.threads;
    state.idle.notify_all();
    return;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Handler directory.

std::string handler_key(std::string_view handler_name) {
  std::string key(kKeyHandlerPrefix);
  key.append(handler_name.substr(0, kHandlerNameKeyChars));
  return key;
}

std::int32_t handler_endpoint_count(std::string_view line) {
  std::int32_t count = 1;
  for (char c : line) {
    if (c == ',') ++count;
  }
  return count;
}

std::string_view handler_endpoint_text(std::string_view line, std::int32_t index) {
  if (index < 0) return {};
  std::size_t start = 0;
  for (std::int32_t i = 0; i < index; ++i) {
    const std::size_t comma = line.find(',', start);
    if (comma == std::string_view::npos) return {};
    start = comma + 1;
  }
  const std::size_t end = line.find(',', start);
  return line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

bool resolve_endpoint(std::string_view text, handler_endpoint* endpoint) {
  const std::string whole(text);
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    const std::string port_text(text.substr(colon + 1, kPortTextChars));
    char* end = nullptr;
    const long port = std::strtol(port_text.c_str(), &end, 10);
    if (end == port_text.c_str()) {
      ZLOG(kLogError, "Incorrect port in configuration for handler line: '%s'.\n",
           port_text.c_str());
      return false;
    }
    // A negative port is refused like 0, never mapped into range.
    if (port <= 0 || port > kPortMax) {
      ZLOG(kLogError, "Incorrect port value in configuration: '%ld'.\n", port);
      return false;
    }
    if (colon > kEndpointAddressMax) {
      ZLOG(kLogError, "Handler endpoint '%s' refused: host longer than %zu characters.\n",
           whole.c_str(), kEndpointAddressMax);
      return false;
    }
    endpoint->kind = kEndpointTcp;
    endpoint->address.assign(text.substr(0, colon));
    endpoint->port = static_cast<std::uint16_t>(port);
    return true;
  }
  if (text.size() > kEndpointAddressMax) {
    ZLOG(kLogError, "Handler endpoint '%s' refused: path longer than %zu characters.\n",
         whole.c_str(), kEndpointAddressMax);
    return false;
  }
  endpoint->address = whole;
  endpoint->port = 0;
  struct stat info {};
  if (::stat(whole.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    // Started all the same: the exec reports whether it can run.
    if ((info.st_mode & kOwnerExecuteBit) == 0) {
      ZLOG(kLogWarning, "handler %s pointing to file, but executable bit is not set.\n",
           whole.c_str());
    }
    endpoint->kind = kEndpointProgram;
    return true;
  }
  if (text.size() > kUnixSocketPathMax) {
    ZLOG(kLogError,
         "Handler endpoint '%s' refused: unix socket path longer than %zu characters.\n",
         whole.c_str(), kUnixSocketPathMax);
    return false;
  }
  endpoint->kind = kEndpointUnixSocket;
  return true;
}

void set_own_handler_hook(own_handler_hook hook) { own_hook.store(hook); }

void message_sender_set_agent_context(agent_context* context) { stored_context.store(context); }

agent_context* message_sender_agent_context() { return stored_context.load(); }

int deliver_message(const char* handler_name, const void* payload, std::size_t length) {
  if (handler_name == nullptr) {
    ZLOG(kLogError, "description is null.\n");
    errno = EINVAL;
    return -1;
  }

  // ---- The agent's own handler name: control requests from the zelbroker.
  // The control server installs the hook; a message it recognises is executed
  // as a control request and never reaches the description lines.
  if (const own_handler_hook hook = own_hook.load()) {
    int own_result = -1;
    if (hook(handler_name, payload, length, &own_result)) return own_result;
  }
  // ----

  if (payload == nullptr) length = 0;
  const bool fan_out = std::strcmp(handler_name, kEventSinkHandler) == 0;
  const std::string key = handler_key(handler_name);
  int result = -1;
  for (std::int32_t index = 0;; ++index) {
    handler_endpoint endpoint;
    ZLOG(kLogDebug, "handler_desc='%s'\n", key.c_str());
    // The line is read again for each endpoint: a change of the configuration
    // meanwhile is seen at the next endpoint.
    char line[kConfigHandlerBufferSize] = {};
    if (config_get(key.c_str(), line, sizeof line) != 0) {
      errno = ENOENT;
      return result;
    }
    if (line[0] == '\0') {
      ZLOG(kLogDebug, "host_address is empty.\n");
      errno = ENOENT;
      return result;
    }
    ZLOG(kLogDebug, "host_address='%s'\n", line);
    endpoint.count = handler_endpoint_count(line);
    if (index >= endpoint.count) {
      ZLOG(kLogWarning, "requested %d handler, but we can find only %d.\n",
           static_cast<int>(index), static_cast<int>(endpoint.count));
      errno = EINVAL;
      return result;
    }
    const std::string endpoint_text(handler_endpoint_text(line, index));
    if (suspensions.suspended(handler_name, endpoint_text)) {
      result = -1;
    } else {
      if (!resolve_endpoint(endpoint_text, &endpoint)) return result;
      const DeliveryResult delivered = endpoint.kind == kEndpointProgram
                                           ? run_handler_program(endpoint.address, payload, length)
                                           : deliver_to_socket(endpoint.address.c_str(), endpoint.port, payload, length);
      if (delivered == DeliveryResult::kTimedOut) suspensions.suspend(endpoint_text);
      result = delivered == DeliveryResult::kDelivered ? 0 : -1;
    }

    if (!fan_out) {
      if (endpoint.count >= 2) {
        ZLOG(kLogWarning, "handler for %s has multiple endpoints (%d). Only event_sink support this.\n",
             handler_name, static_cast<int>(endpoint.count));
      }
      return result;
    }
    if (index + 1 >= endpoint.count) return result;
  }
}

namespace {

// A time-out (of the bounded connect or send) rather than a refusal.
DeliveryResult failure_from(int error) {
  return error == ETIMEDOUT || error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS
             ? DeliveryResult::kTimedOut
             : DeliveryResult::kFailed;
}

DeliveryResult deliver_to_socket(const char* address, std::uint16_t port, const void* payload, std::size_t length) {
  if (address == nullptr) {
    errno = EINVAL;
    return DeliveryResult::kFailed;
  }
  UniqueFd sock;
  bool nonblocking = false;
  if (port != 0) {
    sock.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
      const int error = errno;
      ZLOG(kLogError, "Can't open socket: errno=%d-%s.\n", error, std::strerror(error));
      return DeliveryResult::kFailed;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(address, nullptr, &hints, &found);
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> hosts(found, &::freeaddrinfo);
    if (rc != 0 || found == nullptr) {
      ZLOG(kLogWarning, "Can't resolve host '%s'. h_errno=%d - %s.\n", address, rc,
           ::gai_strerror(rc));
      return DeliveryResult::kFailed;
    }
    sockaddr_in target{};
    std::memcpy(&target, found->ai_addr, sizeof target);
    target.sin_port = htons(port);
    bound_socket_time(sock.get());
    if (connect_bounded(sock.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      const int error = errno;
      ZLOG(kLogWarning, "Can't connect to '%s':%d, errno=%d - %s.\n", address,
           static_cast<int>(port), error, std::strerror(error));
      return failure_from(error);
    }
  } else {
    const std::size_t path_length = std::strlen(address);
    sockaddr_un target{};
    if (path_length >= sizeof target.sun_path) {
      ZLOG(kLogError,
           "Handler endpoint '%s' refused: unix socket path longer than %zu characters.\n",
           address, kUnixSocketPathMax);
      return DeliveryResult::kFailed;
    }
    // The socket starts non-blocking: a listener with room in its backlog
    // takes the connection at once, and a payload that fits the socket buffer
    // goes in one send. Only a full backlog or buffer switches to the bounded
    // blocking mode, which spares the common case a system call.
    sock.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) {
      const int error = errno;
      ZLOG(kLogError, "Can't open socket: errno=%d-%s.\n", error, std::strerror(error));
      return DeliveryResult::kFailed;
    }
    target.sun_family = AF_UNIX;
    std::memcpy(target.sun_path, address, path_length);
    const auto target_length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_length);
    const auto* target_address = reinterpret_cast<const sockaddr*>(&target);
    int rc = ::connect(sock.get(), target_address, target_length);
    if (rc == 0) {
      nonblocking = true;
    } else if (errno == EAGAIN) {
      make_blocking_bounded(sock.get());
      rc = connect_bounded(sock.get(), target_address, target_length);
    }
    if (rc != 0) {
      const int error = errno;
      ZLOG(kLogWarning, "Can't connect to unix socket '%s', errno=%d - %s.\n", address, error,
           std::strerror(error));
      return failure_from(error);
    }
  }

  if (payload != nullptr && length != 0) {
    const char* bytes = static_cast<const char*>(payload);
    std::size_t done = 0;
    if (nonblocking) {
      const ssize_t first = ::send(sock.get(), bytes, length, MSG_NOSIGNAL);
      if (first > 0) done = static_cast<std::size_t>(first);
      // Anything else (a full buffer, an error) goes through send_all, which
      // waits within the bound or reports the error.
      if (done < length) make_blocking_bounded(sock.get());
    }
    if (done < length) {
      const int sent = send_all(sock.get(), bytes + done, length - done);
      if (sent < 0 || static_cast<std::size_t>(sent) != length - done) {
        const int error = errno;
        ZLOG(kLogError, "Failed to send msg to zelhandler on port '%s':%d.\n", address,
             static_cast<int>(port));
        return sent < 0 ? failure_from(error) : DeliveryResult::kFailed;
      }
    }
    ZLOG(kLogInfo, "Sent to handler %zu bytes.\n", length);
  }
  if (::close(sock.release()) != 0) {
    const int error = errno;
    ZLOG(kLogError, "Failed to close socket: errno=%d-%s.\n", error, std::strerror(error));
  }
  return DeliveryResult::kDelivered;
}

}  // namespace

int send_to_endpoint(const char* address, std::uint16_t port, const void* payload,
                     std::size_t length) {
  return deliver_to_socket(address, port, payload, length) == DeliveryResult::kDelivered ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Queue and message thread.

int message_sender_init() {
  pool_state& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.queue) {
    ZLOG(kLogWarning, "Message sender is already running.\n");
    return -1;
  }
  state.stop = false;
  state.queue = mt_queue_create();
  return 0;
}

int send_message_to_queue(std::string handler_name, std::string payload) {
  std::unique_ptr<queued_message> message;
  try {
    message = std::make_unique<queued_message>();
  } catch (const std::bad_alloc&) {
    out_of_memory("malloc().");
  }
  ZLOG(kLogDebug, "Sending message to queue.\n");
  message->handler_name = std::move(handler_name);
  message->payload = std::move(payload);
  // Accounted in 64 bits; anything past 32 bits is refused by the queue anyway.
  const std::uint64_t accounted = std::uint64_t{message->payload.size()} + kQueuedMessageBytes +
                                  message->handler_name.size();
  const std::uint32_t size =
      accounted > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(accounted);

  pool_state& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  if (mt_queue_enqueue(message.get(), state.queue.get(), size) != 0) {
    return -1;  // the record is freed on the way out
  }
  message.release();  // the queue holds it now; the message thread frees it
  ZLOG(kLogDebug, "Added message to queue.\n");
  ZLOG(kLogDebug, "Available threads: %d, waiting threads: %d.\n",
       static_cast<int>(state.threads), static_cast<int>(state.waiting));
  if (state.waiting > 0) {
    ZLOG(kLogDebug, "Some threads are waiting... Notifying them.\n");
    state.work.notify_one();
  } else if (state.threads <= 0) {
    try {
      std::thread thread(message_thread, state.queue.get());
      state.thread_id = thread.get_id();
      thread.detach();
      ++state.threads;
    } catch (const std::system_error& error) {
      // The message stays queued; the next one tries to start the thread again.
      ZLOG(kLogError, "Failed to create thread ret=%d.\n", error.code().value());
    }
  } else {
    ZLOG(kLogInfo, "Cannot create more threads - limit reached.\n");
  }
  return 0;
}

int send_message(const char* handler_name, std::string payload) {
  if (handler_name == nullptr) {
    ZLOG(kLogError, "description is null.\n");
    return -1;
  }
  std::string name;
  try {
    name = handler_name;
  } catch (const std::bad_alloc&) {
    out_of_memory("strdup().");
  }
  return send_message_to_queue(std::move(name), std::move(payload));
}

int message_sender_stop(int drain_limit_ms) {
  pool_state& state = pool();
  MtQueuePtr queue;
  {
    std::unique_lock<std::mutex> guard(state.lock);
    if (state.threads > 0 && state.thread_id == std::this_thread::get_id()) {
      // A handler (the agent's own control requests run there) cannot wait
      // for the thread it runs on.
      ZLOG(kLogError, "message_sender_stop() called from the message thread.\n");
      return -1;
    }
    const std::int64_t deadline_ms = steady_now_ms() + std::max(drain_limit_ms, 1);
    drain_deadline_ms.store(deadline_ms);
    state.stop = true;
    state.work.notify_all();
    // The message thread delivers what is still queued before it ends, until
    // the deadline; then it drops the rest (a delivery under way ends by the
    // deadline too).
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline_ms));
    if (!state.idle.wait_until(guard, deadline, [&] { return state.threads <= 0; })) {
      state.work.notify_all();
      state.idle.wait(guard, [&] { return state.threads <= 0; });
    }
    queue = std::move(state.queue);
  }
  if (queue) {
    // Messages left with no thread to deliver them (its start failed) are
    // delivered here rather than lost; no message thread runs any more.
    while (mt_queue_is_empty(queue.get()) == 0) {
      if (drain_deadline_passed()) {
        drop_rest(queue.get());
        break;
      }
      std::unique_ptr<queued_message> message = take_message(queue.get());
      if (!message) break;
      deliver_queued(*message);
    }
  }
  mt_queue_destroy(std::move(queue));  // logs the stop of a sender never started
  drain_deadline_ms.store(0);
  return 0;
}

int message_sender_stop_programs() {
  const int killed = programs.stop_all(std::chrono::seconds(kHandlerProgramStopGraceSeconds));
  if (killed > 0) {
    ZLOG(kLogWarning, "%d handler program(s) still ran %d s after SIGTERM: killed.\n", killed,
         kHandlerProgramStopGraceSeconds);
  }
  return killed;
}

std::size_t message_sender_reap_programs() { return programs.reap(); }

std::uint32_t message_sender_dropped() {
  pool_state& state = pool();
  std::lock_guard<std::mutex> guard(state.lock);
  return mt_queue_get_stats(state.queue.get()).dropped;
}

void delivery_testing::set_suspend_seconds(int seconds) {
  suspensions.suspend_seconds.store(seconds > 0 ? seconds : kHandlerSuspendSeconds);
  suspensions.clear();
}

void delivery_testing::set_handler_timeout_ms(int milliseconds) {
  handler_timeout_ms.store(milliseconds > 0 ? milliseconds : kHandlerTimeoutMs);
}
