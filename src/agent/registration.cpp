// Registration with the zelCloud on the start-up thread, with the retry
// schedule of the zel_register_* settings.
#include "agent/registration.h"

#include <algorithm>
#include <system_error>

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "control_listener/discovery.h"
#include "daemon/daemon.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "registration";
constexpr std::int32_t kRegistered = 1;

std::uint64_t seconds_since(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<std::uint64_t>(std::max<std::int64_t>(
      0, std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
}

// What the driver does once the device has its identity.
void registered_from_here(agent_context* context) {
  set_registered(kRegistered);
  start_broker_thread_if_allowed(context);
  ZLOG(kLogInfo, "Start-up done: the zelbroker link %s.\n",
       keep_connection.load() != 0 ? "is running"
                                   : "waits for a claim, a discovery or zel_force_connection");
}

}  // namespace

std::uint32_t registration_retry_delay(std::uint64_t elapsed_seconds, std::uint32_t aggressive_time,
                                       std::uint32_t aggressive_delay, std::uint32_t register_delay) {
  const std::uint32_t delay = elapsed_seconds < aggressive_time ? aggressive_delay : register_delay;
  return std::max(delay, kMinRegisterRetrySeconds);
}

registration_thread::~registration_thread() {
  stop();
  if (thread_.joinable()) thread_.join();
}

int registration_thread::start(agent_context* context) {
  if (identity_is_valid(context->current_identity()) == 1) {
    ZLOG(kLogInfo, "Device already registered as '%s'.\n",
         log_escape(context->current_identity().agent_id.value_or(std::string())).c_str());
    registered_.store(true);
    registered_from_here(context);
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_ = false;
  }
  try {
    thread_ = std::thread([this, context] {
      http_abandon_requests_when_cleared(&keep_registering_);
      run(context);
      std::lock_guard<std::mutex> lock(finished_mutex_);
      finished_ = true;
      finished_signal_.notify_all();
    });
  } catch (const std::system_error& error) {
    ZLOG(kLogError, "Cannot create registration thread: %s.\n", error.what());
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_ = true;
    return -1;
  }
  return 0;
}

void registration_thread::stop() {
  stopping_.store(true);
  keep_registering_.store(0);
  // Ends a retry wait under way (a wait that begins after this call sees the
  // flag first) and a wait for the pause or for another request's turn.
  wake_sleepers();
  http_wake_waiting_requests();
}

bool registration_thread::wait_finished(std::chrono::steady_clock::time_point deadline) {
  {
    std::unique_lock<std::mutex> lock(finished_mutex_);
    while (!finished_) {
      // The stop's wake may have come just before the thread began its
      // wait: wake again now and then until it has ended.
      constexpr auto kWakeInterval = std::chrono::milliseconds(100);
      const auto next = std::min(deadline, std::chrono::steady_clock::now() + kWakeInterval);
      if (finished_signal_.wait_until(lock, next, [this] { return finished_; })) break;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (stopping_.load()) wake_sleepers();
    }
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

void registration_thread::run(agent_context* context) {
  const auto started = std::chrono::steady_clock::now();
  const std::uint32_t aggressive_time = register_aggressive_time();
  const std::uint32_t aggressive_delay = register_aggressive_delay();
  ZLOG(kLogInfo, "Registering the device (hardware id '%s') with the zelCloud.\n",
       log_escape(context->current_identity().hardware_id.value_or(std::string())).c_str());
  while (!stopping_.load()) {
    const int result = register_device(*context);
    if (result == 0) {
      const identity registered = context->current_identity();
      save_identity(registered);
      ZLOG(kLogInfo, "Device registered as '%s'.\n", log_escape(registered.agent_id.value_or(std::string())).c_str());
      registered_.store(true);
      if (!stopping_.load()) registered_from_here(context);
      return;
    }
    // A failed registration may have cleared the identity (an incomplete
    // reply): the next attempt starts from what the store and the device say.
    reload_identity(*context);
    if (stopping_.load()) break;  // the attempt may have given up: no retry to announce
    const std::uint64_t elapsed = seconds_since(started);
    const std::uint32_t delay =
        registration_retry_delay(elapsed, aggressive_time, aggressive_delay, context->register_delay);
    if (result == kRegisterRefusedWrongSn) {
      ZLOG(kLogError,
           "Registration refused with error code %ld (wrong_sn): the zelCloud does not know the hardware id "
           "'%s'. Retrying in %u secs.\n",
           kWrongSnErrorCode, log_escape(context->current_identity().hardware_id.value_or(std::string())).c_str(),
           static_cast<unsigned>(delay));
    } else {
      ZLOG(kLogWarning, "Registration failed. Retrying in %u secs.\n", static_cast<unsigned>(delay));
    }
    sleep_for(static_cast<std::int32_t>(std::min<std::uint32_t>(delay, INT32_MAX)));
  }
  ZLOG(kLogInfo, "Registration stopped before it succeeded.\n");
}
