// The message thread: takes the queued messages, keeps them in one lane per
// handler (in the order they were queued) and keeps up to
// kDeliveriesInFlight deliveries in progress at once with one poll, at most
// one per handler, so that each handler's messages stay in order and a slow
// or stuck handler delays no other.
//
// The thread's side of the sender (message_sender.cpp) is the
// message_thread_link below; the thread calls it, never the other way round.
// Everything else here belongs to the one thread running run_message_thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Deliveries in progress at once (each to a different handler).
constexpr int kDeliveriesInFlight = 16;
// After a delivery to a handler timed out (kHandlerWriteTimeoutSeconds
// without progress), that handler's next messages wait this long in its
// lane before the next try; nothing is dropped for it.
constexpr int kHandlerBackoffSeconds = 30;

// One message from queuing until the message thread is done with it.
struct queued_message {
  std::string handler_name;
  std::string payload;     // bytes
  std::string key;         // the handler key: one lane, one share of the queue
  std::uint32_t held = 0;  // bytes the queue accounts for it (mt_queue_take_held)
};

enum class message_outcome { kDelivered, kFailed, kDroppedAtStop };

class message_thread_link {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~message_thread_link() = default;
  // Readable when messages were queued while the thread waits, or the stop
  // was asked; the thread drains it (non-blocking).
  virtual int wake_fd() = 0;
  // The thread is about to wait: from now on producers write to wake_fd.
  // False when messages are queued already (then it does not wait).
  virtual bool about_to_wait() = 0;
  // The wait is over: producers need not wake the thread.
  virtual void awake() = 0;
  // The oldest queued message, or null.
  virtual std::unique_ptr<queued_message> take() = 0;
  // The thread is done with `message`: its place in the queue is freed and
  // the outcome counted.
  virtual void done(std::unique_ptr<queued_message> message, message_outcome outcome) = 0;
  // Whether a stop was asked, and its drain deadline.
  virtual bool stopping(Clock::time_point* deadline) = 0;
};

// The thread's body: returns once a stop was asked and every message is
// done (delivered, failed, or dropped at the drain deadline). Runs the
// agent's own-handler hook (installed through set_own_handler_hook) on this
// thread.
void run_message_thread(message_thread_link& link);

// Runs the agent's own-handler hook for a message (message_sender.cpp):
// true, with the hook's result, when the name was the agent's own.
bool call_own_handler_hook(const char* handler_name, const void* payload, std::size_t length, int* result);

// The step time-out in force (kHandlerWriteTimeoutSeconds unless a test
// shortened it), in milliseconds. Any thread.
int handler_step_timeout_ms();

namespace delivery_testing {
// Shortens (or with 0 restores) kHandlerWriteTimeoutSeconds. Any thread.
void set_handler_timeout_ms(int milliseconds);
// Shortens (or with 0 restores) kHandlerBackoffSeconds. Any thread.
void set_backoff_ms(int milliseconds);
}  // namespace delivery_testing
