// The JSON documents the agent exchanges with the zelCloud, and the two it
// hands to local handlers: builders that print a document and readers that
// fill plain records from a reply. Everything goes through cJSON.
//
// Usage:
//
//   std::string body = build_register_body();           // POST body
//   identity id;
//   if (parse_register_reply(reply_text, id) == 0) { ... id.agent_id ... }
//
// The readers look only at the top-level members of the reply object, in
// document order, and count a member only when it has the expected JSON type;
// unknown members are ignored. A later duplicate replaces an earlier one.
//
// Threading: every operation may be called from any thread. The builders read
// the process-wide device strings below, which the agent's start-up code sets
// before any other thread runs. The readers serialise cJSON's parse step among
// themselves (cJSON keeps its error position in one global).
//
// The control-request parser (parse_control_request and its element parsers)
// belongs to this module as well; it is declared at the end of this header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class agent_context;  // logic.h

// Process-wide device strings: set by the agent's start-up code before the
// agent context is loaded and before any request; read by the builders and
// copied into the identity by the agent context (logic.h).
extern std::string device_hardware_id;
extern std::string device_model;

// The device's identity at the zelCloud. An unset field (std::nullopt) is the
// absent value; an empty string is a present but empty one.
struct identity {
  std::optional<std::string> agent_id;
  std::optional<std::string> hardware_id;
  std::optional<std::string> claim_code;
};

// Clears all three fields.
void release_identity(identity& id);

// Claim-status reply.
struct claim_reply {
  std::optional<std::string> type;      // "_type"
  std::optional<std::string> agent_id;  // "deviceId"
  int32_t claimed = 0;                  // 0 or 1: the last boolean member of the reply
};

// Clears type and agent id.
void release_claim_reply(claim_reply& reply);

// Values of advisor_reply::action.
constexpr int32_t kAdvisorActionNone = -1;     // no known "_type" given
constexpr int32_t kAdvisorActionConnect = 0;   // "ActionConnect": connect to `broker`
constexpr int32_t kAdvisorActionWait = 1;      // "ActionWait": wait `period` seconds

// Advisor reply. The caller starts it value-initialised (every field 0 or unset).
struct advisor_reply {
  int32_t action = 0;
  std::optional<std::string> broker;  // zelbroker host
  int32_t period = 0;                 // seconds; -1 when the reply gave none
  int32_t port = 0;                   // 0 when the reply gave none
  std::optional<std::string> token;   // still base64 text
};

// Clears broker and token.
void release_advisor_reply(advisor_reply& reply);

// One discovery: built by the control-request parser and by the on_release
// command, read by the discovery scheduler and by post_discovery (logic.h).
struct discovery_request {
  std::string service;                          // required
  int32_t discovery_time = 0;                   // seconds; 0 or less: zel_claim_check
  std::optional<std::string> id;                // announced instead of the hardware id
  std::optional<std::string> discovery_data;    // extra data for the request body
  std::optional<std::string> carrier_id;
};

// Three values of a keepalive setting, in the order of the keepalive string
// ("30,5,10"). For the agent keepalive: idle seconds before the first probe,
// number of probes, seconds between probes. For the broker keepalive: sent
// unchanged to the zelbroker. Either is used only when all three are non-zero.
struct keepalive_values {
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t third = 0;
};

// Builders. Each returns the printed document (cJSON's formatted layout).
// Out of memory ends the process with status 1 after ERROR "malloc().\n".

// {"hardwareId": device_hardware_id, "model": device_model}
std::string build_register_body();

// {"_type": "Device", "_id": agent id, "hardwareId": hardware id,
//  "model": device_model [, "discoveryData": data]}
std::string build_discovery_body(const std::string& agent_id, const std::string& hardware_id,
                                 const std::optional<std::string>& discovery_data);

// {"event": n, "daemon": b, "pid": n, "registered": b, "claimed": b, "connected": b}
// A flag is true only when its value is 1.
std::string build_state_event(int32_t event, int32_t daemon, int32_t pid, int32_t registered,
                              int32_t claimed, int32_t connected);

// {"service": service, "claimed": claimed != 0}
std::string build_service_notification(const std::string& service, int32_t claimed);

// Readers. Each returns 0, or -1 for a reply that is not a JSON object with
// members or that lacks a required member (the reasons are logged).

// "deviceId" and "claimCode" (strings, both required) become the agent id and
// the claim code. The hardware id is kept, unless the reply is incomplete: then
// the whole identity is cleared (hardware id included).
int parse_register_reply(const std::string& text, identity& id);

// "_type" and "deviceId" (strings) and at least one boolean member of any name
// (the last decides `claimed`) are required. On -1 the record is left cleared.
int parse_claim_reply(const std::string& text, claim_reply& reply);

// Fills `reply` and the advisor values of `context` (keepalives, heartbeat).
// Complete when action is ActionConnect with a broker, or ActionWait with a
// period of 0 or more; otherwise -1 with broker and token cleared. Must run on
// the thread that owns the context's keepalive values (the broker thread).
int parse_advisor_reply(const std::string& text, advisor_reply& reply, agent_context& context);

// Reads "a,b,c" (fields after the third ignored) into the three outputs.
// Returns -1, leaving the outputs untouched, when `text` or an output is null
// or the text has fewer than three fields. A negative field gives 0 with a
// WARNING, a field without digits gives 0, and a field above 2147483647 gives
// 2147483647 (as strtol does where long has 32 bits).
int parse_keepalive_string(const char* text, uint32_t* first, uint32_t* second, uint32_t* third);

// ===========================================================================
// Control requests: the parser of the control texts that the control
// listener reads from local clients and that arrive from the zelbroker under
// the agent's own handler name. The records are filled here and executed by
// execute_control_request (control_listener/control_listener.h), which also
// releases them (free_control_request).
//
//   control_request request;
//   if (parse_control_request(text, request) == 0) {
//     int code = execute_control_request(request, context);
//   }
//   free_control_request(request);
//
// Threading: any thread; the parse step is serialised with the readers above.
// ===========================================================================

#include <variant>

struct cJSON;

// Kinds of control request (control_request::type).
constexpr int32_t kControlRequestNone = -1;  // nothing recognised
constexpr int32_t kControlSendDiscovery = 0;
constexpr int32_t kControlOnClaim = 1;
constexpr int32_t kControlOnRelease = 2;
constexpr int32_t kControlResumeConnections = 3;
constexpr int32_t kControlPauseConnections = 4;
constexpr int32_t kControlOnMoravault = 5;

// Payload of on_claim and on_release ("claimed") and of on_moravault
// ("registered").
struct service_request {
  std::string service;
  int32_t value = -1;  // -1 while not seen; then 0 for false, 1 for true
};

// A parsed control request. The payload is the record of its kind:
// discovery_request for kControlSendDiscovery, service_request for
// kControlOnClaim, kControlOnRelease and kControlOnMoravault, the carrier id
// (std::string) for kControlResumeConnections when one was given, nothing
// (std::monostate) otherwise. The request owns its payload.
struct control_request {
  int32_t type = kControlRequestNone;
  std::variant<std::monostate, discovery_request, service_request, std::string> payload;
};

// Parses a NUL-terminated control text into `request` (null `text`: no text).
// Any earlier payload is released and the type reset first. Returns 0 when
// the text names a known command (the first "command" string member naming
// send_discovery, on_claim, on_release, on_moravault or resume_connections
// decides, and its element parser must find the request complete; a
// pause_connections member counts unless a later one names another kind);
// -1 when the text is not JSON, the root has no members, no member names a
// known command (logged), or the request is incomplete (logged).
int parse_control_request(const char* text, control_request& request);

// Element parsers, called by parse_control_request with the parsed root. Each
// walks every member of the root, counting a member only with the JSON type
// it expects; a repeated member replaces the earlier value. Each returns 0
// and sets the request's payload, or -1 (null root, root without members,
// incomplete request: logged) leaving the payload empty.
// "service", "id", "carrier_id", "discovery_data" (strings), "discovery_time"
// (number, integer part); "service" is required.
int parse_discovery_request(control_request& request, const cJSON* root);
// "service" (string) and "claimed" (true or false), both required.
int parse_claim_request(control_request& request, const cJSON* root);
// "service" (string) and "registered" (true or false), both required.
int parse_moravault_request(control_request& request, const cJSON* root);
// "carrier_id" (string), optional; never incomplete.
int parse_carrier_request(control_request& request, const cJSON* root);
