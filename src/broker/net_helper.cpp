// Socket helpers: keepalive, whole-buffer reads and sends, and the bounded
// waits of the broker link's set-up.
#include "broker/net_helper.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "broker/ssl_routine.h"
#include "broker/zelbroker_connection.h"
#include "daemon/daemon.h"
#include "daemon/liveness.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "net_helper";
constexpr int kMillisecondsPerSecond = 1000;

std::atomic<int> g_step_timeout_ms{kBrokerStepTimeoutSeconds * kMillisecondsPerSecond};

// Restores the thread's signal mask when a wait ends, however it ends.
class SignalMaskRestorer {
 public:
  explicit SignalMaskRestorer(const sigset_t& mask) : mask_(mask) {}
  ~SignalMaskRestorer() { pthread_sigmask(SIG_SETMASK, &mask_, nullptr); }
  SignalMaskRestorer(const SignalMaskRestorer&) = delete;
  SignalMaskRestorer& operator=(const SignalMaskRestorer&) = delete;

 private:
  sigset_t mask_;
};

sigset_t only_signal(int signal_number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  return set;
}

// read/write sizes are ints; larger requests are served in int-sized pieces.
std::size_t clamp_to_int(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? static_cast<std::size_t>(INT_MAX) : size;
}

// Blocks until `sock` has input (or an error or hang-up to report). A signal
// ends the wait early; the caller decides whether to wait again. False when
// poll fails otherwise.
bool wait_for_input(int sock) {
  pollfd entry{sock, POLLIN, 0};
  return poll(&entry, 1, -1) >= 0 || errno == EINTR;
}

}  // namespace

NonblockingScope::NonblockingScope(int fd) noexcept : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
  if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
}

NonblockingScope::~NonblockingScope() {
  if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) fcntl(fd_, F_SETFL, flags_);
}

int enable_keepalive(int sock) {
  int on = 1;
  if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    ZLOG(kLogError, "setsockopt(): %s.\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

int set_keepalive(int sock, std::uint32_t idle_seconds, std::uint32_t probe_count,
                  std::uint32_t interval_seconds) {
  if (enable_keepalive(sock) != 0) return -1;
  // The kernel takes ints; the advisor's values are handed through unchanged.
  int idle = static_cast<int>(idle_seconds);
  if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) {
    ZLOG(kLogError, "Cannot set TCP_KEEPIDLE - setsockopt(): %s.\n", std::strerror(errno));
    return -1;
  }
  int count = static_cast<int>(probe_count);
  if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    ZLOG(kLogError, "Cannot set TCP_KEEPCNT - setsockopt(): %s.\n", std::strerror(errno));
    return -1;
  }
  int interval = static_cast<int>(interval_seconds);
  if (setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0) {
    ZLOG(kLogError, "Cannot set TCP_KEEPINTVL - setsockopt(): %s.\n", std::strerror(errno));
    return -1;
  }
  return 0;
}

int read_exact(connection* conn, void* buffer, std::size_t length) {
  if (conn == nullptr) return -1;
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    int got = connection_read(conn, bytes + done, clamp_to_int(length - done));
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0 && errno != EAGAIN) {
      ZLOG(kLogDebug, "Connection was closed.\n");
      return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Not a close: a TLS read cut short by a signal, or a non-blocking
      // socket with nothing yet. Wait for input, unless the link is stopping.
      if (broker_link_stopping() || !wait_for_input(conn->sock.get())) return -1;
      continue;
    }
    if (errno == EINTR) {
      ZLOG(kLogDebug, "recv was interrupted by signal.\n");
      if (broker_link_stopping()) return -1;
      continue;
    }
    int error = errno;
    ZLOG(kLogError, "Cannot read data from socket. errno = %d - %s.\n", error,
         std::strerror(error));
    return -1;
  }
  return static_cast<int>(length);
}

int send_all(int sock, const void* buffer, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    ssize_t sent = send(sock, bytes + done, clamp_to_int(length - done), MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == 0) {
      ZLOG(kLogDebug, "Connection was closed.\n");
      return 0;
    }
    if (errno == EINTR) {
      ZLOG(kLogDebug, "EINTR. ignore it.\n");
      continue;
    }
    int error = errno;
    ZLOG(kLogError, "Send data to socket error. errno = %d - %s.\n", error, std::strerror(error));
    return -1;
  }
  return static_cast<int>(length);
}

bool broker_link_stopping() { return keep_connection.load() == 0 || agent_stop_requested(); }

int broker_step_timeout_ms() { return g_step_timeout_ms.load(); }

StepDeadline broker_step_deadline() {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(broker_step_timeout_ms());
}

int wait_for_socket(int sock, short events, StepDeadline deadline, const char* step) {
  // SIGUSR1 stays blocked while keep_connection is checked and is let through
  // only by ppoll itself: a stop that clears the flag after the check still
  // interrupts the wait, and one that cleared it before is seen by the check.
  const sigset_t usr1 = only_signal(SIGUSR1);
  sigset_t wait_mask;
  pthread_sigmask(SIG_BLOCK, &usr1, &wait_mask);
  SignalMaskRestorer restore(wait_mask);

  for (;;) {
    note_progress(watched_thread::broker);
    if (broker_link_stopping()) {  // seen first: a stop wins over a ready socket
      ZLOG(kLogDebug, "Broker link is stopping, %s abandoned.\n", step);
      return -1;
    }
    auto remaining = deadline - std::chrono::steady_clock::now();
    if (remaining <= std::chrono::steady_clock::duration::zero()) {
      ZLOG(kLogWarning, "Timed out after %d ms waiting for %s.\n", broker_step_timeout_ms(), step);
      return 0;
    }
    // A stop of the whole agent sends no signal: look at the flags regularly.
    remaining = std::min<std::chrono::steady_clock::duration>(remaining, kBrokerStopCheckInterval);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(remaining);
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining - seconds);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>(nanoseconds.count())};
    pollfd entry{sock, events, 0};
    int ready = ppoll(&entry, 1, &timeout, &wait_mask);
    if (ready > 0) return 1;
    if (ready == 0 || errno == EINTR) continue;
    ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "wait_for_socket", __LINE__, errno);
    return -1;
  }
}

int connection_read_before(connection* conn, void* buffer, std::size_t size,
                           StepDeadline deadline, const char* step) {
  if (conn == nullptr) return -1;
  for (;;) {
    if (connection_pending(conn) == 0) {
      int ready = wait_for_socket(conn->sock.get(), POLLIN, deadline, step);
      if (ready != 1) {
        errno = ready == 0 ? ETIMEDOUT : ECANCELED;
        return -1;
      }
    }
    int got = 0;
    {
      // A TLS read after readiness can still want more of its record: with
      // the socket non-blocking it says so instead of blocking past the deadline.
      NonblockingScope nonblocking(conn->sock.get());
      got = connection_read(conn, buffer, size);
    }
    if (got > 0) return got;
    const int error = errno;
    if (got == 0 && error == EAGAIN) continue;
    if (got < 0 && !conn->ssl && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
      continue;
    }
    errno = error;
    return got;
  }
}

int connection_write_before(connection* conn, const void* bytes, std::size_t length,
                            StepDeadline deadline, const char* step) {
  if (conn == nullptr) return -1;
  const auto* data = static_cast<const unsigned char*>(bytes);
  std::size_t done = 0;
  while (done < length) {
    short events = POLLOUT;
    {
      NonblockingScope nonblocking(conn->sock.get());
      const int sent = connection_try_write(conn, data + done, length - done, &events);
      if (sent < 0) return sent;
      done += static_cast<std::size_t>(sent);
      if (done == length) break;
    }
    const int ready = wait_for_socket(conn->sock.get(), events, deadline, step);
    if (ready != 1) {
      errno = ready == 0 ? ETIMEDOUT : ECANCELED;
      return -1;
    }
  }
  return static_cast<int>(length);
}

bool run_lookup_before(std::function<void()> lookup, StepDeadline deadline, const char* step) {
  struct Shared {
    std::mutex mutex;  // guards finished
    std::condition_variable changed;
    bool finished = false;
  };
  auto shared = std::make_shared<Shared>();
  try {
    std::thread([shared, lookup] {
      lookup();
      std::lock_guard<std::mutex> guard(shared->mutex);
      shared->finished = true;
      shared->changed.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: look up here, unbounded, rather than not at all.
    lookup();
    return true;
  }
  std::unique_lock<std::mutex> guard(shared->mutex);
  for (;;) {
    note_progress(watched_thread::broker);
    if (shared->changed.wait_for(guard, kBrokerStopCheckInterval, [&] { return shared->finished; })) {
      return true;
    }
    if (broker_link_stopping()) {
      ZLOG(kLogDebug, "Broker link is stopping, %s abandoned.\n", step);
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ZLOG(kLogWarning, "Timed out after %d ms waiting for %s.\n", broker_step_timeout_ms(), step);
      return false;
    }
  }
}

namespace net_testing {
void set_broker_step_timeout_ms(int milliseconds) {
  g_step_timeout_ms.store(milliseconds > 0 ? milliseconds
                                           : kBrokerStepTimeoutSeconds * kMillisecondsPerSecond);
}
}  // namespace net_testing
