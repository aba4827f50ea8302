// The agent's registration with the zelCloud, run on the start-up thread.
//
// A device whose stored identity is not valid (identity_is_valid) registers:
// register_device is tried at once and then every
// zel_register_aggressive_delay seconds during the first
// zel_register_aggressive_time seconds of the agent's life, and every
// zel_register_delay seconds after that. On success the identity is saved
// (save_identity) and the registered state set (set_registered(1)); then the
// broker link is started under the run rules (start_broker_thread_if_allowed).
// A refusal with error code 1062 means the zelCloud does not know the
// hardware id: it is logged as that and retried on the normal schedule.
//
// A device with a valid stored identity does not register again: the
// registered state is set (it normally already is) and the broker link is
// started under the run rules, on the caller's thread.
//
// Usage (the agent's entry point):
//
//   registration_thread registration;
//   registration.start(&context);         // returns at once
//   ...
//   registration.stop();                   // at shut-down
//   if (!registration.wait_finished(deadline)) ... still inside a cloud request
//
// Threading: start, stop and wait_finished are for the entry point's thread.
// The registration runs on its own thread; a retry wait is a sleep of the
// sleep gate, which stop cuts short (wake_sleepers).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class agent_context;

// Shortest wait between two attempts, whatever the settings say: a refused
// connection fails at once, and a delay of 0 would turn the retries into a
// busy loop against the zelCloud.
inline constexpr std::uint32_t kMinRegisterRetrySeconds = 1;

// Seconds to wait after a failed attempt made `elapsed_seconds` after the
// agent started: `aggressive_delay` while elapsed_seconds is below
// `aggressive_time`, else `register_delay`; never below
// kMinRegisterRetrySeconds.
std::uint32_t registration_retry_delay(std::uint64_t elapsed_seconds, std::uint32_t aggressive_time,
                                       std::uint32_t aggressive_delay, std::uint32_t register_delay);

class registration_thread {
 public:
  registration_thread() = default;
  ~registration_thread();  // stops and joins a thread still running
  registration_thread(const registration_thread&) = delete;
  registration_thread& operator=(const registration_thread&) = delete;

  // Registers when the context's identity is not valid (on a new thread,
  // returning at once); otherwise marks the device registered and starts the
  // broker link under the run rules on the calling thread. `context` must
  // outlive the thread. Returns 0, or -1 when the thread cannot be created
  // (logged).
  int start(agent_context* context);

  // Asks a running registration to end: no further attempt starts, a retry
  // wait ends at once, and an attempt under way gives up its HTTPS request
  // (within about a second, see http_helper.h). Does not wait.
  void stop();

  // Waits until the registration thread has ended, at most until `deadline`;
  // joins it and returns true when it ended (or never ran), false when it
  // still runs at the deadline (it is then left to run).
  bool wait_finished(std::chrono::steady_clock::time_point deadline);

  // True once the device is registered (by this thread or found so at start).
  bool registered() const { return registered_.load(); }

 private:
  void run(agent_context* context);

  std::atomic<bool> stopping_{false};
  std::atomic<int> keep_registering_{1};  // 0 once stopping: the thread's requests give up
  std::atomic<bool> registered_{false};
  std::mutex finished_mutex_;  // guards finished_
  std::condition_variable finished_signal_;
  bool finished_ = true;
  std::thread thread_;
};
