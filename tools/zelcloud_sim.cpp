// The simulator's state and command interface over the simulated zelCloud and
// the simulated zelbroker. Those servers do the protocol work; this module decides
// the answers (a device registry, claim flags, the advisor's choice), keeps
// the discovery log and turns what happens into readable lines.
#include "zelcloud_sim.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "broker_server.h"
#include "cloud_server.h"
#include "cert_authority.h"

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

zelsim::CloudAnswer json_answer(int status, const std::string& body) {
  zelsim::CloudAnswer answer;
  answer.status = status;
  answer.body = body;
  answer.headers.emplace_back("Content-Type", "application/json");
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
    "ok commands: devices | discoveries | claim [ID] | release [ID] | send HANDLER [TEXT] | drop | "
    "wait SECONDS | connect | heartbeats on|off | register accept|refuse|fail | "
    "fault none|500|garbage|raw|close|cut|stall|drip [PATH] | status | help";

// The faults of the "fault" command, by name.
constexpr std::pair<const char*, CloudFault> kFaultNames[] = {
    {"none", CloudFault::kNone},          {"500", CloudFault::kServerError},  {"garbage", CloudFault::kGarbage},
    {"raw", CloudFault::kRawGarbage},     {"close", CloudFault::kNoAnswer},   {"cut", CloudFault::kCutAnswer},
    {"stall", CloudFault::kStall},        {"drip", CloudFault::kDrip},
};

zelsim::CloudAnswer faulty_answer(CloudFault fault) {
  zelsim::CloudAnswer answer;
  switch (fault) {
    case CloudFault::kServerError:
      return json_answer(500, R"({"error":"simulated failure"})");
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
      answer = json_answer(500, R"({"error":"simulated slow failure"})");
      answer.behaviour = zelsim::CloudBehaviour::kDrip;
      answer.delay = std::chrono::milliseconds(kDripIntervalMs);
      break;
    case CloudFault::kNone:
      break;
  }
  return answer;
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
    case 0:
      out << "hello agent-id " << printable(first);
      break;
    case 1:
      out << "hello token (" << first.size() << " bytes)";
      break;
    case 2: {
      std::string body;
      for (std::size_t i = 1; i < parts.size(); ++i) body += parts[i];
      out << "plain message to '" << printable(first) << "': " << printable(body);
      break;
    }
    case 10:
      if (first.size() == kKeepaliveSize) {
        out << "broker keepalive " << read_be(first, 0, 4) << "," << read_be(first, 4, 4) << ","
            << read_be(first, 8, 4);
      } else {
        out << "broker keepalive of " << first.size() << " bytes (expected 12)";
      }
      break;
    case 11:
      if (first.size() == kHeartbeatSize) {
        out << "heartbeat #" << read_be(first, 0, 8) << " at " << static_cast<std::int64_t>(read_be(first, 8, 8));
      } else {
        out << "heartbeat of " << first.size() << " bytes (expected 16)";
      }
      break;
    case 12:
      out << "heartbeat response #" << (first.size() >= 8 ? read_be(first, 0, 8) : 0);
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
  zelsim::CertFiles cert;
  std::unique_ptr<zelsim::CloudServer> cloud;
  std::unique_ptr<zelsim::BrokerServer> broker;

  mutable std::mutex mutex;  // guards everything below
  std::function<void(const std::string&)> printer;
  std::vector<SimDevice> devices;
  std::vector<SimDiscovery> discoveries;
  std::int32_t wait_period = -1;  // -1: connect; otherwise the advisor answers wait
  RegisterMode register_mode = RegisterMode::kAccept;
  CloudFault fault = CloudFault::kNone;
  std::string fault_path;
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
  void print_packets();
};

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
  CloudFault current = CloudFault::kNone;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (path.rfind(fault_path, 0) == 0) current = fault;
  }
  if (current != CloudFault::kNone) {
    reply = faulty_answer(current);
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
      print("broker link " + std::to_string(links_seen) + " accepted");
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
  zelsim::CertOptions cert;
  cert.name = "sim";
  cert.common_name = kBrokerHost;
  cert.dns_names = {kBrokerHost};
  cert.ip_addresses = {"127.0.0.1"};
  impl_->cert = impl_->ca->issue(cert);
  impl_->cloud = std::make_unique<zelsim::CloudServer>(impl_->cert.chain_path, impl_->cert.key_path);
  zelsim::BrokerServer::Options broker_options;
  broker_options.tls = options.broker_tls;
  broker_options.cert_file = impl_->cert.chain_path;
  broker_options.key_file = impl_->cert.key_path;
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
std::uint16_t Simulator::cloud_port() const { return impl_->cloud->port(); }
std::uint16_t Simulator::broker_port() const { return impl_->broker->port(); }
std::string Simulator::ca_file() const { return impl_->ca->ca_cert_path(); }

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
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->fault = fault;
    impl_->fault_path = path_prefix;
  }
  if (fault != CloudFault::kStall) impl_->cloud->release_stalled();
}

std::vector<SimDevice> Simulator::devices() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->devices;
}

std::vector<SimDiscovery> Simulator::discoveries() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->discoveries;
}

zelsim::CloudServer& Simulator::cloud() { return *impl_->cloud; }
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
    return send_message(handler, body) ? "ok sent to " + handler : "error no zelbroker link open";
  }
  if (command == "drop") return drop_link() ? "ok link dropped" : "error no zelbroker link open";
  if (command == "wait") {
    char* end = nullptr;
    const long period = std::strtol(argument.c_str(), &end, 10);
    if (argument.empty() || *end != '\0' || period < 0 || period > INT32_MAX) return "error usage: wait SECONDS";
    advisor_wait(static_cast<std::int32_t>(period));
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
    const auto [kind, path] = split_first_word(argument);
    for (const auto& [name, fault] : kFaultNames) {
      if (kind != name) continue;
      set_cloud_fault(fault, trim(path));
      return "ok fault " + argument;
    }
    return "error usage: fault none|500|garbage|raw|close|cut|stall|drip [PATH]";
  }
  if (command == "status") {
    return "ok links " + std::to_string(impl_->broker->links()) + ", open " +
           std::to_string(impl_->broker->open_links()) + ", packets " + std::to_string(impl_->broker->packet_count()) +
           ", cloud requests " + std::to_string(impl_->cloud->request_count());
  }
  return "error unknown command '" + command + "' (try help)";
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
