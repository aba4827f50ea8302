// The discovery scheduler: the discovery window on the seconds since boot,
// the one discovery thread that watches it, and the run rules of the broker
// link.
//
// The discovery lock guards the deadline's writes and the thread handle. The
// thread takes the lock for the last time when it sets the deadline to 0, so
// a handle recorded beside a deadline of 0 belongs to a thread that will not
// take the lock again: the next push joins it while holding the lock, which
// makes the join happen exactly once even when two pushes overlap.
#include "control_listener/discovery.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "broker/zelbroker_connection.h"
#include "cloud/logic.h"
#include "daemon/daemon.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "discovery";

constexpr std::uint32_t kForcedOn = 1;
constexpr std::int32_t kNoWindow = 0;

std::mutex discovery_lock;  // guards the deadline's writes and discovery_handle
// The window's end in seconds of uptime, 0 for none. Written under
// discovery_lock; discovery_pending reads it without.
std::atomic<std::int32_t> discovery_deadline{kNoWindow};
std::thread discovery_handle;  // guarded by discovery_lock; empty = no thread

std::atomic<long> uptime_offset{0};        // tests move the clock with it
std::atomic<int> discovery_threads_made{0};
std::atomic<bool> discovery_thread_active{false};
std::atomic<int> discovery_threads_ended{0};
std::atomic<int> discovery_waits_begun{0};

// Clamps a second count to the signed 32-bit range of the deadline.
std::int32_t to_deadline(std::int64_t seconds) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(seconds, 0, INT32_MAX));
}

// Joins a discovery thread that has ended. Caller holds discovery_lock.
void reap_ended_thread_locked() {
  if (discovery_deadline.load() != kNoWindow || !discovery_handle.joinable()) return;
  ZLOG(kLogDebug, "before join discovery thread.\n");
  discovery_handle.join();
  ZLOG(kLogDebug, "after  join discovery thread.\n");
}

// Marks the thread active for its whole routine, the last log line included.
class ActiveThread {
 public:
  ActiveThread() { discovery_thread_active.store(true); }
  ~ActiveThread() {
    discovery_thread_active.store(false);
    discovery_threads_ended.fetch_add(1);
  }
  ActiveThread(const ActiveThread&) = delete;
  ActiveThread& operator=(const ActiveThread&) = delete;
};

}  // namespace

long uptime_seconds() {
  struct sysinfo info {};
  const long since_boot = ::sysinfo(&info) == 0 ? static_cast<long>(info.uptime) : 0;
  return since_boot + uptime_offset.load();
}

int discovery_pending() {
  return static_cast<std::int64_t>(discovery_deadline.load()) > static_cast<std::int64_t>(uptime_seconds()) ? 1
                                                                                                            : 0;
}

int stop_broker_thread_unless_forced() {
  if (force_connection() == kForcedOn) return -1;
  stop_broker_thread();
  return 0;
}

int start_broker_thread_if_allowed(agent_context* context) {
  if (force_connection() == kForcedOn || discovery_pending() == 1 || agent_claimed() == 1) {
    start_broker_thread(context);
  }
  return 0;
}

int push_discovery(const discovery_request* request, agent_context* context) {
  ZLOG(kLogDebug, "pushing discovery.\n");
  if (request == nullptr || context == nullptr) {
    ZLOG(kLogWarning, "If you want to make discovery request, please provide service id\n");
    return kDiscoveryNoRequest;
  }

  const int result = post_discovery(*context, *request);
  {
    std::lock_guard<std::mutex> lock(discovery_lock);
    reap_ended_thread_locked();
  }
  if (result != 0) {
    ZLOG(kLogDebug, "Failed to send discovery.\n");
    return result;
  }

  const std::int64_t length =
      request->discovery_time > 0 ? request->discovery_time : static_cast<std::int64_t>(context->claim_check);
  const std::int32_t new_deadline = to_deadline(static_cast<std::int64_t>(uptime_seconds()) + length);

  {
    std::lock_guard<std::mutex> lock(discovery_lock);
    if (discovery_deadline.load() < new_deadline) {
      ZLOG(kLogDebug, "Setting new discovery time.\n");
      discovery_deadline.store(new_deadline);
    }
    // A thread already running picks the new deadline up after its sleep.
    if (!discovery_handle.joinable()) {
      try {
        discovery_handle = std::thread(discovery_thread, context);
        discovery_threads_made.fetch_add(1);
      } catch (const std::system_error& error) {
        // The window then goes unwatched (the link stays up) until the next push.
        ZLOG(kLogError, "Cannot create discovery thread: %s.\n", error.what());
      }
      start_broker_thread(context);
    }
  }
  ZLOG(kLogDebug, "discovery pushed.\n");
  return 0;
}

void discovery_thread(agent_context* context) {
  ActiveThread active;
  std::int64_t now = uptime_seconds();
  std::unique_lock<std::mutex> lock(discovery_lock);
  std::int64_t deadline = discovery_deadline.load();
  while (deadline > now && !agent_stop_requested()) {
    lock.unlock();
    const long remaining = static_cast<long>(deadline - now);
    ZLOG(kLogDebug, "Sleep in discovery thread for %ld seconds.\n", remaining);
    discovery_waits_begun.fetch_add(1);
    sleep_for(static_cast<std::int32_t>(remaining));
    const int claimed = context != nullptr && !agent_stop_requested() ? wait_for_claim_status(*context) : 0;
    lock.lock();
    if (agent_stop_requested()) break;
    if (claimed == 1) {
      discovery_deadline.store(kNoWindow);
      lock.unlock();
      ZLOG(kLogDebug, "discovery thread ended.\n");
      return;
    }
    now = uptime_seconds();
    deadline = discovery_deadline.load();
  }
  // The window is over without a claim. The broker's stop never takes the
  // discovery lock, so it is called with the lock held. At the agent's stop
  // the link is the shut-down's to end.
  if (!agent_stop_requested()) stop_broker_thread_unless_forced();
  discovery_deadline.store(kNoWindow);
  lock.unlock();
  ZLOG(kLogDebug, "discovery thread ended.\n");
}

bool join_discovery_thread(std::chrono::steady_clock::time_point deadline) {
  std::thread ending;
  {
    std::lock_guard<std::mutex> lock(discovery_lock);
    ending = std::move(discovery_handle);
  }
  // The thread may be about to sleep rather than asleep: wake the sleepers
  // until it has ended (it takes the lock on its way, so not under it).
  constexpr auto kWakeInterval = std::chrono::milliseconds(50);
  while (ending.joinable() && discovery_threads_ended.load() != discovery_threads_made.load()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::lock_guard<std::mutex> lock(discovery_lock);
      if (discovery_handle.joinable()) {
        ending.detach();  // a push made another meanwhile; this one still ends on its own
      } else {
        discovery_handle = std::move(ending);
      }
      return false;
    }
    wake_sleepers();
    std::this_thread::sleep_for(kWakeInterval);
  }
  if (ending.joinable()) ending.join();
  return true;
}

namespace discovery_testing {

void set_uptime_offset(long seconds) { uptime_offset.store(seconds); }

std::int32_t deadline() {
  std::lock_guard<std::mutex> lock(discovery_lock);
  return discovery_deadline.load();
}

bool thread_running() { return discovery_thread_active.load(); }

int waits_begun() { return discovery_waits_begun.load(); }

void end_window_and_join() {
  {
    std::lock_guard<std::mutex> lock(discovery_lock);
    discovery_deadline.store(kNoWindow);
  }
  join_discovery_thread(std::chrono::steady_clock::time_point::max());
}

}  // namespace discovery_testing
