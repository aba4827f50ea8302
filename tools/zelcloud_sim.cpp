// The simulator's state and command interface over the simulated zelCloud and
// the simulated zelbroker. Those servers do the protocol work; this module
// makes their certificates and decides the answers (a device registry, claim
// flags, the advisor's choice, the faults asked for), keeps the discovery log
// and turns what happens into readable lines.
#include "zelcloud_sim.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "broker/messages/packet.h"
#include "broker_server.h"
#include "cert_authority.h"
#include "https_server.h"

namespace zelsim {
namespace {

constexpr const char* kBrokerHost = "localhost";
constexpr const char* kRegisterPath = "/register";
constexpr const char* kClaimedPath = "/claimed/v2";
constexpr const char* kDiscoveryPath = "/discovery/v3/";
constexpr const char* kAdvisorPath = "/advisor/v2";
constexpr const char* kAgentIdPrefix = "ZEL-";
constexpr int kAgentIdDigits = 6;
constexpr std::size_t kClaimCodeLength = 8;
constexpr const char* kClaimCodeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr int kStatusCreated = 201;
constexpr int kStatusOk = 200;
constexpr int kStatusForbidden = 403;
constexpr int kStatusNotFound = 404;
constexpr int kStatusServerError = 500;
constexpr const char* kWrongSnCode = "1062";
// How often the packet printer looks at the links when no packet arrives.
constexpr auto kPrinterPoll = std::chrono::milliseconds(100);
constexpr std::size_t kKeepaliveSize = 12;
constexpr std::size_t kHeartbeatSize = 16;
// How long "send" and "raw" wait for their bytes to be written.
constexpr auto kWriteWait = std::chrono::seconds(5);
// Requests the "requests" command shows, the latest.
constexpr std::size_t kShownRequests = 20;
constexpr int kMinStatus = 100;
constexpr int kMaxStatus = 599;
constexpr long kMaxSlowSeconds = 3600;
constexpr const char* kFaultBody = R"({"error":"simulated failure"})";
// What a faulty certificate says of itself.
constexpr const char* kWrongHost = "wrong-name.invalid";
constexpr int kExpiredDaysAgo = 30;

struct CjsonDeleter {
  void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using CjsonPtr = std::unique_ptr<cJSON, CjsonDeleter>;

std::uint64_t read_be(const std::string& bytes, std::size_t offset, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

// A JSON text on one line (the agent sends cJSON's formatted output).
std::string compact_json(const std::string& text) {
  CjsonPtr json(cJSON_Parse(text.c_str()));
  if (!json) return printable(text);
  std::unique_ptr<char, decltype(&std::free)> printed(cJSON_PrintUnformatted(json.get()), &std::free);
  return printed ? std::string(printed.get()) : printable(text);
}

std::optional<std::string> json_string_member(const std::string& text, const char* name) {
  CjsonPtr json(cJSON_Parse(text.c_str()));
  if (!json) return std::nullopt;
  const cJSON* member = cJSON_GetObjectItemCaseSensitive(json.get(), name);
  if (!cJSON_IsString(member) || member->valuestring == nullptr) return std::nullopt;
  return std::string(member->valuestring);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else if (text[i] == '+') {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> parse_query(const std::string& query) {
  std::map<std::string, std::string> values;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    if (!pair.empty()) {
      values[percent_decode(pair.substr(0, equals))] =
          equals == std::string::npos ? std::string() : percent_decode(pair.substr(equals + 1));
    }
    start = end + 1;
  }
  return values;
}

// The server marks a body as JSON by itself.
zelsim::CloudAnswer json_answer(int status, const std::string& body) {
  zelsim::CloudAnswer answer;
  answer.status = status;
  answer.body = body;
  return answer;
}

std::string quoted(const std::string& text) {
  CjsonPtr json(cJSON_CreateString(text.c_str()));
  std::unique_ptr<char, decltype(&std::free)> printed(cJSON_PrintUnformatted(json.get()), &std::free);
  return printed ? std::string(printed.get()) : "\"\"";
}

std::pair<std::string, std::string> split_first_word(const std::string& line) {
  std::size_t begin = 0;
  while (begin < line.size() && std::isspace(static_cast<unsigned char>(line[begin])) != 0) ++begin;
  std::size_t end = begin;
  while (end < line.size() && std::isspace(static_cast<unsigned char>(line[end])) == 0) ++end;
  std::size_t rest = end;
  if (rest < line.size()) ++rest;  // one separating blank; the rest is kept as it is
  return {line.substr(begin, end - begin), line.substr(rest)};
}

std::string trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
  return text.substr(begin, end - begin);
}

constexpr const char* kHelpText =
    "ok commands: devices | discoveries | requests [clear] | claim [ID] | release [ID] | send HANDLER [TEXT] | "
    "raw BYTES | drop | wait SECONDS | connect | heartbeats on|off | register accept|refuse|fail | "
    "fault garbage|raw|close|cut|stall|drip [PATH] | fault CODE [PATH [BODY]] | fault slow SECONDS [PATH] | "
    "fault none [PATH] | status | help";
constexpr const char* kFaultUsage =
    "error usage: fault garbage|raw|close|cut|stall|drip|none [PATH], fault CODE [PATH [BODY]], fault slow SECONDS [PATH]";

// The faults of the "fault" command, by name.
constexpr std::pair<const char*, CloudFault> kFaultNames[] = {
    {"none", CloudFault::kNone},       {"garbage", CloudFault::kGarbage}, {"raw", CloudFault::kRawGarbage},
    {"close", CloudFault::kNoAnswer},  {"cut", CloudFault::kCutAnswer},   {"stall", CloudFault::kStall},
    {"drip", CloudFault::kDrip},
};

zelsim::CloudAnswer faulty_answer(CloudFault fault) {
  zelsim::CloudAnswer answer;
  switch (fault) {
    case CloudFault::kServerError:
      return json_answer(kStatusServerError, kFaultBody);
    case CloudFault::kGarbage:
      return json_answer(200, "<html>not json");
    case CloudFault::kRawGarbage:
      answer.behaviour = zelsim::CloudBehaviour::kRaw;
      answer.raw = "\x16\x03garbage that is not HTTP\r\n\r\n";
      break;
    case CloudFault::kNoAnswer:
      answer.behaviour = zelsim::CloudBehaviour::kCloseWithoutAnswer;
      break;
    case CloudFault::kCutAnswer:
      answer.behaviour = zelsim::CloudBehaviour::kCloseAfterHeaders;
      answer.body = R"({"deviceId":"cut short"})";
      break;
    case CloudFault::kStall:
      answer.behaviour = zelsim::CloudBehaviour::kStall;
      break;
    case CloudFault::kDrip:
      answer = json_answer(kStatusServerError, R"({"error":"simulated slow failure"})");
      answer.behaviour = zelsim::CloudBehaviour::kDrip;
      answer.delay = std::chrono::milliseconds(kDripIntervalMs);
      break;
    case CloudFault::kNone:
      break;
  }
  return answer;
}

// A whole decimal number in [low, high], or nullopt.
std::optional<long> number_in(const std::string& text, long low, long high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) return std::nullopt;
  return value;
}

// The bytes of "raw": \xHH is any byte, \\ a backslash (printable()'s escapes).
std::optional<std::string> unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += text[++i];
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// The options of a leaf certificate that shows `fault`.
zelsim::CertOptions certificate(const std::string& name, CertFault fault) {
  zelsim::CertOptions cert;
  cert.name = name;
  cert.common_name = kBrokerHost;
  cert.dns_names = {kBrokerHost};
  cert.ip_addresses = {"127.0.0.1"};
  switch (fault) {
    case CertFault::kExpired:
      cert.not_before_days = -2 * kExpiredDaysAgo;
      cert.valid_days = kExpiredDaysAgo;
      break;
    case CertFault::kWrongName:
      cert.common_name = kWrongHost;
      cert.dns_names = {kWrongHost};
      cert.ip_addresses.clear();
      break;
    case CertFault::kUnknownIssuer:
      cert.untrusted_issuer = true;
      break;
    case CertFault::kSelfSigned:
      cert.self_signed = true;
      break;
    case CertFault::kNone:
      break;
  }
  return cert;
}

}  // namespace

std::string printable(const std::string& bytes, std::size_t limit) {
  std::string out;
  for (unsigned char c : bytes) {
    if (out.size() >= limit) {
      out += "...";
      break;
    }
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string describe_packet(std::uint8_t type, const std::vector<std::string>& parts) {
  const std::string first = parts.empty() ? std::string() : parts[0];
  std::ostringstream out;
  switch (type) {
    case PACKET_HELLO_AGENT_ID:
      out << "hello agent-id " << printable(first);
      break;
    case PACKET_HELLO_TOKEN:
      out << "hello token (" << first.size() << " bytes)";
      break;
    case PACKET_BROKER_KEEPALIVE:
      if (first.size() == kKeepaliveSize) {
        out << "broker keepalive " << read_be(first, 0, 4) << "," << read_be(first, 4, 4) << ","
            << read_be(first, 8, 4);
      } else {
        out << "broker keepalive of " << first.size() << " bytes (expected 12)";
      }
      break;
    case PACKET_HEARTBEAT:
      if (first.size() == kHeartbeatSize) {
        out << "heartbeat #" << read_be(first, 0, 8) << " at " << static_cast<std::int64_t>(read_be(first, 8, 8));
      } else {
        out << "heartbeat of " << first.size() << " bytes (expected 16)";
      }
      break;
    default:
      out << "packet type " << static_cast<int>(type) << " with " << parts.size() << " part(s)";
      for (const std::string& part : parts) out << " [" << printable(part, 64) << "]";
  }
  return out.str();
}

struct Simulator::Impl {
  SimulatorOptions options;
  std::unique_ptr<zelsim::CertAuthority> ca;
  std::string ca_path;
  std::unique_ptr<zelsim::HttpsServer> cloud;
  std::unique_ptr<zelsim::BrokerServer> broker;

  // A "fault" rule: a faulty answer, or (slow) the right one after answer.delay.
  struct CloudRule {
    zelsim::CloudAnswer answer;
    bool slow = false;
  };

  mutable std::mutex mutex;  // guards everything below
  std::function<void(const std::string&)> printer;
  std::vector<SimDevice> devices;
  std::vector<SimDiscovery> discoveries;
  std::int32_t wait_period = -1;  // -1: connect; otherwise the advisor answers wait
  RegisterMode register_mode = RegisterMode::kAccept;
  std::map<std::string, CloudRule> rules;  // by path prefix
  std::mt19937 random{std::random_device{}()};

  std::mutex print_mutex;  // one printed line at a time
  std::atomic<bool> stopping{false};
  std::thread packet_printer;

  void print(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sink = printer;
    }
    if (!sink) return;
    std::lock_guard<std::mutex> lock(print_mutex);
    sink(line);
  }

  zelsim::CloudAnswer answer(const zelsim::RecordedRequest& request);
  zelsim::CloudAnswer answer_register(const zelsim::RecordedRequest& request);
  zelsim::CloudAnswer answer_claimed(const zelsim::RecordedRequest& request);
  zelsim::CloudAnswer answer_discovery(const zelsim::RecordedRequest& request);
  zelsim::CloudAnswer answer_advisor();
  SimDevice* find_device_locked(const std::string& agent_id);
  std::string new_claim_code_locked();
  bool set_claimed(const std::string& agent_id, bool claimed, std::string* chosen);
  void set_rule(const std::string& prefix, std::optional<CloudRule> rule);
  std::optional<CloudRule> rule_for(const std::string& path);
  void print_packets();
};

// The rule of `prefix` (none: every rule for "") replaced; stalled requests
// end unless a stall begins.
void Simulator::Impl::set_rule(const std::string& prefix, std::optional<CloudRule> rule) {
  const bool stall = rule && rule->answer.behaviour == zelsim::CloudBehaviour::kStall;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (rule) {
      rules[prefix] = *rule;
    } else if (prefix.empty()) {
      rules.clear();
    } else {
      rules.erase(prefix);
    }
  }
  if (!stall) cloud->release_stalled();
}

// The rule of the longest prefix of `path` that has one.
std::optional<Simulator::Impl::CloudRule> Simulator::Impl::rule_for(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
    if (path.rfind(it->first, 0) == 0) return it->second;
  }
  return std::nullopt;
}

SimDevice* Simulator::Impl::find_device_locked(const std::string& agent_id) {
  if (devices.empty()) return nullptr;
  if (agent_id.empty()) return &devices.back();
  for (SimDevice& device : devices) {
    if (device.agent_id == agent_id) return &device;
  }
  return nullptr;
}

std::string Simulator::Impl::new_claim_code_locked() {
  const std::string alphabet = kClaimCodeAlphabet;
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string code;
  for (std::size_t i = 0; i < kClaimCodeLength; ++i) code += alphabet[pick(random)];
  return code;
}

zelsim::CloudAnswer Simulator::Impl::answer_register(const zelsim::RecordedRequest& request) {
  const std::string hardware_id = json_string_member(request.body, "hardwareId").value_or("");
  const std::string model = json_string_member(request.body, "model").value_or("");
  std::lock_guard<std::mutex> lock(mutex);
  if (register_mode == RegisterMode::kRefuseWrongSn) {
    zelsim::CloudAnswer refused = json_answer(kStatusForbidden, R"({"error":"unknown hardware id"})");
    refused.headers.emplace_back("X-Error-Code", kWrongSnCode);
    refused.headers.emplace_back("X-Error-Message", "wrong_sn");
    return refused;
  }
  if (register_mode == RegisterMode::kFail || hardware_id.empty()) {
    return json_answer(kStatusServerError, R"({"error":"registration failed"})");
  }
  SimDevice* device = nullptr;
  for (SimDevice& known : devices) {
    if (known.hardware_id == hardware_id) device = &known;
  }
  if (device == nullptr) {
    char id[32];
    std::snprintf(id, sizeof id, "%s%0*zX", kAgentIdPrefix, kAgentIdDigits, devices.size() + 1);
    devices.push_back(SimDevice{id, new_claim_code_locked(), hardware_id, model, false});
    device = &devices.back();
  }
  device->model = model;
  return json_answer(kStatusCreated,
                     "{\"deviceId\":" + quoted(device->agent_id) + ",\"claimCode\":" + quoted(device->claim_code) + "}");
}

zelsim::CloudAnswer Simulator::Impl::answer_claimed(const zelsim::RecordedRequest& request) {
  const std::string authorization = request.header("Authorization").value_or("");
  const std::string agent_id = authorization.substr(0, authorization.find(':'));
  const std::string claim_code =
      authorization.find(':') == std::string::npos ? "" : authorization.substr(authorization.find(':') + 1);
  std::lock_guard<std::mutex> lock(mutex);
  for (const SimDevice& device : devices) {
    if (device.agent_id == agent_id && device.claim_code == claim_code) {
      return json_answer(kStatusOk, "{\"_type\":\"Device\",\"deviceId\":" + quoted(device.agent_id) +
                                        ",\"claimed\":" + (device.claimed ? "true" : "false") + "}");
    }
  }
  return json_answer(kStatusNotFound, R"({"error":"unknown device"})");
}

zelsim::CloudAnswer Simulator::Impl::answer_discovery(const zelsim::RecordedRequest& request) {
  std::map<std::string, std::string> query = parse_query(request.query());
  SimDiscovery discovery;
  const std::string authorization = request.header("Authorization").value_or("");
  discovery.agent_id = authorization.substr(0, authorization.find(':'));
  discovery.identifier = query["i"];
  discovery.service = query["s"];
  discovery.time = query.count("e") != 0 ? static_cast<std::int32_t>(std::strtol(query["e"].c_str(), nullptr, 10)) : 0;
  discovery.body = request.body;
  std::lock_guard<std::mutex> lock(mutex);
  discoveries.push_back(discovery);
  return json_answer(kStatusOk, "");
}

zelsim::CloudAnswer Simulator::Impl::answer_advisor() {
  std::lock_guard<std::mutex> lock(mutex);
  if (wait_period >= 0) {
    return json_answer(kStatusOk, "{\"_type\":\"ActionWait\",\"period\":" + std::to_string(wait_period) + "}");
  }
  std::string body = "{\"_type\":\"ActionConnect\",\"broker\":\"" + std::string(kBrokerHost) + "\",\"port\":\"" +
                     std::to_string(broker->port()) + "\"";
  if (!options.broker_keepalive.empty()) body += ",\"brokerKeepalive\":" + quoted(options.broker_keepalive);
  if (!options.agent_keepalive.empty()) body += ",\"agentKeepalive\":" + quoted(options.agent_keepalive);
  if (options.agent_heartbeat > 0) {
    body += ",\"agentHeartbeat\":\"" + std::to_string(options.agent_heartbeat) + "\"";
  }
  return json_answer(kStatusOk, body + "}");
}

zelsim::CloudAnswer Simulator::Impl::answer(const zelsim::RecordedRequest& request) {
  std::string seen = "cloud  <- " + request.method + " " + request.target;
  if (std::optional<std::string> authorization = request.header("Authorization")) {
    seen += " [Authorization: " + printable(*authorization) + "]";
  }
  if (std::optional<std::string> carrier = request.header("X-Carrier-ID")) {
    seen += " [X-Carrier-ID: " + printable(*carrier) + "]";
  }
  if (!request.body.empty()) seen += " " + compact_json(request.body);
  print(seen);

  zelsim::CloudAnswer reply;
  const std::string path = request.path();
  const std::optional<CloudRule> rule = rule_for(path);
  if (rule && !rule->slow) {
    reply = rule->answer;
  } else if (request.method == "POST" && path == kRegisterPath) {
    reply = answer_register(request);
  } else if (request.method == "GET" && path == kClaimedPath) {
    reply = answer_claimed(request);
  } else if (request.method == "POST" && path == kDiscoveryPath) {
    reply = answer_discovery(request);
  } else if (request.method == "GET" && path == kAdvisorPath) {
    reply = answer_advisor();
  } else {
    reply = json_answer(kStatusNotFound, R"({"error":"no such resource"})");
  }
  if (rule && rule->slow) reply.delay = rule->answer.delay;
  std::string sent = "cloud  -> " + std::to_string(reply.status);
  for (const auto& [name, value] : reply.headers) {
    if (name.rfind("X-", 0) == 0) sent += " [" + name + ": " + value + "]";
  }
  if (!reply.body.empty()) sent += " " + reply.body;
  print(sent);
  return reply;
}

bool Simulator::Impl::set_claimed(const std::string& agent_id, bool claimed, std::string* chosen) {
  std::lock_guard<std::mutex> lock(mutex);
  SimDevice* device = find_device_locked(agent_id);
  if (device == nullptr) return false;
  device->claimed = claimed;
  *chosen = device->agent_id;
  return true;
}

void Simulator::Impl::print_packets() {
  std::size_t printed = 0;
  std::size_t links_seen = 0;
  std::vector<bool> closed_seen;
  while (!stopping.load()) {
    broker->wait_for_packets(printed + 1, kPrinterPoll);
    const std::size_t links = broker->links();
    for (; links_seen < links; ++links_seen) {
      print("broker link " + std::to_string(links_seen) + " accepted from port " +
            std::to_string(broker->agent_port(links_seen)));
      closed_seen.push_back(false);
    }
    const std::vector<zelsim::BrokerPacket> packets = broker->packets();
    for (; printed < packets.size(); ++printed) {
      const zelsim::BrokerPacket& packet = packets[printed];
      print("broker <- " + describe_packet(packet.type, packet.parts) + "  (link " + std::to_string(packet.link) +
            ")");
    }
    for (std::size_t link = 0; link < closed_seen.size(); ++link) {
      if (!closed_seen[link] && broker->wait_for_link_closed(link, std::chrono::milliseconds(0))) {
        closed_seen[link] = true;
        print("broker link " + std::to_string(link) + " closed" +
              (broker->closed_by_agent(link) ? " by the agent" : ""));
      }
    }
  }
}

Simulator::Simulator(const SimulatorOptions& options) : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
  impl_->ca = std::make_unique<zelsim::CertAuthority>(options.cert_dir, "zelcloud_sim CA");
  impl_->ca_path = impl_->ca->write_hashed_ca_dir();
  const zelsim::CertFiles cloud_cert = impl_->ca->issue(certificate("cloud", options.cloud_cert));
  const zelsim::CertFiles broker_cert = impl_->ca->issue(certificate("broker", options.broker_cert));
  impl_->cloud = std::make_unique<zelsim::HttpsServer>(cloud_cert.chain_path, cloud_cert.key_path);
  zelsim::BrokerServer::Options broker_options;
  broker_options.tls = options.broker_tls;
  broker_options.cert_file = broker_cert.chain_path;
  broker_options.key_file = broker_cert.key_path;
  impl_->broker = std::make_unique<zelsim::BrokerServer>(broker_options);
  Impl* impl = impl_.get();
  impl_->cloud->set_handler([impl](const zelsim::RecordedRequest& request) { return impl->answer(request); });
  impl_->packet_printer = std::thread([impl] { impl->print_packets(); });
}

Simulator::~Simulator() {
  impl_->stopping.store(true);
  impl_->packet_printer.join();
  impl_->cloud->stop();
  impl_->broker->stop();
}

void Simulator::set_printer(std::function<void(const std::string&)> printer) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->printer = std::move(printer);
}

std::string Simulator::base_url() const { return impl_->cloud->url(); }
std::string Simulator::ca_file() const { return impl_->ca->ca_cert_path(); }
std::string Simulator::ca_path() const { return impl_->ca_path; }

std::vector<std::pair<std::string, std::string>> Simulator::store_settings() const {
  const std::string base = base_url();
  return {{"zel_register_url", base + "/register"},
          {"zel_claimed_url", base + "/claimed"},
          {"zel_discovery_url", base + "/discovery"},
          {"zel_advisor_url", base + "/advisor"}};
}

bool Simulator::claim(const std::string& agent_id) {
  std::string chosen;
  if (!impl_->set_claimed(agent_id, true, &chosen)) return false;
  impl_->print("sim: device " + chosen + " claimed");
  return true;
}

bool Simulator::release(const std::string& agent_id) {
  std::string chosen;
  if (!impl_->set_claimed(agent_id, false, &chosen)) return false;
  impl_->print("sim: device " + chosen + " released");
  return true;
}

bool Simulator::send_message(const std::string& handler, const std::string& body) {
  const bool sent = body.empty() ? impl_->broker->send_plain_message(handler)
                                 : impl_->broker->send_plain_message(handler, {body});
  if (sent) impl_->print("broker -> plain message to '" + printable(handler) + "': " + printable(body));
  return sent;
}

bool Simulator::drop_link() {
  const bool dropped = impl_->broker->close_link();
  if (dropped) impl_->print("sim: dropping the newest zelbroker link");
  return dropped;
}

void Simulator::advisor_wait(std::int32_t period) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->wait_period = period < 0 ? 0 : period;
  }
  impl_->print("sim: the advisor now answers wait " + std::to_string(period < 0 ? 0 : period));
}

void Simulator::advisor_connect() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->wait_period = -1;
  }
  impl_->print("sim: the advisor now names the zelbroker");
}

void Simulator::set_answer_heartbeats(bool answer) {
  impl_->broker->set_answer_heartbeats(answer);
  impl_->print(std::string("sim: heartbeats are ") + (answer ? "answered" : "no longer answered"));
}

void Simulator::set_register_mode(RegisterMode mode) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->register_mode = mode;
}

void Simulator::set_cloud_fault(CloudFault fault, const std::string& path_prefix) {
  impl_->set_rule(path_prefix, fault == CloudFault::kNone ? std::nullopt
                                                          : std::optional(Impl::CloudRule{faulty_answer(fault)}));
}

std::vector<SimDevice> Simulator::devices() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->devices;
}

std::vector<SimDiscovery> Simulator::discoveries() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->discoveries;
}

zelsim::HttpsServer& Simulator::cloud() { return *impl_->cloud; }
zelsim::BrokerServer& Simulator::broker() { return *impl_->broker; }

std::string Simulator::execute(const std::string& line) {
  const auto [command, rest] = split_first_word(line);
  const std::string argument = trim(rest);
  if (command == "help" || command.empty()) return kHelpText;
  if (command == "devices") {
    std::string reply = "ok " + std::to_string(devices().size()) + " device(s)";
    for (const SimDevice& device : devices()) {
      reply += "; " + device.agent_id + " hardware " + device.hardware_id + " model " + device.model +
               " claim code " + device.claim_code + (device.claimed ? " claimed" : " not claimed");
    }
    return reply;
  }
  if (command == "discoveries") {
    std::string reply = "ok " + std::to_string(discoveries().size()) + " discovery request(s)";
    for (const SimDiscovery& discovery : discoveries()) {
      reply += "; service " + discovery.service + " for " + discovery.identifier + " (agent " + discovery.agent_id +
               ", window " + std::to_string(discovery.time) + " s)";
      if (!discovery.body.empty()) reply += " data " + compact_json(discovery.body);
    }
    return reply;
  }
  if (command == "requests") {
    if (argument == "clear") {
      impl_->cloud->clear_requests();
      return "ok requests forgotten";
    }
    if (!argument.empty()) return "error usage: requests [clear]";
    const std::vector<zelsim::RecordedRequest> requests = impl_->cloud->requests();
    std::string reply = "ok " + std::to_string(requests.size()) + " request(s)";
    if (requests.size() > kShownRequests) reply += ", the latest " + std::to_string(kShownRequests);
    for (std::size_t i = requests.size() - std::min(requests.size(), kShownRequests); i < requests.size(); ++i) {
      reply += "; " + requests[i].method + " " + printable(requests[i].target);
    }
    return reply;
  }
  if (command == "claim" || command == "release") {
    const bool done = command == "claim" ? claim(argument) : release(argument);
    if (!done) return argument.empty() ? "error no device registered" : "error no device " + argument;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return "ok " + impl_->find_device_locked(argument)->agent_id + (command == "claim" ? " claimed" : " released");
  }
  if (command == "send") {
    const auto [handler, body] = split_first_word(rest);
    if (handler.empty()) return "error usage: send HANDLER [TEXT]";
    if (!send_message(handler, body)) return "error no zelbroker link open";
    return impl_->broker->flush(kWriteWait) ? "ok sent to " + handler : "error not written in 5 s: the agent does not read";
  }
  if (command == "raw") {
    const std::optional<std::string> bytes = unescape(rest);
    if (!bytes || bytes->empty()) return "error usage: raw BYTES (\\xHH for any byte, \\\\ for a backslash)";
    if (!impl_->broker->send_raw(*bytes)) return "error no zelbroker link open";
    impl_->print("broker -> raw " + printable(*bytes));
    return impl_->broker->flush(kWriteWait) ? "ok " + std::to_string(bytes->size()) + " byte(s) sent"
                                            : "error not written in 5 s: the agent does not read";
  }
  if (command == "drop") return drop_link() ? "ok link dropped" : "error no zelbroker link open";
  if (command == "wait") {
    const std::optional<long> period = number_in(argument, 0, INT32_MAX);
    if (!period) return "error usage: wait SECONDS";
    advisor_wait(static_cast<std::int32_t>(*period));
    return "ok advisor answers wait " + argument;
  }
  if (command == "connect") {
    advisor_connect();
    return "ok advisor names the zelbroker";
  }
  if (command == "heartbeats") {
    if (argument != "on" && argument != "off") return "error usage: heartbeats on|off";
    set_answer_heartbeats(argument == "on");
    return "ok heartbeats " + argument;
  }
  if (command == "register") {
    if (argument == "accept") set_register_mode(RegisterMode::kAccept);
    else if (argument == "refuse") set_register_mode(RegisterMode::kRefuseWrongSn);
    else if (argument == "fail") set_register_mode(RegisterMode::kFail);
    else return "error usage: register accept|refuse|fail";
    return "ok registrations " + argument;
  }
  if (command == "fault") {
    auto [kind, after_kind] = split_first_word(argument);
    if (kind == "slow") {
      const auto [seconds, path] = split_first_word(after_kind);
      const std::optional<long> delay = number_in(seconds, 1, kMaxSlowSeconds);
      if (!delay) return kFaultUsage;
      zelsim::CloudAnswer late;
      late.delay = std::chrono::seconds(*delay);
      impl_->set_rule(trim(path), Impl::CloudRule{late, true});
      return "ok fault " + argument;
    }
    const auto [path, body] = split_first_word(after_kind);
    if (const std::optional<long> status = number_in(kind, kMinStatus, kMaxStatus)) {
      zelsim::CloudAnswer answer = faulty_answer(CloudFault::kServerError);
      answer.status = static_cast<int>(*status);
      if (!trim(body).empty()) answer.body = trim(body);
      impl_->set_rule(path, Impl::CloudRule{answer});
      return "ok fault " + argument;
    }
    for (const auto& [name, fault] : kFaultNames) {
      if (kind != name || !trim(body).empty()) continue;
      set_cloud_fault(fault, path);
      return "ok fault " + argument;
    }
    return kFaultUsage;
  }
  if (command == "status") {
    const zelsim::BrokerServer& broker = *impl_->broker;
    const zelsim::HttpsServer& cloud = *impl_->cloud;
    return "ok links " + std::to_string(broker.links()) + ", open " + std::to_string(broker.open_links()) +
           ", packets " + std::to_string(broker.packet_count()) + ", heartbeats answered " +
           std::to_string(broker.heartbeats_answered()) + ", cloud requests " + std::to_string(cloud.request_count()) +
           " (" + std::to_string(cloud.stalled_requests()) + " stalled), TLS handshakes " + std::to_string(cloud.full_handshakes()) + " full and " +
           std::to_string(cloud.resumed_handshakes()) + " resumed";
  }
  return "error unknown command '" + command + "' (try help)";
}

UniqueFd stop_signal_fd() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return UniqueFd(::signalfd(-1, &stop_signals, SFD_CLOEXEC));
}

UniqueFd listen_loopback(std::uint16_t port, int backlog, std::uint16_t* bound) {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return sock;
  const int on = 1;
  ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(sock.get(), backlog) != 0 ||
      ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return UniqueFd();
  }
  if (bound != nullptr) *bound = ntohs(address.sin_port);
  return sock;
}

}  // namespace zelsim
