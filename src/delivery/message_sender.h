// The message sender: messages for local handlers are queued by any thread
// and delivered by the one message thread, several at once but each
// handler's in the order they were queued; delivery looks the handler name up
// in the configuration (handler_directory.h) and sends the payload to the
// endpoint its description line names (endpoint_delivery.h, and
// handler_programs.h for program endpoints).
//
// Usage (producers; the agent's entry point has called message_sender_init):
//
//   std::string report = build_report();
//   if (send_message("event_sink", std::move(report)) != 0) { ... refused ... }
//
// What happens to a message, and where it is counted:
//   - refused at queuing: the queue is full (kQueueMaxElements,
//     kQueueMaxBytes; mt_queue's WARNING), or its handler already holds its
//     share of the queue (kHandlerQueueShareMessages / kHandlerQueueShareBytes;
//     a rate-limited ERROR naming the handler, with a count);
//   - delivered, or failed (a refusal, an error, or a step without progress
//     for kHandlerWriteTimeoutSeconds, after which the handler backs off for
//     kHandlerBackoffSeconds while its messages wait);
//   - dropped at the stop's drain deadline (kShutdownDrainSeconds), a write in
//     progress included.
// message_sender_stop writes one ERROR with every count that is not zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "delivery/endpoint_delivery.h"
#include "delivery/handler_directory.h"
#include "delivery/handler_programs.h"
#include "delivery/message_thread.h"
#include "delivery/mt_queue.h"

// The agent context (settings and identity record of the cloud client). The
// message sender only stores the pointer for the agent's own control requests.
class agent_context;  // cloud/logic.h

// A handler may hold at most this share of the queue (waiting and being
// delivered): past it, its new messages are refused, so that a stuck handler
// cannot fill the queue for the others. A handler holding nothing may always
// queue one message (the queue's own limits still apply).
constexpr std::uint32_t kHandlerQueueShareMessages = kQueueMaxElements / 2;
constexpr std::uint32_t kHandlerQueueShareBytes = kQueueMaxBytes / 2;
// Accounted per queued message on top of its payload and handler name; the
// queue adds kQueueNodeBytes for its node.
constexpr std::uint32_t kQueuedMessageBytes = 12;
// Refusals over a handler's share are logged at most once per this time
// per handler, with their number; what is left is logged at the stop.
constexpr int kRefusalLogSeconds = 10;
// A stop delivers what is queued for at most this long, then cuts what is in
// progress and drops the rest with one ERROR giving their number. Shorter
// than the service's stop time-outs, which kill the agent.
constexpr int kShutdownDrainSeconds = 20;

// ---------------------------------------------------------------------------
// Delivery of one message, blocking (tests and tools; the message thread uses
// the same steps without blocking).

// Delivers `length` bytes of `payload` (may be null when length is 0) to the
// handler `handler_name`, waiting at most kHandlerWriteTimeoutSeconds without
// progress per step. Returns 0 when delivered, -1 on failure. On some
// failures errno is set: EINVAL for a null handler name (or an endpoint index
// beyond a line that shrank), ENOENT when the description line is missing or
// empty. For the agent's own handler name the result is the hook's (below).
// The caller keeps ownership of name and payload. Any thread.
int deliver_message(const char* handler_name, const void* payload, std::size_t length);

// Sends the payload over one new connection and closes it: TCP to the host
// `address` when `port` is non-zero, a UNIX stream socket at the path
// `address` when `port` is 0. Returns 0 or -1. Nothing is read back.
int send_to_endpoint(const char* address, std::uint16_t port, const void* payload,
                     std::size_t length);

// --- The agent's own handler name (control requests from the zelbroker) ---
// Called at the head of every delivery, before any description line is read.
// When the hook recognises the handler name as the agent's own, it executes
// the payload as a control request, stores the delivery's result through
// `result` and returns true; otherwise it returns false and delivery goes on
// through the description lines. It runs on the message thread and must be
// quick (or bounded): the other handlers' deliveries wait meanwhile.
using own_handler_hook = bool (*)(const char* handler_name, const void* payload,
                                  std::size_t length, int* result);
// Installs (or with nullptr removes) the hook. Any thread.
void set_own_handler_hook(own_handler_hook hook);

// The agent context stored by the broker thread when it starts, for control
// requests addressed to the agent itself; null until stored. Any thread.
void message_sender_set_agent_context(agent_context* context);
agent_context* message_sender_agent_context();

// ---------------------------------------------------------------------------
// Message queue and message thread.

// Starts the message sender: creates the queue. Returns 0, or -1 when it is
// already running (the running queue is kept). Call before any producer.
int message_sender_init();

// Queues a message for `handler_name`; takes ownership of name and payload in
// every case (pass them with std::move: the caller's strings are left empty).
// The payload is bytes (it may contain NULs, it may be empty). Returns 0 when
// queued, -1 when refused (sender not running, queue full, the handler over
// its share: the message is dropped and counted). Never delivers on the
// calling thread: the first queued message starts the message thread. Any
// thread.
int send_message_to_queue(std::string handler_name, std::string payload);

// As send_message_to_queue with a copy of `handler_name` (the caller keeps
// its own); takes the payload. A null handler name is refused with -1.
int send_message(const char* handler_name, std::string payload);

// Stops the message sender: everything still queued is delivered first,
// within `drain_limit_ms` (writes in progress are cut at that moment too,
// and what is left is dropped with one ERROR), then the message thread ends,
// the counts of what was not delivered are logged and the queue is
// destroyed. Returns 0; -1 (nothing stopped) when called on the message
// thread itself, from the hook, which could never see that thread end. Call
// after every producer has stopped.
int message_sender_stop(int drain_limit_ms = kShutdownDrainSeconds * 1000);

// Ends the handler programs and everything they started: SIGTERM, SIGKILL
// kHandlerProgramStopGraceSeconds later to what is still there. Returns how
// many had to be killed. Call after message_sender_stop.
int message_sender_stop_programs();

// Reaps the handler programs and descendants that have ended (so none stays
// a zombie); returns how many still run. Any thread.
std::size_t message_sender_reap_programs();

// Number of messages refused at queuing (full queue or over a handler's
// share) since the sender was started (0 when it is not running). Any thread.
std::uint32_t message_sender_dropped();
