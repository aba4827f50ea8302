// The agent context, the cloud requests (registration, claim status,
// discovery, advisor), the agent state with its reports, and the switches.
//
// The agent state is one record guarded by state_mutex. A change, its report
// and its store writes happen under that mutex, so reports leave in the order
// of the changes and each carries the event of its own change. Lock order:
// state_mutex, then the message sender's locks (send_message), then the
// Logger's. The request mutex of the HTTP client is never taken under
// state_mutex.
#include "cloud/logic.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "cloud/http_helper.h"
#include "config/config.h"
#include "daemon/daemon.h"
#include "delivery/message_sender.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "logic";

// The cloud URLs are read into a buffer far larger than any URL of the key
// table, so that a stored URL is never cut; a value that fills it is refused.
constexpr std::size_t kUrlReadBufferSize = 4096;

constexpr long kHttpCreated = 201;
constexpr long kHttpOkStatus = 200;

constexpr const char* kErrorCodeHeader = "X-Error-Code";
constexpr const char* kErrorMessageHeader = "X-Error-Message";
// The value starts this many characters after the header name ("X-Error-Code: ").
constexpr std::size_t kErrorCodeValueOffset = 14;
constexpr int kStrtolAnyBase = 0;

constexpr const char* kCarrierHeaderPrefix = "X-Carrier-ID: ";

const char* text_or_null(const std::optional<std::string>& text) {
  return text ? text->c_str() : "(null)";
}

int32_t seconds_for_sleep(uint32_t seconds) {
  return seconds > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(seconds);
}

// Reads one cloud URL and appends its suffix; nullopt when it is missing or
// does not fit the read buffer.
std::optional<std::string> read_url(const char* key, const char* suffix) {
  std::vector<char> buffer(kUrlReadBufferSize, '\0');
  if (config_get(key, buffer.data(), buffer.size()) != 0) return std::nullopt;
  std::string url(buffer.data());
  if (url.size() >= kUrlReadBufferSize - 1) {
    ZLOG(kLogError, "URL in %s is too long.\n", key);
    return std::nullopt;
  }
  return url + suffix;
}

identity identity_from_store() {
  identity id;
  id.agent_id = config_get_string(kKeyAgentId);
  id.hardware_id = device_hardware_id;
  id.claim_code = config_get_string(kKeyAgentClaimCode);
  return id;
}

bool id_character_is_valid(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'; }

// Case-insensitive search: header names are case-insensitive on the wire (and
// lower case over HTTP/2).
std::size_t find_header_name(std::string_view text, std::string_view name) {
  auto equal = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  auto it = std::search(text.begin(), text.end(), name.begin(), name.end(), equal);
  return it == text.end() ? std::string_view::npos : static_cast<std::size_t>(it - text.begin());
}

// Logs the line of `name` when it is there with a CR after it; returns the
// offset of the name and of the CR, or nullopt.
std::optional<std::pair<std::size_t, std::size_t>> log_error_header(std::string_view text, std::string_view name) {
  std::size_t start = find_header_name(text, name);
  if (start == std::string_view::npos) return std::nullopt;
  std::size_t cr = text.find('\r', start);
  if (cr == std::string_view::npos) return std::nullopt;
  ZLOG(kLogError, "Found error header: %s.\n", log_escape(text.substr(start, cr - start)).c_str());
  return std::make_pair(start, cr);
}

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

std::string url_encode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

// --- Agent state ---

struct agent_state_record {
  int32_t event = 0;
  int32_t daemon = 0;
  int32_t pid = 0;
  int32_t registered = 0;
  int32_t claimed = 0;
  int32_t connected = 0;
  int32_t mirror = 0;
};

std::mutex state_mutex;     // guards state
agent_state_record state;

const char* status_text(int32_t value) { return value != 0 ? kStatusTrue : kStatusFalse; }
const char* flag_text(int32_t value) { return value != 0 ? kFlagOn : kFlagOff; }

int32_t own_pid() { return static_cast<int32_t>(::getpid()); }

// Both run with state_mutex held.
void send_state_locked() {
  std::string report = build_state_event(state.event, state.daemon, state.pid, state.registered, state.claimed,
                                         state.connected);
  if (state.mirror != 0) {
    config_set(kKeyStatusRegistered, status_text(state.registered));
    config_set(kKeyStatusClaimed, status_text(state.claimed));
    config_set(kKeyStatusConnected, status_text(state.connected));
  }
  config_set(kKeyAgentPid, std::to_string(own_pid()).c_str());
  config_set(kKeyAgentConnected, flag_text(state.connected));
  ZLOG_STATE_EVENT("%s\n", state.connected != 0 ? "connected" : "disconnected");
  ZLOG(kLogDebug, "'%s'\n", report.c_str());
  if (send_message(kEventSinkHandler, std::move(report)) == -1) {
    ZLOG(kLogError, "cannot send zelagent state.\n");
  } else {
    ZLOG(kLogDebug, "zelagent state was sent.\n");
  }
}

void save_state_locked() {
  switch (state.event) {
    case kStateEventRegistered:
      config_set(kKeyAgentRegistered, state.registered == 1 ? kFlagOn : kFlagOff);
      break;
    case kStateEventClaimed:
      config_set(kKeyAgentClaimed, state.claimed == 1 ? kFlagOn : kFlagOff);
      break;
    default:
      ZLOG(kLogWarning, "Tried to save not supported value.\n");
      break;
  }
}

void set_claimed_locked(int32_t value) {
  if (state.mirror != 0) config_set(kKeyStatusClaimed, status_text(value));
  state.claimed = value;
  state.event = kStateEventClaimed;
  send_state_locked();
  save_state_locked();
}

std::string service_handler(const std::string& service) {
  return kServiceHandlerPrefix + service.substr(0, kServiceNameInHandlerMax);
}

}  // namespace

// --- Agent context ---

identity agent_context::current_identity() const {
  std::lock_guard<std::mutex> lock(guard_);
  return identity_;
}

void agent_context::set_identity(identity id) {
  std::lock_guard<std::mutex> lock(guard_);
  identity_ = std::move(id);
}

std::optional<std::string> agent_context::carrier_id() const {
  std::lock_guard<std::mutex> lock(guard_);
  return carrier_id_;
}

void agent_context::set_carrier_id(std::optional<std::string> carrier) {
  std::lock_guard<std::mutex> lock(guard_);
  carrier_id_ = std::move(carrier);
}

int load_agent_context(agent_context& context) {
  context.request_timeout = config_get_uint32_default(kKeyHttpRequestTimeout, kDefaultHttpRequestTimeout);
  context.connect_timeout = config_get_uint32_default(kKeyHttpConnectTimeout, kDefaultHttpConnectTimeout);
  context.register_delay = config_get_uint32_default(kKeyRegisterDelay, kDefaultRegisterDelay);
  context.discovery_delay = config_get_uint32_default(kKeyDiscoveryDelay, kDefaultDiscoveryDelay);
  context.claim_delay = config_get_uint32_default(kKeyClaimDelay, kDefaultClaimDelay);
  context.claim_check = config_get_uint32_default(kKeyClaimCheck, kDefaultClaimCheck);
  context.advisor_delay = config_get_uint32_default(kKeyAdvisorDelay, kDefaultAdvisorDelay);
  context.zelbroker_delay = config_get_uint32_default(kKeyZelbrokerDelay, kDefaultZelbrokerDelay);

  context.register_url = read_url(kKeyRegisterUrl, "");
  if (context.register_url) context.claimed_url = read_url(kKeyClaimedUrl, kClaimedUrlSuffix);
  if (context.claimed_url) context.discovery_url = read_url(kKeyDiscoveryUrl, kDiscoveryUrlSuffix);
  if (context.discovery_url) context.advisor_url = read_url(kKeyAdvisorUrl, kAdvisorUrlSuffix);
  if (!context.register_url || !context.claimed_url || !context.discovery_url || !context.advisor_url) {
    context.register_url.reset();
    context.claimed_url.reset();
    context.discovery_url.reset();
    context.advisor_url.reset();
    return -1;
  }
  context.set_identity(identity_from_store());
  return 0;
}

void release_agent_context(agent_context& context) {
  context.register_url.reset();
  context.claimed_url.reset();
  context.discovery_url.reset();
  context.advisor_url.reset();
  context.set_carrier_id(std::nullopt);
  context.set_identity(identity{});
}

void reload_identity(agent_context& context) { context.set_identity(identity_from_store()); }

int id_text_is_valid(std::string_view text) {
  if (text.empty()) return 0;
  return std::all_of(text.begin(), text.end(), id_character_is_valid) ? 1 : 0;
}

int identity_is_valid(const identity& id) {
  if (!id.agent_id || !id.claim_code) return 0;
  // Longer than the store's string readers take, it would be read back cut.
  if (id.agent_id->size() >= kConfigStringBufferSize || id.claim_code->empty() ||
      id.claim_code->size() >= kConfigStringBufferSize) {
    return 0;
  }
  // A control character would break the request headers that carry it.
  const bool code_is_clean = std::none_of(id.claim_code->begin(), id.claim_code->end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  return code_is_clean ? id_text_is_valid(*id.agent_id) : 0;
}

int save_identity(const identity& id) {
  const std::string agent_id = id.agent_id.value_or("");
  const std::string claim_code = id.claim_code.value_or("");
  const config_setting settings[] = {{kKeyAgentId, agent_id.c_str()}, {kKeyAgentClaimCode, claim_code.c_str()}};
  return config_set_together(settings, std::size(settings));
}

// --- Cloud requests ---

int register_device(agent_context& context) {
  std::string body = build_register_body();
  std::string url = context.register_url.value_or("");
  ZLOG(kLogDebug, "register_url='%s'\n", log_escape(url).c_str());
  ZLOG(kLogDebug, "created json registerPostData='%s'\n", log_escape(body).c_str());

  long status = 0;
  http_buffer header;
  http_buffer reply;
  if (http_post_json(url, context, body, status, header, reply) != kHttpOk) {
    ZLOG(kLogError, "Can't' make register request.\n");
    return -1;
  }
  if (status != kHttpCreated) {
    ZLOG(kLogError, "Invalid http code '%ld' from server.\n", status);
    return check_error_headers(header);
  }
  identity id = context.current_identity();
  int parsed = parse_register_reply(reply, id);
  if (parsed == 0 && identity_is_valid(id) == 0) {
    // Stored, it would be refused at the next start (and the device
    // registered again on every start), or break every later request.
    ZLOG(kLogError, "Register reply with an identity the agent cannot use (device id '%s'): refused.\n",
         log_escape(id.agent_id.value_or(std::string())).c_str());
    release_identity(id);
    parsed = -1;
  }
  context.set_identity(id);  // a bad reply leaves it cleared
  if (parsed != 0) {
    ZLOG(kLogError, "Can't parse register reply: http code:'%ld'\nHeader:'%s'\nBody:'%s'\n", status,
         log_escape(header).c_str(), log_escape(reply).c_str());
    return -1;
  }
  ZLOG(kLogDebug, "Registered with: id='%s', hardwareId='%s', claimCode='%s'\n",
       log_escape(text_or_null(id.agent_id)).c_str(), log_escape(text_or_null(id.hardware_id)).c_str(),
       log_escape(text_or_null(id.claim_code)).c_str());
  return 0;
}

int check_claim_status(agent_context& context) {
  std::string url = context.claimed_url.value_or("");
  ZLOG(kLogDebug, "claimed_url='%s'\n", log_escape(url).c_str());
  long status = 0;
  http_buffer header;
  http_buffer reply;
  if (http_get(url, context, status, header, reply) != 0) {
    ZLOG(kLogError, "Can't' make claim request.\n");
    return -1;
  }
  if (status != kHttpOkStatus && status != kHttpCreated) {
    ZLOG(kLogError, "Invalid http code '%ld' from server.\n", status);
    check_error_headers(header);
    return -1;
  }
  claim_reply answer;
  if (parse_claim_reply(reply, answer) != 0) {
    ZLOG(kLogError, "Failed to parse reply.\n");
    return -1;
  }
  int claimed = answer.claimed != 0 ? 1 : 0;
  if (claimed) {
    ZLOG(kLogDebug, "Claimed.!\n");
  } else {
    ZLOG(kLogDebug, "Not claimed yet.\n");
  }
  release_claim_reply(answer);
  return claimed;
}

int wait_for_claim_status(agent_context& context) {
  int answer = check_claim_status(context);
  while (answer == -1) {
    // No answer is no news: the claimed state stays as it is.
    if (agent_stop_requested()) return 0;
    ZLOG(kLogWarning, "Failed to get claim status. Sleeping for %d secs.\n", static_cast<int>(context.claim_delay));
    sleep_for(seconds_for_sleep(context.claim_delay));
    answer = check_claim_status(context);
  }
  if (answer == 0) {
    ZLOG(kLogInfo, "Device is not claimed.\n");
  } else {
    identity id = context.current_identity();
    ZLOG(kLogInfo, "Device is claimed: id='%s', hardwareId='%s', claimCode='%s'.\n",
         log_escape(text_or_null(id.agent_id)).c_str(), log_escape(text_or_null(id.hardware_id)).c_str(),
         log_escape(text_or_null(id.claim_code)).c_str());
  }
  update_claimed(answer);
  return answer;
}

int post_discovery(agent_context& context, const discovery_request& request) {
  identity id = context.current_identity();
  if (!id.agent_id) {
    ZLOG(kLogError, "Cannot post discovery before registration.\n");
    return -1;
  }
  std::string hardware_id = id.hardware_id.value_or("");
  std::string body = build_discovery_body(*id.agent_id, hardware_id, request.discovery_data);
  ZLOG(kLogDebug, "created json discoveryPostData='%s'\n", log_escape(body).c_str());

  // Query values are percent-encoded: a service or id with '&', '#', blanks
  // or non-ASCII text must not address another request.
  const std::string& identifier = request.id ? *request.id : hardware_id;
  std::string url = context.discovery_url.value_or("") + "/?i=" + url_encode(identifier);
  if (request.discovery_time > 0) url += "&e=" + std::to_string(request.discovery_time);
  url += "&s=" + url_encode(request.service);
  ZLOG(kLogDebug, "discovery_url='%s'\n", log_escape(url).c_str());

  long status = 0;
  http_buffer header;
  http_buffer reply;
  int rc = http_post_json(url, context, body, status, header, reply);
  if (rc != kHttpOk) {
    ZLOG(kLogError, "Can't' make discovery request.\n");
    return rc;
  }
  ZLOG(kLogDebug, "http code:'%ld'\n", status);
  if (status == kHttpOkStatus) {
    ZLOG(kLogDebug, "Discover OK!.\n");
    return 0;
  }
  ZLOG(kLogError, "Invalid http code '%ld' from server.\n", status);
  check_error_headers(header);
  return kDiscoveryBadAnswer;
}

int check_error_headers(std::string_view header_text) {
  int result = -1;
  if (auto code = log_error_header(header_text, kErrorCodeHeader)) {
    auto [start, cr] = *code;
    std::size_t value_start = start + kErrorCodeValueOffset;
    if (value_start < cr) {
      std::string value(header_text.substr(value_start, cr - value_start));
      long number = std::strtol(value.c_str(), nullptr, kStrtolAnyBase);
      if (number == kWrongSnErrorCode) {
        ZLOG(kLogError, "Found wrong_sn error code.\n");
        result = kRegisterRefusedWrongSn;
      }
    }
  }
  log_error_header(header_text, kErrorMessageHeader);
  return result;
}

uint32_t register_aggressive_time() {
  return config_get_uint32_default(kKeyRegisterAggressiveTime, kDefaultRegisterAggressiveTime);
}

uint32_t register_aggressive_delay() {
  return config_get_uint32_default(kKeyRegisterAggressiveDelay, kDefaultRegisterAggressiveDelay);
}

int request_advisor(agent_context& context, advisor_reply& reply) {
  std::string url = context.advisor_url.value_or("");
  ZLOG(kLogDebug, "advisor_url='%s'\n", log_escape(url).c_str());
  std::optional<std::string> extra_header;
  if (std::optional<std::string> carrier = context.carrier_id()) extra_header = kCarrierHeaderPrefix + *carrier;
  long status = 0;
  http_buffer header;
  http_buffer body;
  if (http_get_with_header(url, context, extra_header, status, header, body) != 0) {
    ZLOG(kLogError, "Can't make advisor request.\n");
    return -1;
  }
  ZLOG(kLogDebug, "http code:'%ld'\n", status);
  ZLOG(kLogDebug, "body:'%s'\n", log_escape(body).c_str());
  if (status != kHttpOkStatus) {
    ZLOG(kLogError, "Invalid http code '%ld' from server.\n", status);
    check_error_headers(header);
    return -1;
  }
  if (parse_advisor_reply(body, reply, context) != 0) {
    ZLOG(kLogError, "Can't parse reply from advisor.\n");
    return -1;
  }
  return 0;
}

// --- Agent state ---

void init_agent_state(int32_t daemon) {
  std::lock_guard<std::mutex> lock(state_mutex);
  state.event = kStateEventStart;
  state.daemon = daemon;
  state.pid = own_pid();
  state.registered = static_cast<int32_t>(config_get_uint32_default(kKeyAgentRegistered, kDefaultAgentRegistered));
  state.claimed = static_cast<int32_t>(config_get_uint32_default(kKeyAgentClaimed, kDefaultAgentClaimed));
  state.connected = 0;
  send_state_locked();
}

void send_agent_state() {
  std::lock_guard<std::mutex> lock(state_mutex);
  send_state_locked();
}

void save_agent_state() {
  std::lock_guard<std::mutex> lock(state_mutex);
  save_state_locked();
}

void set_registered(int32_t value) {
  std::lock_guard<std::mutex> lock(state_mutex);
  if (state.registered == value) return;
  if (state.mirror != 0) config_set(kKeyStatusRegistered, status_text(value));
  state.registered = value;
  state.event = kStateEventRegistered;
  send_state_locked();
  save_state_locked();
}

void set_claimed(int32_t value) {
  std::lock_guard<std::mutex> lock(state_mutex);
  set_claimed_locked(value);
}

void update_claimed(int32_t value) {
  std::lock_guard<std::mutex> lock(state_mutex);
  if (state.claimed != value) set_claimed_locked(value);
}

void set_connected(int32_t value) {
  std::lock_guard<std::mutex> lock(state_mutex);
  if (state.connected == value) return;
  if (state.mirror != 0) config_set(kKeyStatusConnected, status_text(value));
  state.connected = value;
  state.event = kStateEventConnected;
  send_state_locked();
}

void refresh_agent_state() {
  std::lock_guard<std::mutex> lock(state_mutex);
  state.event = kStateEventRefresh;
  send_state_locked();
}

int32_t agent_claimed() {
  std::lock_guard<std::mutex> lock(state_mutex);
  return state.claimed;
}

void set_agent_state_mirror(int32_t mirror) {
  std::lock_guard<std::mutex> lock(state_mutex);
  state.mirror = mirror;
}

void notify_service(const std::string& service, int32_t claimed) {
  std::string notification = build_service_notification(service, claimed);
  std::string handler = service_handler(service);
  ZLOG(kLogDebug, "'%s'\n", log_escape(notification).c_str());
  send_message(handler.c_str(), std::move(notification));
  ZLOG(kLogDebug, "service notify was sended.\n");
}

// --- Switches ---

uint32_t use_discovery() {
  uint32_t value = config_get_uint32_default(kKeyUseDiscovery, kDefaultUseDiscovery);
  ZLOG(kLogDebug, "Use discovery mechanism for zelCloud: %d.\n", static_cast<int>(value));
  return value;
}

uint32_t force_connection() {
  uint32_t value = config_get_uint32_default(kKeyForceConnection, kDefaultForceConnection);
  ZLOG(kLogDebug, "Force connection to zelCloud: %d.\n", static_cast<int>(value));
  return value;
}

uint32_t broker_ssl_enabled() { return config_get_uint32_default(kKeyBrokerSsl, kDefaultBrokerSsl); }

namespace logic_testing {

std::string service_handler_name(const std::string& service) { return service_handler(service); }

}  // namespace logic_testing
