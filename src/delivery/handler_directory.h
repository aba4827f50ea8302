// The handler directory: how a handler name is found in the configuration
// and how its description line names endpoints. Pure text helpers, plus the
// stat that tells a program from a UNIX socket path; no connection is made.
//
// Handler description lines are configuration keys "zel_handler_" followed by
// (at most the first 117 characters of) the handler name. A line holds one or
// more endpoints separated by commas, taken exactly as written:
//   host:port       TCP (IPv4), port 1..65535 in the 8 characters after ':'
//   /path/program   an existing regular file: started for each message with
//                   the payload on its standard input
//   /path/socket    anything else without a colon: a UNIX stream socket
// Only "event_sink" fans out to every endpoint, in the order of the line;
// other handlers use the first.
//
//   std::string line;
//   if (read_handler_line(handler_key(name), &line)) {
//     handler_endpoint endpoint;
//     if (resolve_endpoint(handler_endpoint_text(line, 0), &endpoint)) ...
//   }
//
// Every function may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The key prefix and the line buffer are kKeyHandlerPrefix and
// kConfigHandlerBufferSize of config/config_keys.h.
constexpr std::size_t kHandlerNameKeyChars = 117;  // name characters used in the key
constexpr std::size_t kEndpointAddressMax = 255;   // longest endpoint address
constexpr std::size_t kUnixSocketPathMax = 107;    // longest UNIX socket path
constexpr std::size_t kPortTextChars = 8;          // port characters examined after ':'
constexpr long kPortMax = 65535;
constexpr const char* kEventSinkHandler = "event_sink";

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

// The configuration key of a handler name. Names that agree in their first
// kHandlerNameKeyChars characters share a key, and so a line.
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
// True for the one handler name that fans out to every endpoint of its line.
bool handler_fans_out(std::string_view handler_name);
// Reads the description line under `key` into `line`. False (with a DEBUG
// line) when it is missing or empty: the handler cannot be reached.
bool read_handler_line(const std::string& key, std::string* line);

// The `index`-th endpoint of the handler under `key`, its line read afresh
// (a change of the configuration is seen at the next endpoint).
enum class EndpointLookup {
  kFound,     // `endpoint` holds it, with the line's endpoint count
  kNoLine,    // no line: the handler cannot be reached
  kBeyond,    // the line has no endpoint `index` (WARNING logged)
  kRefused,   // the endpoint is refused (ERROR logged by resolve_endpoint)
};
EndpointLookup find_endpoint(const std::string& key, std::int32_t index, handler_endpoint* endpoint);
// Logs the WARNING for a handler other than "event_sink" whose line names
// `count` endpoints, when that is more than one: only the first is used.
void warn_if_several_endpoints(std::string_view handler_name, std::int32_t count);
