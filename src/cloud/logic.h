// The agent's dealings with the zelCloud and its own state:
//
// - the agent context: the one record of settings, cloud URLs, identity,
//   advisor values and carrier id that every cloud request and the broker
//   link work from;
// - the cloud requests: registration, claim status (with the retrying wait),
//   discovery and the advisor;
// - the agent state: whether the device is registered, claimed and connected,
//   kept in step with the store and reported as a JSON event to the local
//   handler "event_sink" on every change, and the service notifications sent
//   to "event_sink_<service>";
// - three switches read from the store.
//
// Usage (the agent's start-up code):
//
//   device_hardware_id = ...; device_model = ...;      // json_helper.h
//   agent_context context;
//   if (load_agent_context(context) != 0) { ... a cloud URL is missing ... }
//   init_agent_state(1);
//   if (!identity_is_valid(context.current_identity()) && register_device(context) == 0) {
//     save_identity(context.current_identity());
//     set_registered(1);
//   }
//
// Threading: the agent context is shared by the driver, the control listener,
// the discovery thread, the broker thread and the message thread. Its settings
// and URLs are written only by load_agent_context / release_agent_context,
// before and after those threads run. The identity and the carrier id are
// written and read by several threads and are reached only through the
// accessors, which take the context's own mutex. The advisor values belong to
// the broker thread (the heartbeat is atomic). The agent state has one mutex:
// each report is built and queued in the order of the calls that changed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cloud/json_helper.h"

// Results of the cloud requests (they line up with the control result codes).
constexpr int kRegisterRefusedWrongSn = -2;  // the zelCloud answered with error code 1062
constexpr int kDiscoveryBadAnswer = -5;      // "bad answer from zelCloud"
constexpr long kWrongSnErrorCode = 1062;

// Agent-state event codes: what the next report describes.
constexpr int32_t kStateEventStart = 0;
constexpr int32_t kStateEventRefresh = 1;
constexpr int32_t kStateEventRegistered = 2;
constexpr int32_t kStateEventClaimed = 3;
constexpr int32_t kStateEventConnected = 4;

// Handler names of the local side: agent-state reports go to "event_sink"
// (kEventSinkHandler, delivery/message_sender.h), service notifications to
// this prefix followed by the service name.
constexpr const char* kServiceHandlerPrefix = "event_sink_";
constexpr std::size_t kServiceNameInHandlerMax = 116;  // characters of the service kept

class agent_context {
 public:
  agent_context() = default;
  agent_context(const agent_context&) = delete;
  agent_context& operator=(const agent_context&) = delete;

  // Settings, seconds (keys zel_http_request_timeout ... zel_zelbroker_delay).
  uint32_t request_timeout = 0;   // whole-transfer limit of each HTTP request
  uint32_t connect_timeout = 0;   // connection-phase limit of each HTTP request
  uint32_t register_delay = 0;    // for the driver's registration retries
  uint32_t discovery_delay = 0;   // loaded; nothing reads it
  uint32_t claim_delay = 0;       // wait between failed claim-status requests
  uint32_t claim_check = 0;       // default length of the discovery window
  uint32_t advisor_delay = 0;     // wait after a failed advisor request
  uint32_t zelbroker_delay = 0;   // wait between zelbroker connection attempts

  // Cloud URLs: zel_register_url as stored; the other three with their
  // version suffix ("/v2", "/v3", "/v2") appended.
  std::optional<std::string> register_url;
  std::optional<std::string> claimed_url;
  std::optional<std::string> discovery_url;
  std::optional<std::string> advisor_url;

  // Advisor values (parse_advisor_reply). The keepalives are written and read
  // by the broker thread only; the heartbeat may be read by any thread.
  keepalive_values agent_keepalive;
  keepalive_values broker_keepalive;
  std::atomic<int32_t> agent_heartbeat{0};

  // A copy of the identity, taken under the context's mutex.
  identity current_identity() const;
  // Replaces the identity.
  void set_identity(identity id);
  // The carrier id sent as "X-Carrier-ID" with the advisor request, or unset.
  std::optional<std::string> carrier_id() const;
  // Replaces the carrier id (control commands: resume_connections, send_discovery).
  void set_carrier_id(std::optional<std::string> carrier);

 private:
  mutable std::mutex guard_;                // guards identity_ and carrier_id_
  identity identity_;
  std::optional<std::string> carrier_id_;
};

// --- Agent context and identity ---

// Reads the eight settings (defaults for absent keys) and the four URLs, then
// the identity (agent id and claim code from the store, hardware id copied
// from device_hardware_id). Returns 0, or -1 when a URL is missing (or too
// long to be read whole): then no URL is kept and the identity is not read.
int load_agent_context(agent_context& context);

// Clears the four URLs, the carrier id and the identity.
void release_agent_context(agent_context& context);

// Clears the identity, then reads agent id and claim code again from the store
// and copies device_hardware_id again.
void reload_identity(agent_context& context);

// The one rule for an identity the agent can use, at start (the stored one)
// and at registration (the reply's): 1 when the agent id is present, not
// empty, made only of 'A'-'Z', '0'-'9' and '-' and shorter than
// kConfigStringBufferSize, and the claim code is present, not empty, shorter
// than kConfigStringBufferSize and free of control characters (which would
// break the request headers that carry it); else 0.
int identity_is_valid(const identity& id);

// 0 for empty text, else 1 when every character is 'A'-'Z', '0'-'9' or '-'.
int id_text_is_valid(std::string_view text);

// Writes zel_agent_id and zel_agent_claim_code in one commit (an absent field
// is written as the empty value, which reads as absent), so that the stored
// identity is always whole. Returns 0, or -1 when the store refused it.
int save_identity(const identity& id);

// --- Cloud requests ---

// POSTs the registration body to the register URL. Status 201 with a complete
// reply whose identity is valid (identity_is_valid) stores the new identity
// in the context and gives 0; a refusal with error code 1062 gives
// kRegisterRefusedWrongSn (-2); anything else -1 (a reply with an identity
// that is not valid is a bad answer). The identity is neither saved nor the
// registered state changed here.
int register_device(agent_context& context);

// GETs the claimed URL. 1 claimed, 0 not claimed, -1 no usable answer.
int check_claim_status(agent_context& context);

// Repeats check_claim_status every claim delay (sleep_for, cut short by
// wake_sleepers) until it answers; sets the agent state's claimed flag when it
// differs from the answer. Returns 1 claimed or 0 not claimed; once the
// agent stops (agent_stop_requested) it gives up and returns 0 without
// touching the claimed flag.
int wait_for_claim_status(agent_context& context);

// POSTs the discovery body to
//   <discovery URL>/?i=<id or hardware id>[&e=<discovery_time>]&s=<service>
// with the query values percent-encoded. Returns 0 for status 200,
// kDiscoveryBadAnswer (-5) for any other status, or the non-zero result of
// http_post_json (-4, -7, -8 or 1).
int post_discovery(agent_context& context, const discovery_request& request);

// Looks for "X-Error-Code" and "X-Error-Message" in a raw header block and
// logs them. Returns kRegisterRefusedWrongSn (-2) when the error code is 1062
// (decimal, 0x hexadecimal or 0 octal), else -1.
int check_error_headers(std::string_view header_text);

// zel_register_aggressive_time (default 120) and zel_register_aggressive_delay
// (default 20), for the driver's registration retries.
uint32_t register_aggressive_time();
uint32_t register_aggressive_delay();

// GETs the advisor URL with "X-Carrier-ID" when the context has a carrier id,
// and reads the reply into `reply` and the context's advisor values. Returns 0
// (the caller then owns the reply's strings) or -1. Runs on the broker thread.
int request_advisor(agent_context& context, advisor_reply& reply);

// --- Agent state ---

// Sets up the state (daemon flag, own pid, registered and claimed read back
// from zel_agent_registered / zel_agent_claimed, connected 0) and sends the
// first report (event 0). Call once, before any other agent-state operation.
void init_agent_state(int32_t daemon);

// Reports the state to "event_sink" through the message queue and writes
// zel_agent_pid, zel_agent_connected (and the mirrors when the mirror is on).
void send_agent_state();

// Persists the field named by the current event: registered (event 2) to
// zel_agent_registered, claimed (event 3) to zel_agent_claimed; any other
// event logs a WARNING.
void save_agent_state();

// Each changes its field, reports (one report per change) and, for registered
// and claimed, persists it. A call that changes nothing does nothing, except
// set_claimed, which always reports and persists.
void set_registered(int32_t value);
void set_claimed(int32_t value);
void update_claimed(int32_t value);  // set_claimed only when the value differs
void set_connected(int32_t value);

// Sends the current state again with event 1.
void refresh_agent_state();

// The claimed field.
int32_t agent_claimed();

// Turns the status mirrors (store keys Registered, Claimed, Connected with
// "true"/"false") on (non-zero) or off. Off unless the driver turns it on.
void set_agent_state_mirror(int32_t mirror);

// Sends {"service": ..., "claimed": ...} to the handler "event_sink_"
// followed by the first 116 characters of `service`.
void notify_service(const std::string& service, int32_t claimed);

// --- Switches, read from the store on every call ---

uint32_t use_discovery();        // zel_use_discovery, default 0
uint32_t force_connection();     // zel_force_connection, default 0
uint32_t broker_ssl_enabled();   // zel_broker_ssl, default 1

// Seams for the tests only.
namespace logic_testing {
// Handler name that notify_service uses for `service`.
std::string service_handler_name(const std::string& service);
}  // namespace logic_testing
