// Delivery of one message to one endpoint (TCP, UNIX socket or a handler
// program's standard input) as a non-blocking step machine, so that one
// thread can keep many deliveries in progress with one poll:
//
//   EndpointDelivery delivery;
//   delivery.start(endpoint, key, payload, step_ms);    // may finish at once
//   while (!delivery.finished()) {
//     pollfd ready{delivery.fd(), delivery.events(), 0};
//     poll(&ready, delivery.fd() >= 0 ? 1 : 0, ms until delivery.wake_at());
//     delivery.advance(ready.revents);
//   }
//   if (delivery.result() == DeliveryResult::kDelivered) ...
//
// Steps: connect (or start the program and wait for its exec), write the
// payload, close. Each step may go without progress for at most the step
// time given to start (kHandlerWriteTimeoutSeconds for the message thread);
// bytes written count as progress, so a handler that reads, however slowly,
// never times out. cut() ends a delivery at once (the shut-down's deadline).
// A program endpoint needs a slot of its handler (handler_programs.h): when
// none is free, start() leaves the delivery waiting_for_slot() and each
// advance() tries again; that wait has no time-out of its own.
//
// Wire format: the payload bytes, nothing else; the end of the message is the
// end of the connection (or of the program's input).
//
// One object belongs to one thread at a time.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/unique_fd.h"
#include "delivery/handler_directory.h"

// A handler step (connect, program start, write) that makes no progress for
// this long is abandoned: the message fails and its handler backs off.
constexpr int kHandlerWriteTimeoutSeconds = 10;

enum class DeliveryResult { kPending, kDelivered, kFailed, kTimedOut, kCut };

class EndpointDelivery {
 public:
  using Clock = std::chrono::steady_clock;

  // Begins the delivery of `payload` (which must outlive the delivery) to
  // `endpoint` on behalf of the handler key `owner`.
  void start(const handler_endpoint& endpoint, const std::string& owner, std::string_view payload,
             int step_ms);
  bool finished() const { return result_ != DeliveryResult::kPending; }
  DeliveryResult result() const { return result_; }
  bool waiting_for_slot() const { return state_ == State::kNeedSlot; }

  // What to poll for: a descriptor (-1: none, only the time) and its events.
  int fd() const;
  short events() const;
  // When advance must be called even without an event.
  Clock::time_point wake_at() const;
  // Moves on after a poll: `revents` of fd() (0 when only the time passed).
  void advance(short revents);
  // Ends the delivery at once with kCut (unless it has finished).
  void cut();

 private:
  enum class State { kIdle, kNeedSlot, kConnectRetry, kConnecting, kStarting, kWriting, kDone };

  void begin_socket();
  void begin_program();
  void try_unix_connect();
  void write_some();
  void finish(DeliveryResult result);
  void fail_connect(int error);
  void progressed() { deadline_ = Clock::now() + std::chrono::milliseconds(step_ms_); }

  State state_ = State::kIdle;
  DeliveryResult result_ = DeliveryResult::kPending;
  handler_endpoint endpoint_;
  std::string owner_;
  std::string_view payload_;
  std::size_t written_ = 0;
  int step_ms_ = kHandlerWriteTimeoutSeconds * 1000;
  UniqueFd fd_;      // socket, or the program's input pipe
  UniqueFd status_;  // the program's start report
  pid_t pid_ = 0;
  Clock::time_point deadline_{};
  Clock::time_point retry_at_{};
};

// Delivers one message to one endpoint and waits for the end, at most
// `step_ms` without progress per step (a program slot is waited for within
// the same bound). Returns the result; any thread.
DeliveryResult deliver_to_endpoint(const handler_endpoint& endpoint, const std::string& owner,
                                   std::string_view payload, int step_ms);
