// The message thread: lanes of waiting messages, one per handler, and the
// deliveries in flight, driven by one poll loop.
//
// A turn of the loop: take what was queued into the lanes; reap handler
// programs; past the drain deadline cut and drop everything; start
// deliveries for lanes that are free (not delivering, not backing off, a
// program slot free when the handler is a program), from a rotating point
// so that no handler starves; poll the deliveries' descriptors, the wake-up
// descriptor and the earliest time anything is due; advance what is ready.
#include "delivery/message_thread.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <new>
#include <vector>

#include "daemon/liveness.h"
#include "delivery/endpoint_delivery.h"
#include "delivery/handler_directory.h"
#include "delivery/handler_programs.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "message_sender";
constexpr int kMillisPerSecond = 1000;
// The longest poll: the thread marks its progress at least this often.
constexpr std::chrono::milliseconds kIdleTurn{500};
// While handler programs run, how often they are looked after (slots freed).
constexpr std::chrono::milliseconds kProgramTurn{50};

std::atomic<int> step_timeout_ms{kHandlerWriteTimeoutSeconds * kMillisPerSecond};
std::atomic<int> backoff_ms{kHandlerBackoffSeconds * kMillisPerSecond};

using Clock = message_thread_link::Clock;

struct lane {
  std::deque<std::unique_ptr<queued_message>> waiting;
  bool busy = false;             // a delivery of this handler is in flight
  Clock::time_point backoff_until{};
};

struct flight {
  std::unique_ptr<queued_message> message;
  bool fan_out = false;
  std::int32_t index = 0;
  std::int32_t count = 0;  // endpoints in the line when the last one began
  bool any_failed = false;
  EndpointDelivery step;
};

class MessageThread {
 public:
  explicit MessageThread(message_thread_link& link) : link_(link) {}
  void run();

 private:
  void take_queued();
  void start_deliveries(Clock::time_point now);
  bool try_start(lane& handler_lane, handler_endpoint* resolved);
  void begin_endpoint(flight& delivery, const handler_endpoint& endpoint);
  void step_done(flight& delivery);
  void finish(flight& delivery, message_outcome outcome);
  void drop_everything();
  void drop_backed_off(Clock::time_point deadline);
  bool idle() const;
  Clock::time_point next_due(Clock::time_point now) const;

  message_thread_link& link_;
  std::map<std::string, lane> lanes_;
  std::string next_start_;  // the lane the next round starts at
  std::vector<std::unique_ptr<flight>> flights_;
  bool programs_running_ = false;
  bool wake_pending_ = true;  // the wake-up descriptor may be readable
};

void MessageThread::take_queued() {
  std::uint64_t drained = 0;
  if (wake_pending_ && ::read(link_.wake_fd(), &drained, sizeof drained) < 0 && errno != EAGAIN) {
    ZLOG(kLogWarning, "read() of the wake-up: errno %d.\n", errno);
  }
  wake_pending_ = false;
  while (std::unique_ptr<queued_message> message = link_.take()) {
    ZLOG(kLogDebug, "Getting message from queue.\n");
    lanes_[message->key].waiting.push_back(std::move(message));
  }
}

// Resolves the endpoint `index` of a message's handler. False when there is
// none: `failed` says whether that is a failure (no line, a refused endpoint)
// or the end of a fan-out line that shrank.
bool find_endpoint(const queued_message& message, std::int32_t index, handler_endpoint* endpoint, bool* failed) {
  const EndpointLookup found = find_endpoint(message.key, index, endpoint);
  *failed = found != EndpointLookup::kFound && found != EndpointLookup::kBeyond;
  return found == EndpointLookup::kFound;
}

// Begins the step of `endpoint` (the one at `delivery.index`).
void MessageThread::begin_endpoint(flight& delivery, const handler_endpoint& endpoint) {
  queued_message& message = *delivery.message;
  delivery.count = endpoint.count;
  if (delivery.index == 0 && !delivery.fan_out) warn_if_several_endpoints(message.handler_name, endpoint.count);
  delivery.step.start(endpoint, message.key, message.payload, step_timeout_ms.load());
}

// Starts the oldest message of a free lane. False when it must wait (no
// program slot for its handler). `resolved` carries the handler's first
// endpoint from one message to the next within one pass over the lanes (a
// burst to one handler reads its line once; a change is seen at the next
// pass); kind kEndpointUnresolved when not known yet.
bool MessageThread::try_start(lane& handler_lane, handler_endpoint* resolved) {
  queued_message& head = *handler_lane.waiting.front();
  int own_result = -1;
  if (call_own_handler_hook(head.handler_name.c_str(), head.payload.data(), head.payload.size(), &own_result)) {
    std::unique_ptr<queued_message> message = std::move(handler_lane.waiting.front());
    handler_lane.waiting.pop_front();
    link_.done(std::move(message), message_outcome::kDelivered);
    return true;
  }
  auto delivery = std::make_unique<flight>();
  delivery->fan_out = handler_fans_out(head.handler_name);
  handler_endpoint endpoint = *resolved;
  bool failed = false;
  const bool found = endpoint.kind != kEndpointUnresolved || find_endpoint(head, 0, &endpoint, &failed);
  if (found && !delivery->fan_out) *resolved = endpoint;
  // A program handler without a free slot waits in its lane, in no flight.
  if (found && endpoint.kind == kEndpointProgram && !handler_program_slot_free(head.key)) return false;
  delivery->message = std::move(handler_lane.waiting.front());
  handler_lane.waiting.pop_front();
  if (!found) {
    finish(*delivery, failed ? message_outcome::kFailed : message_outcome::kDelivered);
    return true;
  }
  begin_endpoint(*delivery, endpoint);
  handler_lane.busy = true;
  if (delivery->step.finished()) {
    step_done(*delivery);
    if (!delivery->message) return true;
  }
  flights_.push_back(std::move(delivery));
  return true;
}

void MessageThread::start_deliveries(Clock::time_point now) {
  if (lanes_.empty()) return;
  auto it = lanes_.lower_bound(next_start_);
  for (std::size_t visited = 0, total = lanes_.size(); visited < total; ++visited) {
    if (flights_.size() >= static_cast<std::size_t>(kDeliveriesInFlight)) break;
    if (it == lanes_.end()) it = lanes_.begin();
    lane& handler_lane = it->second;
    handler_endpoint resolved;
    while (!handler_lane.busy && !handler_lane.waiting.empty() && now >= handler_lane.backoff_until &&
           flights_.size() < static_cast<std::size_t>(kDeliveriesInFlight)) {
      if (!try_start(handler_lane, &resolved)) break;
    }
    ++it;
  }
  if (it == lanes_.end()) it = lanes_.begin();
  next_start_ = it->first;
  // Lanes with nothing left and no back-off to remember.
  std::erase_if(lanes_, [now](const auto& entry) {
    return entry.second.waiting.empty() && !entry.second.busy && now >= entry.second.backoff_until;
  });
}

// One endpoint of a delivery has finished: the next endpoint of a fan-out,
// or the end of the message.
void MessageThread::step_done(flight& delivery) {
  const DeliveryResult result = delivery.step.result();
  queued_message& message = *delivery.message;
  if (result == DeliveryResult::kCut) return finish(delivery, message_outcome::kDroppedAtStop);
  if (result != DeliveryResult::kDelivered) delivery.any_failed = true;
  if (result == DeliveryResult::kTimedOut) {
    const int wait_ms = backoff_ms.load();
    ZLOG(kLogError, "Handler %s made no progress for %d ms: message failed; its next messages wait %d s.\n",
         log_escape(message.handler_name).c_str(), step_timeout_ms.load(), wait_ms / kMillisPerSecond);
    lanes_[message.key].backoff_until = Clock::now() + std::chrono::milliseconds(wait_ms);
  }
  if (delivery.fan_out && result != DeliveryResult::kTimedOut && delivery.index + 1 < delivery.count) {
    ++delivery.index;
    handler_endpoint endpoint;
    bool failed = false;
    if (find_endpoint(message, delivery.index, &endpoint, &failed)) {
      begin_endpoint(delivery, endpoint);
      if (delivery.step.finished()) step_done(delivery);
      return;
    }
    if (failed) delivery.any_failed = true;
  }
  finish(delivery, delivery.any_failed ? message_outcome::kFailed : message_outcome::kDelivered);
}

void MessageThread::finish(flight& delivery, message_outcome outcome) {
  const auto found = lanes_.find(delivery.message->key);
  if (found != lanes_.end()) found->second.busy = false;
  link_.done(std::move(delivery.message), outcome);
}

// Past the drain deadline: writes in progress are cut, waiting messages dropped.
void MessageThread::drop_everything() {
  for (auto& delivery : flights_) {
    delivery->step.cut();
    finish(*delivery, message_outcome::kDroppedAtStop);
  }
  flights_.clear();
  for (auto& [key, handler_lane] : lanes_) {
    for (auto& message : handler_lane.waiting) link_.done(std::move(message), message_outcome::kDroppedAtStop);
  }
  lanes_.clear();
}

// At a stop, the messages of a handler that backs off past the deadline
// cannot be delivered in time: dropped at once rather than at the deadline.
void MessageThread::drop_backed_off(Clock::time_point deadline) {
  for (auto& [key, handler_lane] : lanes_) {
    if (handler_lane.backoff_until < deadline) continue;
    for (auto& message : handler_lane.waiting) link_.done(std::move(message), message_outcome::kDroppedAtStop);
    handler_lane.waiting.clear();
  }
}

bool MessageThread::idle() const {
  return flights_.empty() &&
         std::all_of(lanes_.begin(), lanes_.end(), [](const auto& entry) { return entry.second.waiting.empty(); });
}

Clock::time_point MessageThread::next_due(Clock::time_point now) const {
  Clock::time_point due = now + kIdleTurn;
  for (const auto& delivery : flights_) due = std::min(due, delivery->step.wake_at());
  for (const auto& [key, handler_lane] : lanes_) {
    if (!handler_lane.waiting.empty() && !handler_lane.busy && handler_lane.backoff_until > now) {
      due = std::min(due, handler_lane.backoff_until);
    }
  }
  if (programs_running_) due = std::min(due, now + kProgramTurn);
  return due;
}

void MessageThread::run() {
  std::vector<pollfd> ready;
  for (;;) {
    note_progress(watched_thread::message);
    take_queued();
    programs_running_ = reap_handler_programs() > 0;
    Clock::time_point deadline{};
    const bool stopping = link_.stopping(&deadline);
    const auto now = Clock::now();
    if (stopping && now >= deadline) {
      drop_everything();
      take_queued();  // queued during the stop: dropped as well
      drop_everything();
      return;
    }
    if (stopping) drop_backed_off(deadline);
    start_deliveries(now);
    if (stopping && idle()) return;

    ready.clear();
    ready.push_back(pollfd{link_.wake_fd(), POLLIN, 0});
    for (const auto& delivery : flights_) ready.push_back(pollfd{delivery->step.fd(), delivery->step.events(), 0});
    Clock::time_point due = next_due(now);
    if (stopping) due = std::min(due, deadline);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
    const bool may_wait = link_.about_to_wait();
    const int rc = ::poll(ready.data(), ready.size(),
                          may_wait ? static_cast<int>(std::clamp<long long>(wait + 1, 0, kIdleTurn.count())) : 0);
    link_.awake();
    if (rc < 0 && errno != EINTR) ZLOG(kLogWarning, "poll(): errno %d.\n", errno);
    if (rc > 0 && ready[0].revents != 0) wake_pending_ = true;

    // Advance every delivery with an event or whose time has come.
    const auto after = Clock::now();
    for (std::size_t i = 0; i < flights_.size(); ++i) {
      flight& delivery = *flights_[i];
      const short revents = rc > 0 && ready[i + 1].fd >= 0 ? ready[i + 1].revents : 0;
      if (revents == 0 && after < delivery.step.wake_at()) continue;
      delivery.step.advance(revents);
      if (delivery.step.finished()) step_done(delivery);
    }
    std::erase_if(flights_, [](const auto& delivery) { return !delivery->message; });
  }
}
}  // namespace

void run_message_thread(message_thread_link& link) {
  ZLOG(kLogInfo, "Starting message thread.\n");
  try {
    MessageThread thread(link);
    thread.run();
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "malloc().\n");
    std::exit(1);
  }
  ZLOG(kLogInfo, "Exiting message thread.\n");
}

int handler_step_timeout_ms() { return step_timeout_ms.load(); }

void delivery_testing::set_handler_timeout_ms(int milliseconds) {
  step_timeout_ms.store(milliseconds > 0 ? milliseconds : kHandlerWriteTimeoutSeconds * kMillisPerSecond);
}

void delivery_testing::set_backoff_ms(int milliseconds) {
  backoff_ms.store(milliseconds > 0 ? milliseconds : kHandlerBackoffSeconds * kMillisPerSecond);
}
