// The message sender: the queue with its per-handler shares, the start and
// the stop of the message thread, its ledger, and the blocking one-message
// delivery.
//
// Sender state is one process-wide record guarded by one mutex, the pool
// lock, which producers hold while queuing and the message thread holds
// while it takes or gives back a message. The queue's own lock is always
// taken inside it. Deliveries run without any of our locks held.
#include "delivery/message_sender.h"

#include <sys/eventfd.h>
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

#include "log/log.h"

namespace {
constexpr const char* kLogModule = "message_sender";

[[noreturn]] void out_of_memory(const char* call) {
  ZLOG(kLogError, "%s\n", call);
  std::exit(1);
}

using Clock = std::chrono::steady_clock;

// What one handler holds of the queue, and its refusals not yet logged.
struct handler_share {
  std::uint32_t messages = 0;
  std::uint64_t bytes = 0;
  std::uint32_t refused_unlogged = 0;
  Clock::time_point next_log{};
  std::string name;  // for the log
};

struct sender_state {
  std::mutex lock;               // the pool lock: guards every field below
  std::condition_variable idle;  // the message thread ended
  MtQueuePtr queue;              // null before init and after stop
  UniqueFd wake;                 // eventfd: messages queued, or the stop asked
  bool thread_running = false;
  bool stop = false;
  Clock::time_point drain_deadline{};
  std::thread::id thread_id;
  std::map<std::string, handler_share> shares;  // by handler key
  // Set while the message thread waits: only then does a producer pay for
  // the write to `wake`.
  bool thread_waiting = false;
  // The ledger since init.
  std::uint32_t delivered = 0;
  std::uint32_t failed = 0;
  std::uint32_t dropped_at_stop = 0;
  std::uint32_t refused_share = 0;
};

// The state outlives static destruction on purpose: a detached message thread
// may still be inside a call when the process exits.
template <typename T>
class never_destroyed {
 public:
  never_destroyed() { new (storage_) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

sender_state& sender() {
  static never_destroyed<sender_state> instance;
  return instance.get();
}

std::atomic<own_handler_hook> own_hook{nullptr};
std::atomic<agent_context*> stored_context{nullptr};

void wake_thread(const sender_state& state) {
  const std::uint64_t one = 1;
  if (state.wake && ::write(state.wake.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
    ZLOG(kLogWarning, "write() to the message thread's wake-up: errno %d.\n", errno);
  }
}

void log_share_refusals(handler_share& share) {
  if (share.refused_unlogged == 0) return;
  ZLOG(kLogError, "Handler %s holds its share of the queue (%u messages, %u bytes): %u message(s) refused.\n",
       log_escape(share.name).c_str(), static_cast<unsigned>(kHandlerQueueShareMessages),
       static_cast<unsigned>(kHandlerQueueShareBytes), static_cast<unsigned>(share.refused_unlogged));
  share.refused_unlogged = 0;
  share.next_log = Clock::now() + std::chrono::seconds(kRefusalLogSeconds);
}

// The message thread's side of the state.
class sender_link final : public message_thread_link {
 public:
  int wake_fd() override { return sender().wake.get(); }

  // Under the pool lock, like the producers' queuing: either a producer
  // queued first and the thread sees the message, or the thread is marked
  // waiting first and the producer wakes it. No message is left behind a
  // thread asleep.
  bool about_to_wait() override {
    sender_state& state = sender();
    std::lock_guard<std::mutex> guard(state.lock);
    state.thread_waiting = true;
    return mt_queue_is_empty(state.queue.get()) != 0;
  }

  void awake() override {
    sender_state& state = sender();
    std::lock_guard<std::mutex> guard(state.lock);
    state.thread_waiting = false;
  }

  std::unique_ptr<queued_message> take() override {
    sender_state& state = sender();
    std::lock_guard<std::mutex> guard(state.lock);
    std::uint32_t held = 0;
    std::unique_ptr<queued_message> message(static_cast<queued_message*>(mt_queue_take_held(state.queue.get(), &held)));
    if (message) message->held = held;
    return message;
  }

  void done(std::unique_ptr<queued_message> message, message_outcome outcome) override {
    sender_state& state = sender();
    std::lock_guard<std::mutex> guard(state.lock);
    mt_queue_release(state.queue.get(), message->held);
    const auto share = state.shares.find(message->key);
    if (share != state.shares.end()) {
      --share->second.messages;
      share->second.bytes -= std::min<std::uint64_t>(share->second.bytes, message->held);
      if (share->second.messages == 0 && share->second.refused_unlogged == 0) state.shares.erase(share);
    }
    switch (outcome) {
      case message_outcome::kDelivered: ++state.delivered; break;
      case message_outcome::kFailed: ++state.failed; break;
      case message_outcome::kDroppedAtStop: ++state.dropped_at_stop; break;
    }
  }

  bool stopping(Clock::time_point* deadline) override {
    sender_state& state = sender();
    std::lock_guard<std::mutex> guard(state.lock);
    *deadline = state.drain_deadline;
    return state.stop;
  }
};

void message_thread() {
  sender_link link;
  run_message_thread(link);
  sender_state& state = sender();
  std::lock_guard<std::mutex> guard(state.lock);
  state.thread_running = false;
  state.idle.notify_all();
}

// Called with the pool lock held: starts the thread unless it runs.
void ensure_thread(sender_state& state) {
  ZLOG(kLogDebug, "Available threads: %d, waiting threads: %d.\n", state.thread_running ? 1 : 0, 0);
  if (state.thread_running) return;
  try {
    std::thread thread(message_thread);
    state.thread_id = thread.get_id();
    thread.detach();
    state.thread_running = true;
  } catch (const std::system_error& error) {
    // The message stays queued; the next one tries to start the thread again.
    ZLOG(kLogError, "Failed to create thread ret=%d.\n", error.code().value());
  }
}

// The ledger, once, when the sender stops.
void log_ledger(sender_state& state, std::uint32_t refused_full) {
  for (auto& [key, share] : state.shares) log_share_refusals(share);
  const std::uint64_t lost = std::uint64_t{state.failed} + state.dropped_at_stop + refused_full + state.refused_share;
  ZLOG(kLogInfo, "Local delivery: %u message(s) delivered.\n", static_cast<unsigned>(state.delivered));
  if (state.dropped_at_stop > 0) {
    ZLOG(kLogError, "%u queued message(s) dropped: not delivered within the shut-down's %d s.\n",
         static_cast<unsigned>(state.dropped_at_stop), kShutdownDrainSeconds);
  }
  if (lost > 0) {
    ZLOG(kLogError,
         "Local delivery: %llu message(s) not delivered: %u failed, %u dropped at shut-down, %u refused by a full "
         "queue, %u refused over a handler's share.\n",
         static_cast<unsigned long long>(lost), static_cast<unsigned>(state.failed),
         static_cast<unsigned>(state.dropped_at_stop), static_cast<unsigned>(refused_full),
         static_cast<unsigned>(state.refused_share));
  }
}

}  // namespace

bool call_own_handler_hook(const char* handler_name, const void* payload, std::size_t length, int* result) {
  const own_handler_hook hook = own_hook.load();
  return hook != nullptr && hook(handler_name, payload, length, result);
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
  int own_result = -1;
  if (call_own_handler_hook(handler_name, payload, length, &own_result)) return own_result;
  // ----
  if (payload == nullptr) length = 0;
  const std::string_view bytes(static_cast<const char*>(payload), length);
  const bool fan_out = handler_fans_out(handler_name);
  const std::string key = handler_key(handler_name);
  int result = -1;
  for (std::int32_t index = 0;; ++index) {
    handler_endpoint endpoint;
    switch (find_endpoint(key, index, &endpoint)) {
      case EndpointLookup::kFound: break;
      case EndpointLookup::kNoLine: errno = ENOENT; return result;
      case EndpointLookup::kBeyond: errno = EINVAL; return result;
      case EndpointLookup::kRefused: return result;
    }
    const DeliveryResult delivered =
        deliver_to_endpoint(endpoint, key, bytes, handler_step_timeout_ms());
    result = delivered == DeliveryResult::kDelivered ? 0 : -1;
    if (!fan_out) {
      warn_if_several_endpoints(handler_name, endpoint.count);
      return result;
    }
    if (index + 1 >= endpoint.count) return result;
  }
}

int send_to_endpoint(const char* address, std::uint16_t port, const void* payload, std::size_t length) {
  if (address == nullptr) {
    errno = EINVAL;
    return -1;
  }
  handler_endpoint endpoint;
  endpoint.kind = port != 0 ? kEndpointTcp : kEndpointUnixSocket;
  endpoint.address = address;
  endpoint.port = port;
  const std::string_view bytes(static_cast<const char*>(payload), payload == nullptr ? 0 : length);
  return deliver_to_endpoint(endpoint, {}, bytes, handler_step_timeout_ms()) == DeliveryResult::kDelivered
             ? 0
             : -1;
}

int message_sender_init() {
  sender_state& state = sender();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.queue) {
    ZLOG(kLogWarning, "Message sender is already running.\n");
    return -1;
  }
  state.wake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!state.wake) {
    ZLOG(kLogError, "eventfd(): errno %d.\n", errno);
    return -1;
  }
  state.stop = false;
  state.shares.clear();
  state.delivered = state.failed = state.dropped_at_stop = state.refused_share = 0;
  state.queue = mt_queue_create();
  return 0;
}

int send_message_to_queue(std::string handler_name, std::string payload) {
  std::unique_ptr<queued_message> message;
  try {
    message = std::make_unique<queued_message>();
    ZLOG(kLogDebug, "Sending message to queue.\n");
    message->key = handler_key(handler_name);
  } catch (const std::bad_alloc&) {
    out_of_memory("malloc().");
  }
  message->handler_name = std::move(handler_name);
  message->payload = std::move(payload);
  // Accounted in 64 bits; anything past 32 bits is refused by the queue anyway.
  const std::uint64_t accounted = std::uint64_t{message->payload.size()} + kQueuedMessageBytes +
                                  message->handler_name.size();
  const std::uint32_t size = accounted > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(accounted);

  sender_state& state = sender();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.queue && state.stop && !state.thread_running) {
    // The stop's message thread has ended: nobody would deliver it.
    ++state.dropped_at_stop;
    ZLOG(kLogError, "Message for %s refused: the message sender is stopping.\n",
         log_escape(message->handler_name).c_str());
    return -1;
  }
  if (state.queue) {
    handler_share& share = state.shares[message->key];
    if (share.messages >= kHandlerQueueShareMessages ||
        (share.messages > 0 && share.bytes + accounted + kQueueNodeBytes > kHandlerQueueShareBytes)) {
      ++state.refused_share;
      ++share.refused_unlogged;
      if (share.name.empty()) share.name = message->handler_name;
      if (Clock::now() >= share.next_log) log_share_refusals(share);
      return -1;
    }
  }
  if (mt_queue_enqueue(message.get(), state.queue.get(), size) != 0) {
    const auto share = state.shares.find(message->key);
    if (share != state.shares.end() && share->second.messages == 0 && share->second.refused_unlogged == 0) {
      state.shares.erase(share);
    }
    return -1;  // the record is freed on the way out
  }
  handler_share& share = state.shares[message->key];
  ++share.messages;
  share.bytes += accounted + kQueueNodeBytes;
  if (share.name.empty()) share.name = message->handler_name;
  message.release();  // the queue holds it now; the message thread frees it
  ZLOG(kLogDebug, "Added message to queue.\n");
  ensure_thread(state);
  if (state.thread_waiting) wake_thread(state);
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
  sender_state& state = sender();
  bool run_here = false;
  {
    std::unique_lock<std::mutex> guard(state.lock);
    if (state.thread_running && state.thread_id == std::this_thread::get_id()) {
      // The hook (the agent's own control requests run there) cannot wait
      // for the thread it runs on.
      ZLOG(kLogError, "message_sender_stop() called from the message thread.\n");
      return -1;
    }
    if (!state.queue) {
      mt_queue_destroy(nullptr);  // logs the stop of a sender never started
      return 0;
    }
    state.drain_deadline = Clock::now() + std::chrono::milliseconds(std::max(drain_limit_ms, 1));
    state.stop = true;
    wake_thread(state);
    // The message thread delivers what is still queued before it ends, and
    // ends by the deadline.
    state.idle.wait(guard, [&] { return !state.thread_running; });
    run_here = mt_queue_is_empty(state.queue.get()) == 0;
  }
  if (run_here) {
    // Messages left with no thread to deliver them (its start failed) are
    // delivered here, within the same deadline, rather than lost.
    sender_link link;
    run_message_thread(link);
  }
  std::lock_guard<std::mutex> guard(state.lock);
  log_ledger(state, mt_queue_get_stats(state.queue.get()).dropped);
  mt_queue_destroy(std::move(state.queue));
  state.shares.clear();
  state.wake.reset();
  return 0;
}

int message_sender_stop_programs() {
  const int killed = stop_handler_programs(std::chrono::seconds(kHandlerProgramStopGraceSeconds));
  if (killed > 0) {
    ZLOG(kLogWarning, "%d handler program(s) still ran %d s after SIGTERM: killed.\n", killed,
         kHandlerProgramStopGraceSeconds);
  }
  return killed;
}

std::size_t message_sender_reap_programs() { return reap_handler_programs(); }

std::uint32_t message_sender_dropped() {
  sender_state& state = sender();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.queue) return 0;
  return mt_queue_get_stats(state.queue.get()).dropped + state.refused_share;
}
