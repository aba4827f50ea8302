// The control protocol: the one place where the local request/response
// exchange between zelagent_control (the client) and the agent's control
// listener (the server) is defined.
//
//   client                                   server (127.0.0.1:14369)
//   connect ------------------------------->  accept
//   {"command":"pause_connections"}  ------>  read to the end of the stream
//   shutdown(SHUT_WR) ---------------------->  (end of stream)
//   recv (once, at most 255 bytes)  <-------  {"result":0}   (no newline)
//                                   <-------  close
//
// One JSON request per connection, no length prefix and no terminator: the
// client's half-close ends the request. The reply carries a control result
// code that is also the control tool's exit status.
//
// Usage (client side):
//
//   std::string text;
//   if (build_claim_request(kCommandOnClaim, service, "true", &text) != 0) ...
//   ... exchange ...
//   exit_with_result(parse_reply(reply));
//
// Everything here is pure except exit_with_result; any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Transport.
constexpr const char* kControlHost = "127.0.0.1";
constexpr std::uint16_t kControlPort = 14369;
// The client reads the reply once into a buffer of this size (at most 255
// bytes plus the terminator).
constexpr std::size_t kReplyBufferSize = 256;

// Control result codes (the rows of the control result table).
enum : std::int32_t {
  kResultOk = 0,
  kResultBusy = -1,               // server: unparsable request, or no identity yet
  kResultCommunication = -2,      // client: no socket, no address, no connection
  kResultConnectTimeout = -3,     // no producer in this system
  kResultTransferTimeout = -4,    // send_discovery: HTTP request timed out
  kResultBadAnswer = -5,          // send_discovery: cloud answered other than 200
  kResultBadRequest = -6,         // client: incomplete or unknown command line
  kResultCannotResolve = -7,      // send_discovery: cloud host did not resolve
  kResultConnectionRefused = -8,  // send_discovery: cloud connection failed
  kResultNoDiscoveryService = -9, // a discovery push without a request
  kResultWouldBlock = -10,        // send_discovery / on_release while paused
  kResultSameSettings = -11,      // no producer in this system
};

// Finds the row of `code` (first match in table order), stores its exit
// status and message (static text; either pointer may be null) and returns 0.
// Returns -1 and stores nothing when the code is not in the table.
int lookup_result(std::int32_t code, std::int32_t* exit_status, const char** message);

// Does not return. For a code in the table: prints "{\"result\":%d}\n" with
// the row's exit status on standard output and ends the process with that
// status. For any other code: prints "Unknown error.\n" and ends with status 1.
[[noreturn]] void exit_with_result(std::int32_t code);

// Reply text "{\"result\":%d}" without a newline, as the server writes it.
std::string format_reply(std::int32_t code);

// Reads a reply the way the client does: the scan "{\"result\":%8d}" on the
// NUL-terminated text; 0 when the reply is empty or does not match.
std::int32_t parse_reply(const char* reply);

// Command names and member keys of the requests.
constexpr const char* kCommandSendDiscovery = "send_discovery";
constexpr const char* kCommandOnClaim = "on_claim";
constexpr const char* kCommandOnRelease = "on_release";
constexpr const char* kCommandOnMoravault = "on_moravault";
constexpr const char* kCommandPauseConnections = "pause_connections";
constexpr const char* kCommandResumeConnections = "resume_connections";

constexpr const char* kMemberCommand = "command";
constexpr const char* kMemberService = "service";
constexpr const char* kMemberDiscoveryTime = "discovery_time";
constexpr const char* kMemberId = "id";
constexpr const char* kMemberCarrierId = "carrier_id";
constexpr const char* kMemberDiscoveryData = "discovery_data";
constexpr const char* kMemberClaimed = "claimed";
constexpr const char* kMemberRegistered = "registered";

// Limits of the request texts the client writes (characters, without the
// terminator). A text over its limit is refused, never cut off.
constexpr std::size_t kDiscoveryRequestMaxLength = 2047;   // whole send_discovery request
constexpr std::size_t kDiscoveryFragmentMaxLength = 1023;  // each optional fragment
constexpr std::size_t kShortRequestMaxLength = 255;        // every other request

// `value` as the characters of a JSON string body. A valid JSON escape
// sequence already in the value (\" \\ \/ \b \f \n \r \t \uXXXX) passes
// unchanged, so that scripts that escaped their values themselves keep
// working; a bare '"', a backslash that starts no valid escape, and control
// characters (as \b \f \n \r \t or \u00XX) are escaped; every other byte
// (UTF-8 included) is unchanged.
std::string json_escape(std::string_view value);

// True for the two JSON literals "true" and "false" (the claimed and
// registered values).
bool is_json_boolean(std::string_view value);

// True when the agent reads `value`, written unquoted as the value of
// "discovery_time", as a number; false for exactly the values it would
// refuse. Blanks around the number are allowed, and so is what strtod reads
// in the C locale from the run of number characters ('0'-'9', '+', '-', 'e',
// 'E', '.'), as long as the number starts with '-' or a digit and nothing
// but blanks follows it: "010", "5.", " 5", "1e3", "2.5", "-1", "-.5" and
// "99999999999" pass; "", "junk", "+5", ".5", "1e", "0x10", "5 6" and
// "5,\"id\":\"x\"" (other members) do not.
bool discovery_time_is_accepted(std::string_view value);

// The arguments of a send_discovery request; an empty optional is a member
// that is not given.
struct discovery_request_args {
  std::string service;
  std::optional<std::string> discovery_time;  // written unquoted (discovery_time_is_accepted)
  std::optional<std::string> id;
  std::optional<std::string> carrier_id;
  std::optional<std::string> discovery_data;
};

// Request builders. Each writes the request text into `*out` and returns 0,
// or returns -1 and leaves `*out` unchanged when a value is invalid (a
// discovery time the agent would not read as a number, a boolean other than
// true or false) or the text would exceed its limit. String values are JSON-escaped.
//
// {"command":"send_discovery","service":"S"[,"discovery_time":T][,"id":"I"]
//   [,"carrier_id":"C"][,"discovery_data":"D"]}
int build_send_discovery_request(const discovery_request_args& args, std::string* out);
// {"command":"<command>","service":"S","claimed": <value> }  (note the blanks)
// `command` is kCommandOnClaim or kCommandOnRelease.
int build_claim_request(const char* command, std::string_view service, std::string_view claimed,
                        std::string* out);
// {"command":"on_moravault","service":"S","registered": <value> }
int build_moravault_request(std::string_view service, std::string_view registered, std::string* out);
// {"command":"pause_connections"}
int build_pause_request(std::string* out);
// {"command":"resume_connections"} or {"command":"resume_connections","carrier_id":"C"}
int build_resume_request(const std::optional<std::string>& carrier_id, std::string* out);
