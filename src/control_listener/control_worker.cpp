// The control worker thread and the routing of control requests between the
// caller's thread and the worker.
//
// The worker's cloud requests give up once its keep flag is cleared (stop)
// and never wait for a resume (http_helper.h), so a command under way ends
// within about a second of a stop or a pause, whatever the zelCloud does.
#include "control_listener/control_worker.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "control_worker";

constexpr std::uint32_t kDiscoveryInUse = 1;
constexpr std::int32_t kClaimed = 1;

struct Work {
  control_request request;
  agent_context* context;
  UniqueFd client;  // may be empty: nobody waits for the answer
};

std::mutex work_mutex;  // guards the four below, and every write of keep_working
std::condition_variable work_changed;
std::deque<Work> queue;
bool under_way = false;  // the worker runs a command
unsigned long refused = 0;
std::thread worker;

// 1 while the worker runs and takes commands: its cloud requests give up
// once it reads 0.
std::atomic<int> keep_working{0};

void answer(const UniqueFd& client, int result) {
  if (client) send_control_reply(client.get(), result);
}

void work_loop() {
  http_abandon_requests_when_cleared(&keep_working);
  http_refuse_requests_while_paused(true);
  for (;;) {
    Work work;
    {
      std::unique_lock<std::mutex> lock(work_mutex);
      work_changed.wait(lock, [] { return !queue.empty() || keep_working.load() == 0; });
      if (keep_working.load() == 0) return;  // what is queued is answered by the stop
      work = std::move(queue.front());
      queue.pop_front();
      under_way = true;
    }
    const int result = execute_control_request(work.request, *work.context);
    ZLOG(kLogDebug, "Command execution result is %d\n", result);
    answer(work.client, result);
    free_control_request(work.request);
    std::lock_guard<std::mutex> lock(work_mutex);
    under_way = false;
  }
}

// A claim or a release that comes while a release still waits on the zelCloud
// must not take effect before it: the later command decides the claimed state.
bool sets_claimed_state(const control_request& request) {
  return request.type == kControlOnClaim || request.type == kControlOnRelease;
}

}  // namespace

bool control_request_needs_cloud(const control_request& request) {
  switch (request.type) {
    case kControlSendDiscovery:
      return use_discovery() == kDiscoveryInUse;
    case kControlOnRelease: {
      const auto* service = std::get_if<service_request>(&request.payload);
      return service != nullptr && service->value != kClaimed && use_discovery() == kDiscoveryInUse;
    }
    default:
      return false;
  }
}

std::optional<int> run_control_request(control_request request, agent_context& context, UniqueFd& client) {
  const bool needs_cloud = control_request_needs_cloud(request);
  if (!needs_cloud && !sets_claimed_state(request)) return execute_control_request(request, context);
  std::size_t waiting = 0;
  unsigned long refused_so_far = 0;
  bool running = false;
  {
    std::unique_lock<std::mutex> lock(work_mutex);
    if (!needs_cloud && queue.empty() && !under_way) {
      lock.unlock();
      return execute_control_request(request, context);
    }
    running = keep_working.load() != 0;
    waiting = queue.size();
    if (running && waiting < kControlWorkMaxQueued) {
      queue.push_back(Work{std::move(request), &context, std::move(client)});
      work_changed.notify_all();
      return std::nullopt;
    }
    refused_so_far = ++refused;
  }
  if (running) {
    ZLOG(kLogError, "Control worker busy: %u requests wait already; request refused (%lu refused so far).\n",
         static_cast<unsigned>(waiting), refused_so_far);
  } else {
    ZLOG(kLogError, "Control worker not running: request refused (%lu refused so far).\n", refused_so_far);
  }
  return kResultBusy;
}

int start_control_worker() {
  std::lock_guard<std::mutex> lock(work_mutex);
  if (worker.joinable()) return 0;
  keep_working.store(1);
  try {
    worker = std::thread(work_loop);
  } catch (const std::system_error& error) {
    keep_working.store(0);
    ZLOG(kLogError, "Cannot create control worker thread: %s.\n", error.what());
    return -1;
  }
  return 0;
}

void stop_control_worker() {
  std::deque<Work> left;
  std::thread ending;
  {
    std::lock_guard<std::mutex> lock(work_mutex);
    keep_working.store(0);
    left.swap(queue);
    ending = std::move(worker);
  }
  work_changed.notify_all();
  http_wake_waiting_requests();
  if (!left.empty()) {
    ZLOG(kLogError, "Control worker stopped: %u queued request(s) answered -1 without running.\n",
         static_cast<unsigned>(left.size()));
  }
  for (const Work& work : left) answer(work.client, kResultBusy);
  if (ending.joinable()) ending.join();
}

namespace control_worker_testing {

std::size_t pending() {
  std::lock_guard<std::mutex> lock(work_mutex);
  return queue.size() + (under_way ? 1 : 0);
}

}  // namespace control_worker_testing
