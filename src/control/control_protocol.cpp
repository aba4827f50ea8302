// The control result table, the reply text and the request texts shared by
// the control tool and the control listener.
#include "control/control_protocol.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

// One row of the control result table. `exit_status` is the status the
// control tool ends with: the code itself (a shell sees its low 8 bits).
struct control_result_row {
  std::int32_t code;
  std::int32_t exit_status;
  const char* message;
};

constexpr std::array<control_result_row, 12> kResultTable = {{
    {kResultOk, kResultOk, "OK."},
    {kResultBusy, kResultBusy, "zelAgent is busy. Please try again later."},
    {kResultCommunication, kResultCommunication, "zelAgent communication problem"},
    {kResultConnectTimeout, kResultConnectTimeout, "connect timeout"},
    {kResultTransferTimeout, kResultTransferTimeout, "transfer timeout"},
    {kResultBadAnswer, kResultBadAnswer, "bad answer from zelCloud"},
    {kResultBadRequest, kResultBadRequest, "bad request"},
    {kResultCannotResolve, kResultCannotResolve, "cannot resolve zelcloud address"},
    {kResultConnectionRefused, kResultConnectionRefused, "cannot connect to zelcloud - connection refused"},
    {kResultNoDiscoveryService, kResultNoDiscoveryService, "please provide discovery service id during start up"},
    {kResultWouldBlock, kResultWouldBlock, "cannot make request - one of operations would block"},
    {kResultSameSettings, kResultSameSettings, "cannot update settings - the same settings are already present"},
}};

constexpr int kUnknownResultStatus = 1;
constexpr const char* kReplyFormat = "{\"result\":%d}";
// At most 8 characters for the number, so the scan can never overflow an int.
constexpr const char* kReplyScanFormat = "{\"result\":%8d}";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends a string member ,"key":"escaped value" to `out`.
void append_string_member(std::string& out, const char* key, std::string_view value) {
  out += ",\"";
  out += key;
  out += "\":\"";
  out += json_escape(value);
  out += '"';
}

std::string command_head(const char* command) {
  std::string out = "{\"command\":\"";
  out += command;
  out += '"';
  return out;
}

int finish(std::string&& text, std::size_t limit, std::string* out) {
  if (text.size() > limit) return -1;
  *out = std::move(text);
  return 0;
}

// {"command":"<command>","service":"S","<key>": <value> }
int build_service_request(const char* command, std::string_view service, const char* key,
                          std::string_view value, std::string* out) {
  if (!is_json_boolean(value)) return -1;
  std::string text = command_head(command);
  append_string_member(text, kMemberService, service);
  text += ",\"";
  text += key;
  text += "\": ";
  text += value;
  text += " }";
  return finish(std::move(text), kShortRequestMaxLength, out);
}

}  // namespace

int lookup_result(std::int32_t code, std::int32_t* exit_status, const char** message) {
  for (const control_result_row& row : kResultTable) {
    if (row.code != code) continue;
    if (exit_status != nullptr) *exit_status = row.exit_status;
    if (message != nullptr) *message = row.message;
    return 0;
  }
  return -1;
}

void exit_with_result(std::int32_t code) {
  std::int32_t status = 0;
  if (lookup_result(code, &status, nullptr) != 0) {
    std::printf("Unknown error.\n");
    std::exit(kUnknownResultStatus);
  }
  std::printf("{\"result\":%d}\n", static_cast<int>(status));
  std::exit(static_cast<int>(status));
}

std::string format_reply(std::int32_t code) {
  char text[kReplyBufferSize];
  int length = std::snprintf(text, sizeof text, kReplyFormat, static_cast<int>(code));
  return std::string(text, static_cast<std::size_t>(length));
}

std::int32_t parse_reply(const char* reply) {
  int code = 0;
  if (reply == nullptr || std::sscanf(reply, kReplyScanFormat, &code) != 1) return 0;
  return static_cast<std::int32_t>(code);
}

namespace {

bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The length of the valid JSON escape sequence at the start of `text` (which
// begins with a backslash), or 0 when it starts none.
std::size_t escape_length(std::string_view text) {
  if (text.size() < 2) return 0;
  switch (text[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return 2;
    case 'u':
      return text.size() >= 6 && std::all_of(text.begin() + 2, text.begin() + 6, is_hex_digit) ? 6 : 0;
    default:
      return 0;
  }
}

}  // namespace

std::string json_escape(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\':
        if (const std::size_t kept = escape_length(value.substr(i))) {
          out.append(value.substr(i, kept));
          i += kept - 1;
        } else {
          out += "\\\\";
        }
        break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          unsigned char byte = static_cast<unsigned char>(c);
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

bool is_json_boolean(std::string_view value) { return value == "true" || value == "false"; }

bool discovery_time_is_accepted(std::string_view value) {
  // As the agent's JSON reader reads a member's value: blanks (any byte up
  // to the space), then a number that starts with '-' or a digit and is
  // read by strtod from the run of number characters; then blanks up to the
  // end of the value.
  auto blank = [](char c) { return c != '\0' && static_cast<unsigned char>(c) <= ' '; };
  auto number_char = [](char c) {
    return is_digit(c) || c == '+' || c == '-' || c == 'e' || c == 'E' || c == '.';
  };
  std::size_t i = 0;
  while (i < value.size() && blank(value[i])) ++i;
  if (i >= value.size() || !(value[i] == '-' || is_digit(value[i]))) return false;
  std::size_t run_end = i;
  while (run_end < value.size() && number_char(value[run_end])) ++run_end;
  const std::string run(value.substr(i, run_end - i));
  char* end = nullptr;
  static_cast<void>(std::strtod(run.c_str(), &end));
  const std::size_t used = static_cast<std::size_t>(end - run.c_str());
  if (used == 0) return false;
  i += used;
  while (i < value.size() && blank(value[i])) ++i;
  return i == value.size();
}

int build_send_discovery_request(const discovery_request_args& args, std::string* out) {
  if (args.discovery_time && !discovery_time_is_accepted(*args.discovery_time)) return -1;
  std::string text = command_head(kCommandSendDiscovery);
  append_string_member(text, kMemberService, args.service);

  // Each optional fragment has its own limit besides the limit of the whole.
  auto append_fragment = [&text](std::string&& fragment) {
    if (fragment.size() > kDiscoveryFragmentMaxLength) return false;
    text += fragment;
    return true;
  };
  if (args.discovery_time &&
      !append_fragment(std::string(",\"") + kMemberDiscoveryTime + "\":" + *args.discovery_time)) {
    return -1;
  }
  const std::pair<const char*, const std::optional<std::string>*> strings[] = {
      {kMemberId, &args.id},
      {kMemberCarrierId, &args.carrier_id},
      {kMemberDiscoveryData, &args.discovery_data},
  };
  for (const auto& [key, value] : strings) {
    if (!*value) continue;
    std::string fragment;
    append_string_member(fragment, key, **value);
    if (!append_fragment(std::move(fragment))) return -1;
  }
  text += '}';
  return finish(std::move(text), kDiscoveryRequestMaxLength, out);
}

int build_claim_request(const char* command, std::string_view service, std::string_view claimed,
                        std::string* out) {
  return build_service_request(command, service, kMemberClaimed, claimed, out);
}

int build_moravault_request(std::string_view service, std::string_view registered, std::string* out) {
  return build_service_request(kCommandOnMoravault, service, kMemberRegistered, registered, out);
}

int build_pause_request(std::string* out) {
  return finish(command_head(kCommandPauseConnections) + "}", kShortRequestMaxLength, out);
}

int build_resume_request(const std::optional<std::string>& carrier_id, std::string* out) {
  std::string text = command_head(kCommandResumeConnections);
  if (carrier_id) append_string_member(text, kMemberCarrierId, *carrier_id);
  text += '}';
  return finish(std::move(text), kShortRequestMaxLength, out);
}
