// Builders and readers of the cloud's JSON documents over cJSON. Trees live in
// a unique_ptr with cJSON_Delete, printed text in a unique_ptr with free, so
// every exit path releases what was made.
#include "cloud/json_helper.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "cloud/logic.h"
#include "log/log.h"

std::string device_hardware_id;
std::string device_model;

namespace {

constexpr const char* kLogModule = "json_helper";

constexpr const char* kDiscoveryType = "Device";
constexpr const char* kActionConnect = "ActionConnect";
constexpr const char* kActionWait = "ActionWait";
constexpr int kDecimal = 10;
constexpr int kKeepaliveFields = 3;

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};
using PrintedPtr = std::unique_ptr<char, FreeDeleter>;

// cJSON keeps the position of the last parse error in one process-wide
// variable that every parse resets; the readers run on several threads, so
// the parse and the read-back of the error position happen under this mutex.
std::mutex parse_mutex;

[[noreturn]] void out_of_memory() {
  ZLOG(kLogError, "malloc().\n");
  std::exit(1);
}

cJSON* checked(cJSON* item) {
  if (item == nullptr) out_of_memory();
  return item;
}

void add(cJSON* object, const char* name, cJSON* item) {
  cJSON_AddItemToObject(object, name, checked(item));
}

std::string print(const JsonPtr& root) {
  PrintedPtr text(cJSON_Print(root.get()));
  if (!text) out_of_memory();
  return std::string(text.get());
}

JsonPtr new_object() { return JsonPtr(checked(cJSON_CreateObject())); }

// Common start of the readers: parses `text` and makes sure the root has at
// least one member. `what` names the reply in the "no elements" message.
JsonPtr parse_reply(const std::string& text, const char* no_elements_message) {
  JsonPtr root;
  {
    std::lock_guard<std::mutex> lock(parse_mutex);
    root.reset(cJSON_ParseWithLength(text.c_str(), text.size()));
    if (!root) {
      const char* error = cJSON_GetErrorPtr();
      ZLOG(kLogError, "Error before: '%s'\n", log_escape(error != nullptr ? error : "").c_str());
      return nullptr;
    }
  }
  if (root->child == nullptr) {
    ZLOG(kLogError, "%s", no_elements_message);
    return nullptr;
  }
  return root;
}

bool named(const cJSON* item, const char* name) {
  return item->string != nullptr && std::strcmp(item->string, name) == 0;
}

bool is_string_member(const cJSON* item, const char* name) {
  return cJSON_IsString(item) && item->valuestring != nullptr && named(item, name);
}

// strtol in base 10 with the result clamped to the signed 32-bit range, as
// strtol itself gives it where long has 32 bits. errno is left as strtol set
// it, or ERANGE when clamping happened.
long to_long_32(const char* text) {
  errno = 0;
  long value = std::strtol(text, nullptr, kDecimal);
  if (value > INT32_MAX) {
    value = INT32_MAX;
    errno = ERANGE;
  } else if (value < INT32_MIN) {
    value = INT32_MIN;
    errno = ERANGE;
  }
  return value;
}

}  // namespace

void release_identity(identity& id) {
  id.agent_id.reset();
  id.hardware_id.reset();
  id.claim_code.reset();
}

void release_claim_reply(claim_reply& reply) {
  reply.type.reset();
  reply.agent_id.reset();
}

void release_advisor_reply(advisor_reply& reply) {
  reply.broker.reset();
  reply.token.reset();
}

std::string build_register_body() {
  JsonPtr root = new_object();
  add(root.get(), "hardwareId", cJSON_CreateString(device_hardware_id.c_str()));
  add(root.get(), "model", cJSON_CreateString(device_model.c_str()));
  return print(root);
}

std::string build_discovery_body(const std::string& agent_id, const std::string& hardware_id,
                                 const std::optional<std::string>& discovery_data) {
  JsonPtr root = new_object();
  add(root.get(), "_type", cJSON_CreateString(kDiscoveryType));
  add(root.get(), "_id", cJSON_CreateString(agent_id.c_str()));
  add(root.get(), "hardwareId", cJSON_CreateString(hardware_id.c_str()));
  add(root.get(), "model", cJSON_CreateString(device_model.c_str()));
  if (discovery_data) add(root.get(), "discoveryData", cJSON_CreateString(discovery_data->c_str()));
  return print(root);
}

std::string build_state_event(int32_t event, int32_t daemon, int32_t pid, int32_t registered,
                              int32_t claimed, int32_t connected) {
  JsonPtr root = new_object();
  add(root.get(), "event", cJSON_CreateNumber(event));
  add(root.get(), "daemon", cJSON_CreateBool(daemon == 1));
  add(root.get(), "pid", cJSON_CreateNumber(pid));
  add(root.get(), "registered", cJSON_CreateBool(registered == 1));
  add(root.get(), "claimed", cJSON_CreateBool(claimed == 1));
  add(root.get(), "connected", cJSON_CreateBool(connected == 1));
  return print(root);
}

std::string build_service_notification(const std::string& service, int32_t claimed) {
  JsonPtr root = new_object();
  add(root.get(), "service", cJSON_CreateString(service.c_str()));
  add(root.get(), "claimed", cJSON_CreateBool(claimed != 0));
  return print(root);
}

int parse_register_reply(const std::string& text, identity& id) {
  JsonPtr root = parse_reply(text, "Can't get list of elements in register reply.\n");
  if (!root) return -1;
  id.agent_id.reset();
  id.claim_code.reset();
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (is_string_member(item, "deviceId")) id.agent_id = item->valuestring;
    else if (is_string_member(item, "claimCode")) id.claim_code = item->valuestring;
  }
  if (!id.agent_id || !id.claim_code) {
    ZLOG(kLogError, "Incomplete register reply.\n");
    release_identity(id);
    return -1;
  }
  return 0;
}

int parse_claim_reply(const std::string& text, claim_reply& reply) {
  JsonPtr root = parse_reply(text, "Can't get list of elements in register reply.\n");
  if (!root) return -1;
  release_claim_reply(reply);
  bool boolean_seen = false;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (is_string_member(item, "_type")) {
      reply.type = item->valuestring;
    } else if (is_string_member(item, "deviceId")) {
      reply.agent_id = item->valuestring;
    } else if (cJSON_IsBool(item)) {
      reply.claimed = cJSON_IsTrue(item) ? 1 : 0;
      boolean_seen = true;
    }
  }
  if (!reply.type || !reply.agent_id || !boolean_seen) {
    ZLOG(kLogError, "Incomplete register reply.\n");
    release_claim_reply(reply);
    return -1;
  }
  return 0;
}

int parse_advisor_reply(const std::string& text, advisor_reply& reply, agent_context& context) {
  JsonPtr root = parse_reply(text, "Can't get list of elements in advisor reply.\n");
  if (!root) return -1;
  reply.action = kAdvisorActionNone;
  reply.broker.reset();
  reply.period = -1;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (is_string_member(item, "_type")) {
      if (std::strcmp(item->valuestring, kActionConnect) == 0) reply.action = kAdvisorActionConnect;
      else if (std::strcmp(item->valuestring, kActionWait) == 0) reply.action = kAdvisorActionWait;
    } else if (is_string_member(item, "broker")) {
      reply.broker = item->valuestring;
    } else if (is_string_member(item, "token")) {
      reply.token = item->valuestring;
    } else if (is_string_member(item, "port")) {
      reply.port = static_cast<int32_t>(to_long_32(item->valuestring));
    } else if (cJSON_IsNumber(item) && named(item, "period")) {
      reply.period = item->valueint;
    } else if (is_string_member(item, "agentKeepalive")) {
      keepalive_values& k = context.agent_keepalive;
      if (parse_keepalive_string(item->valuestring, &k.first, &k.second, &k.third) == -1) {
        ZLOG(kLogWarning, "Received bad agent keepalive string from advisor: '%s'\n",
             log_escape(item->valuestring).c_str());
      }
    } else if (is_string_member(item, "brokerKeepalive")) {
      keepalive_values& k = context.broker_keepalive;
      if (parse_keepalive_string(item->valuestring, &k.first, &k.second, &k.third) == -1) {
        ZLOG(kLogWarning, "Received bad broker keepalive string from advisor: '%s'\n",
             log_escape(item->valuestring).c_str());
      }
    } else if (is_string_member(item, "agentHeartbeat")) {
      long heartbeat = to_long_32(item->valuestring);
      if (heartbeat < 0 || (heartbeat == 0 && (errno == ERANGE || errno == EINVAL))) {
        ZLOG(kLogWarning, "Received bad agent heartbeat string from advisor: '%s'\n",
             log_escape(item->valuestring).c_str());
      }
      context.agent_heartbeat.store(static_cast<int32_t>(heartbeat));
    }
  }
  bool complete = (reply.action == kAdvisorActionConnect && reply.broker) ||
                  (reply.action == kAdvisorActionWait && reply.period >= 0);
  if (!complete) {
    ZLOG(kLogError, "Incomplete register reply.\n");
    release_advisor_reply(reply);
    return -1;
  }
  return 0;
}

int parse_keepalive_string(const char* text, uint32_t* first, uint32_t* second, uint32_t* third) {
  if (text == nullptr || first == nullptr || second == nullptr || third == nullptr) return -1;
  uint32_t values[kKeepaliveFields] = {0, 0, 0};
  const char* field = text;
  for (int i = 0; i < kKeepaliveFields; ++i) {
    if (field == nullptr) return -1;  // fewer than three fields: outputs untouched
    const char* comma = std::strchr(field, ',');
    std::string piece = comma ? std::string(field, static_cast<std::size_t>(comma - field)) : std::string(field);
    field = comma ? comma + 1 : nullptr;
    long value = to_long_32(piece.c_str());
    if (value > 0 || (value == 0 && errno == 0)) {
      values[i] = static_cast<uint32_t>(value);
    } else {
      ZLOG(kLogWarning, "Cannot convert value %s to uint32_t - got value %ld\n", log_escape(piece).c_str(), value);
    }
  }
  *first = values[0];
  *second = values[1];
  *third = values[2];
  return 0;
}

// ===========================================================================
// Control requests. The text is parsed whole, then the root's members are
// walked in document order; member names are compared exactly and a member
// counts only with the JSON type its kind expects.
// ===========================================================================

namespace {

constexpr const char* kControlCommandMember = "command";
constexpr const char* kControlServiceMember = "service";
constexpr const char* kControlDiscoveryTimeMember = "discovery_time";
constexpr const char* kControlIdMember = "id";
constexpr const char* kControlCarrierIdMember = "carrier_id";
constexpr const char* kControlDiscoveryDataMember = "discovery_data";
constexpr const char* kControlClaimedMember = "claimed";
constexpr const char* kControlRegisteredMember = "registered";

constexpr const char* kNoElementsInControlRequest = "Can't get list of elements in control request.\n";

bool control_member_is(const cJSON* item, const char* name) {
  return item->string != nullptr && std::strcmp(item->string, name) == 0;
}

// The member's text when it is a string member called `name`.
const char* control_string_member(const cJSON* item, const char* name) {
  if (!cJSON_IsString(item) || item->valuestring == nullptr || !control_member_is(item, name)) return nullptr;
  return item->valuestring;
}

// Common checks of the element parsers: a root that exists and has members.
bool control_root_usable(const cJSON* root) {
  if (root == nullptr) {
    ZLOG(kLogError, "NULL parameter.\n");
    return false;
  }
  if (root->child == nullptr) {
    ZLOG(kLogError, "%s", kNoElementsInControlRequest);
    return false;
  }
  return true;
}

// "service" (string) and the boolean member `flag_member`; -1 when either is
// missing, after `incomplete_message`.
int parse_service_request(control_request& request, const cJSON* root, const char* flag_member,
                          const char* incomplete_message) {
  if (!control_root_usable(root)) return -1;
  std::optional<std::string> service;
  service_request record;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (const char* text = control_string_member(item, kControlServiceMember)) {
      service = text;
    } else if (cJSON_IsBool(item) && control_member_is(item, flag_member)) {
      record.value = cJSON_IsTrue(item) ? 1 : 0;
    }
  }
  if (!service || record.value == -1) {
    ZLOG(kLogError, "%s", incomplete_message);
    return -1;
  }
  record.service = std::move(*service);
  request.payload = std::move(record);
  return 0;
}

// The kind a "command" value selects and its element parser; the parser is
// null for pause_connections, which takes no payload and lets the walk go on.
struct control_command_kind {
  const char* name;
  int32_t type;
  int (*parse)(control_request&, const cJSON*);
};

constexpr control_command_kind kControlCommandKinds[] = {
    {"send_discovery", kControlSendDiscovery, parse_discovery_request},
    {"on_claim", kControlOnClaim, parse_claim_request},
    {"on_moravault", kControlOnMoravault, parse_moravault_request},
    {"on_release", kControlOnRelease, parse_claim_request},
    {"resume_connections", kControlResumeConnections, parse_carrier_request},
    {"pause_connections", kControlPauseConnections, nullptr},
};

}  // namespace

int parse_control_request(const char* text, control_request& request) {
  request.payload = std::monostate{};
  request.type = kControlRequestNone;
  JsonPtr root;
  {
    std::lock_guard<std::mutex> lock(parse_mutex);
    if (text != nullptr) root.reset(cJSON_Parse(text));
    if (!root) {
      const char* error = text != nullptr ? cJSON_GetErrorPtr() : nullptr;
      ZLOG(kLogError, "Error before: '%s'\n", log_escape(error != nullptr ? error : "").c_str());
      return -1;
    }
  }
  if (root->child == nullptr) {
    ZLOG(kLogError, "%s", kNoElementsInControlRequest);
    return -1;
  }

  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    const char* command = control_string_member(item, kControlCommandMember);
    if (command == nullptr) continue;
    for (const control_command_kind& kind : kControlCommandKinds) {
      if (std::strcmp(command, kind.name) != 0) continue;
      request.type = kind.type;
      if (kind.parse != nullptr) return kind.parse(request, root.get()) == -1 ? -1 : 0;
      break;  // pause_connections: a later "command" may still select another kind
    }
  }
  if (request.type == kControlRequestNone) {
    // Without this refusal the caller would be left with whatever kind it
    // held before, and could run a command the client never asked for.
    ZLOG(kLogError, "Control request names no known command.\n");
    return -1;
  }
  return 0;
}

int parse_discovery_request(control_request& request, const cJSON* root) {
  if (!control_root_usable(root)) return -1;
  std::optional<std::string> service;
  discovery_request record;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (const char* text = control_string_member(item, kControlServiceMember)) {
      service = text;
    } else if (const char* id = control_string_member(item, kControlIdMember)) {
      record.id = id;
    } else if (const char* carrier = control_string_member(item, kControlCarrierIdMember)) {
      record.carrier_id = carrier;
    } else if (const char* data = control_string_member(item, kControlDiscoveryDataMember)) {
      record.discovery_data = data;
    } else if (cJSON_IsNumber(item) && control_member_is(item, kControlDiscoveryTimeMember)) {
      // cJSON saturates valueint to the int range, which is 32 bits here.
      record.discovery_time = static_cast<int32_t>(item->valueint);
    }
  }
  if (!service) {
    ZLOG(kLogError, "Incomplete discovery request!.\n");
    return -1;
  }
  record.service = std::move(*service);
  request.payload = std::move(record);
  return 0;
}

int parse_claim_request(control_request& request, const cJSON* root) {
  return parse_service_request(request, root, kControlClaimedMember, "Incomplete on_claim/on_release request!.\n");
}

int parse_moravault_request(control_request& request, const cJSON* root) {
  return parse_service_request(request, root, kControlRegisteredMember, "Incomplete on_moravault request!.\n");
}

int parse_carrier_request(control_request& request, const cJSON* root) {
  if (!control_root_usable(root)) return -1;
  std::optional<std::string> carrier;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    const char* text = control_string_member(item, kControlCarrierIdMember);
    if (text == nullptr) continue;
    if (carrier) ZLOG(kLogWarning, "There are many ID fields in carrier changed request.\n");
    carrier = text;
  }
  if (carrier) {
    request.payload = std::move(*carrier);
  } else {
    request.payload = std::monostate{};
  }
  return 0;
}
