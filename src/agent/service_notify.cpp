// Service-manager notifications: the datagram written by hand (a socket, one
// sendto) rather than through a library, and the watchdog's decision.
#include "agent/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "broker/zelbroker_connection.h"
#include "common/unique_fd.h"
#include "daemon/liveness.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "service_notify";
constexpr const char* kNotifySocketEnv = "NOTIFY_SOCKET";
constexpr const char* kWatchdogUsecEnv = "WATCHDOG_USEC";
constexpr const char* kWatchdogPidEnv = "WATCHDOG_PID";
constexpr char kAbstractPrefix = '@';
constexpr std::int64_t kMicrosPerMilli = 1000;
// Keep-alives per watchdog period: one each half period, as the service
// manager recommends, so that one late wake-up does not cost the agent.
constexpr std::int64_t kKeepAlivesPerPeriod = 2;

// Read once by service_notify_init, on the only thread; read-only afterwards.
std::string notify_socket;
std::string watchdog_usec;
std::string watchdog_pid;

std::string take_env(const char* name) {
  const char* value = std::getenv(name);
  std::string text = value != nullptr ? value : "";
  ::unsetenv(name);
  return text;
}

// A decimal number of 1 or more, or 0.
std::int64_t positive_number(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) return 0;
  return static_cast<std::int64_t>(value);
}

const char* thread_name(int which) {
  switch (static_cast<watched_thread>(which)) {
    case watched_thread::control_listener: return "control listener";
    case watched_thread::message: return "message";
    case watched_thread::broker: return "broker";
  }
  return "?";
}

}  // namespace

void service_notify_init() {
  notify_socket = take_env(kNotifySocketEnv);
  watchdog_usec = take_env(kWatchdogUsecEnv);
  watchdog_pid = take_env(kWatchdogPidEnv);
}

bool service_manager_present() { return !notify_socket.empty(); }

int service_notify(const char* state) {
  if (notify_socket.empty()) return 0;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if ((notify_socket[0] != '/' && notify_socket[0] != kAbstractPrefix) ||
      notify_socket.size() >= sizeof address.sun_path) {
    ZLOG(kLogWarning, "Cannot notify the service manager: unusable NOTIFY_SOCKET %s.\n",
         log_escape(notify_socket).c_str());
    return -1;
  }
  std::memcpy(address.sun_path, notify_socket.data(), notify_socket.size());
  if (notify_socket[0] == kAbstractPrefix) address.sun_path[0] = '\0';  // the name is its bytes, no NUL
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notify_socket.size());
  const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  // MSG_DONTWAIT: a service manager that does not read costs a lost
  // notification, never a blocked main loop.
  if (!fd || ::sendto(fd.get(), state, std::strlen(state), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), length) < 0) {
    ZLOG(kLogWarning, "Cannot notify the service manager (%s): %s.\n", state, std::strerror(errno));
    return -1;
  }
  return 0;
}

std::int64_t service_watchdog_period_ms() {
  if (notify_socket.empty()) return 0;
  if (!watchdog_pid.empty() && positive_number(watchdog_pid) != static_cast<std::int64_t>(::getpid())) return 0;
  const std::int64_t micros = positive_number(watchdog_usec);
  // A period below two milliseconds is taken as two (a keep-alive each).
  return micros == 0 ? 0 : std::max<std::int64_t>(micros / kMicrosPerMilli, kKeepAlivesPerPeriod);
}

service_watchdog::service_watchdog(std::int64_t period_ms, std::int64_t now_ms)
    : period_ms_(period_ms), started_ms_(now_ms), next_due_ms_(now_ms + period_ms / kKeepAlivesPerPeriod) {}

bool service_watchdog::due(std::int64_t now_ms) {
  if (period_ms_ <= 0) return false;
  if (keep_connection.load() == 0) {
    broker_since_ms_ = 0;
  } else if (broker_since_ms_ == 0) {
    broker_since_ms_ = now_ms;
  }
  if (now_ms < next_due_ms_) return false;
  next_due_ms_ = now_ms + period_ms_ / kKeepAlivesPerPeriod;

  const struct {
    watched_thread which;
    bool watched;
    std::int64_t since_ms;
  } threads[] = {
      {watched_thread::control_listener, true, started_ms_},
      {watched_thread::message, last_progress_ms(watched_thread::message) != 0, started_ms_},  // 0: not started
      {watched_thread::broker, broker_since_ms_ != 0, broker_since_ms_},
  };
  int stalled = -1;
  std::int64_t quiet_ms = 0;
  for (const auto& thread : threads) {
    if (!thread.watched) continue;
    quiet_ms = now_ms - std::max(last_progress_ms(thread.which), thread.since_ms);
    if (quiet_ms > period_ms_) {
      stalled = static_cast<int>(thread.which);
      break;
    }
  }
  if (stalled != stalled_) {
    if (stalled >= 0) {
      ZLOG(kLogWarning, "The %s thread has shown no progress for %lld ms: the service manager's watchdog is no "
           "longer kept alive.\n", thread_name(stalled), static_cast<long long>(quiet_ms));
    } else {
      ZLOG(kLogInfo, "The %s thread makes progress again.\n", thread_name(stalled_));
    }
    stalled_ = stalled;
  }
  return stalled < 0;
}

std::int64_t service_watchdog::ms_until_due(std::int64_t now_ms) const {
  if (period_ms_ <= 0) return std::numeric_limits<std::int64_t>::max();
  return std::max<std::int64_t>(next_due_ms_ - now_ms, 0);
}
