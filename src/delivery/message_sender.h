// The message sender: messages for local handlers are queued by any thread
// and delivered, one at a time and in queuing order, by the one message
// thread; delivery looks the handler name up in the configuration and sends
// the payload to the endpoint its description line names.
//
// Usage (producers; the agent's entry point has called message_sender_init):
//
//   std::string report = build_report();
//   if (send_message("event_sink", std::move(report)) != 0) { ... dropped ... }
//
// Handler description lines are configuration keys "zel_handler_" followed by
// (at most the first 117 characters of) the handler name. A line holds one or
// more endpoints separated by commas, taken exactly as written:
//   host:port       TCP (IPv4), port 1..65535 in the 8 characters after ':'
//   /path/program   an existing regular file: started for each message with
//                   the payload on its standard input
//   /path/socket    anything else without a colon: a UNIX stream socket
// Only "event_sink" fans out to every endpoint; other handlers use the first.
//
// Wire format of a delivery: the payload bytes, nothing else; the agent
// closes the connection (or the program's standard input) after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The agent context (settings and identity record of the cloud client). The
// message sender only stores the pointer for the agent's own control requests.
class agent_context;  // cloud/logic.h

// ---------------------------------------------------------------------------
// Limits and constants of delivery.

// The key prefix and the line buffer are kKeyHandlerPrefix and
// kConfigHandlerBufferSize of config/config_keys.h.
constexpr std::size_t kHandlerNameKeyChars = 117;  // name characters used in the key
constexpr std::size_t kEndpointAddressMax = 255;   // longest endpoint address
constexpr std::size_t kUnixSocketPathMax = 107;    // longest UNIX socket path
constexpr std::size_t kPortTextChars = 8;          // port characters examined after ':'
constexpr long kPortMax = 65535;
constexpr const char* kEventSinkHandler = "event_sink";

// A handler write (socket or program pipe) that makes no progress for this
// long is abandoned, so a handler that stopped reading cannot hold the message
// thread. The same bound applies to a TCP or UNIX connect, and to the wait
// for a free handler-program slot.
constexpr int kHandlerWriteTimeoutSeconds = 10;
// After a delivery to an endpoint timed out, deliveries to that endpoint fail
// at once for this long (one WARNING per window), so that the messages of
// other handlers are not held behind a stuck one. An endpoint that answers,
// however slowly within the bound, is never suspended.
constexpr int kHandlerSuspendSeconds = 30;
// Handler programs running at once; a delivery that finds no free slot
// within kHandlerWriteTimeoutSeconds is dropped with an ERROR.
constexpr int kHandlerProgramsMax = 8;
// At a stop, programs still running get SIGTERM, and SIGKILL this much later.
constexpr int kHandlerProgramStopGraceSeconds = 3;
// A stop delivers what is queued for at most this long, then drops the rest
// with one ERROR giving their number. Shorter than the service's stop
// time-outs, which kill the agent.
constexpr int kShutdownDrainSeconds = 20;

// ---------------------------------------------------------------------------
// Handler directory and delivery. Runs on the message thread (deliveries
// never overlap); callable from any thread for tests and tools.

// One endpoint being delivered to; reset before each endpoint.
enum : std::int32_t {
  kEndpointUnresolved = -1,
  kEndpointTcp = 0,
  kEndpointProgram = 1,
  kEndpointUnixSocket = 2,
};
struct handler_endpoint {
  std::int32_t kind = kEndpointUnresolved;
  std::string address;   // host name, program path or socket path (<= 255 chars)
  std::uint16_t port = 0;  // TCP port; 0 for the other kinds
  std::int32_t count = 0;  // number of endpoints in the description line
};

// Delivers `length` bytes of `payload` (may be null when length is 0) to the
// handler `handler_name`. Returns 0 when delivered, -1 on failure. On some
// failures errno is set: EINVAL for a null handler name (or an endpoint index
// beyond a line that shrank), ENOENT when the description line is missing or
// empty. For the agent's own handler name the result is the hook's (below).
// The caller keeps ownership of name and payload.
int deliver_message(const char* handler_name, const void* payload, std::size_t length);

// Sends the payload over one new connection and closes it: TCP to the host
// `address` when `port` is non-zero, a UNIX stream socket at the path
// `address` when `port` is 0. Returns 0 or -1. Nothing is read back.
int send_to_endpoint(const char* address, std::uint16_t port, const void* payload,
                     std::size_t length);

// Pure helpers of the handler directory (no I/O), exposed for tests.
// The configuration key of a handler name.
std::string handler_key(std::string_view handler_name);
// 1 plus the number of commas of a description line.
std::int32_t handler_endpoint_count(std::string_view line);
// The `index`-th endpoint of a line (from 0), or empty when out of range.
std::string_view handler_endpoint_text(std::string_view line, std::int32_t index);
// Classifies the text of one endpoint into `endpoint` (kind, address, port):
// "host:port" is TCP, an existing regular file a program, anything else a
// UNIX socket path. Looks at the file system (stat) but opens nothing.
// Returns false after an ERROR when the endpoint is refused: bad port, or an
// address too long for its field.
bool resolve_endpoint(std::string_view text, handler_endpoint* endpoint);

// --- The agent's own handler name (control requests from the zelbroker) ---
// Called at the head of deliver_message, right after the null-name check and
// before any description line is read. When the hook recognises the handler
// name as the agent's own, it executes the payload as a control request,
// stores the delivery's result through `result` and returns true; otherwise
// it returns false and delivery goes on through the description lines.
// The control server installs it; until then every name is looked up normally.
// The hook runs on the message thread.
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
// queued, -1 when refused (sender not running, queue full: the message is
// dropped and counted). Never delivers on the calling thread: the first
// queued message starts the message thread. Any thread.
int send_message_to_queue(std::string handler_name, std::string payload);

// As send_message_to_queue with a copy of `handler_name` (the caller keeps
// its own); takes the payload. A null handler name is refused with -1.
int send_message(const char* handler_name, std::string payload);

// Stops the message sender: everything still queued is delivered first,
// within `drain_limit_ms` (deliveries under way end by then too; what is left
// at that moment is dropped with one ERROR), then the message thread ends and
// the queue is destroyed. Returns 0; -1 (nothing stopped) when called on the
// message thread itself, from a handler or the hook, which could never see
// that thread end. Call after every producer has stopped.
int message_sender_stop(int drain_limit_ms = kShutdownDrainSeconds * 1000);

// Ends the handler programs still running: SIGTERM to each one's process
// group, SIGKILL kHandlerProgramStopGraceSeconds later to those still there.
// Returns how many had to be killed. Call after message_sender_stop.
int message_sender_stop_programs();

// Reaps the handler programs that have ended (so none stays a zombie);
// returns how many still run. Any thread; the agent calls it every second.
std::size_t message_sender_reap_programs();

// Number of messages refused by a full queue since the sender was started
// (0 when it is not running). Any thread.
std::uint32_t message_sender_dropped();

namespace delivery_testing {
// Shortens (or with 0 restores) the handler write and connect bound of
// kHandlerWriteTimeoutSeconds, so tests of stalled handlers run quickly.
// Any thread.
void set_handler_timeout_ms(int milliseconds);
// Shortens (or with 0 restores) kHandlerSuspendSeconds and forgets the
// endpoints suspended so far. Any thread.
void set_suspend_seconds(int seconds);
}  // namespace delivery_testing
