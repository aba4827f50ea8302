// The fault and soak fixture: see soak_agent.h.
#include "soak/soak_agent.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fakes/fake_zelbroker.h"

namespace soaktest {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRegisterPath = "/register";
constexpr const char* kClaimedPath = "/claimed";
constexpr const char* kDiscoveryPath = "/discovery";
constexpr const char* kAdvisorPath = "/advisor";
constexpr int kStatusOk = 200;
constexpr int kStatusCreated = 201;
constexpr int kStatusServerError = 500;
constexpr int kStatusNotFound = 404;
// The agent's cloud time-outs in these tests, seconds: a stalled request
// must cost the agent little time.
constexpr const char* kHttpTimeoutSeconds = "2";
// A TLS-looking first byte, text, a NUL and a header end: no HTTP at all.
const std::string kRawGarbage("\x16\x03\x01" "garbage\0\r\n\r\n", 15);

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

zeltest::FakeAnswer json(int status, std::string body) {
  zeltest::FakeAnswer answer;
  answer.status = status;
  answer.headers = {{"Content-Type", "application/json"}};
  answer.body = std::move(body);
  return answer;
}

int count_entries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace

int soak_setting(const char* name, int short_default) {
  const char* text = std::getenv(name);
  if (text == nullptr) return short_default;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0 || value > 1000000) return short_default;
  return static_cast<int>(value);
}

std::optional<ProcessResources> process_resources(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessResources resources;
  resources.descriptors = count_entries(base + "/fd");
  if (resources.descriptors < 0) return std::nullopt;
  std::ifstream status(base + "/status");
  std::string line;
  bool threads_seen = false;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    if (name == "Threads:") {
      fields >> resources.threads;
      threads_seen = true;
    } else if (name == "VmRSS:") {
      fields >> resources.resident_kib;
    }
  }
  if (!threads_seen) return std::nullopt;
  return resources;
}

std::string describe(const ProcessResources& resources) {
  return std::to_string(resources.descriptors) + " descriptors, " + std::to_string(resources.threads) +
         " threads, " + std::to_string(resources.resident_kib) + " KiB resident";
}

const char* fault_name(CloudFault fault) {
  switch (fault) {
    case CloudFault::kNone: return "none";
    case CloudFault::kServerError: return "500";
    case CloudFault::kGarbage: return "garbage body";
    case CloudFault::kRawGarbage: return "not HTTP";
    case CloudFault::kNoAnswer: return "no answer";
    case CloudFault::kCutAnswer: return "cut answer";
    case CloudFault::kStall: return "slower than the time-out";
  }
  return "?";
}

void SoakAgent::SetUp() {
  AgentEndToEnd::SetUp();
  // Our cloud serves with the simulator's certificate, which the agent trusts.
  const std::string folder = dir.file("sim");
  cloud = std::make_unique<zeltest::FakeZelCloud>(folder + "/sim.chain.crt", folder + "/sim.key");
  cloud->set_handler([this](const zeltest::RecordedRequest& request) { return answer(request); });
  set("zel_register_url", cloud->url(kRegisterPath));
  set("zel_claimed_url", cloud->url(kClaimedPath));
  set("zel_discovery_url", cloud->url(kDiscoveryPath));
  set("zel_advisor_url", cloud->url(kAdvisorPath));
  set("zel_http_request_timeout", kHttpTimeoutSeconds);
  set("zel_http_connect_timeout", kHttpTimeoutSeconds);
}

void SoakAgent::TearDown() {
  if (cloud) cloud->release_stalled();
  AgentEndToEnd::TearDown();
  if (cloud) cloud->stop();
  cloud.reset();
}

void SoakAgent::set_cloud_fault(CloudFault new_fault, const std::string& path_prefix) {
  {
    std::lock_guard<std::mutex> lock(fault_mutex);
    fault = new_fault;
    fault_prefix = path_prefix;
  }
  if (new_fault == CloudFault::kNone) cloud->release_stalled();
}

void SoakAgent::set_claimed(bool value) { claimed.store(value); }

std::size_t SoakAgent::cloud_requests(const std::string& path_prefix) const {
  std::size_t count = 0;
  for (const zeltest::RecordedRequest& request : cloud->requests()) {
    if (starts_with(request.path(), path_prefix)) ++count;
  }
  return count;
}

ProcessResources SoakAgent::agent_resources() const {
  std::optional<ProcessResources> resources = agent ? process_resources(agent->pid()) : std::nullopt;
  return resources.value_or(ProcessResources{});
}

bool SoakAgent::control_serves() const {
  // With discovery disabled (the default) send_discovery is answered 0 and
  // changes nothing: a probe that leaves the links alone.
  return control({"send_discovery", "-s", agenttest::kService}).status == 0;
}

bool SoakAgent::linked_on(std::size_t link) const {
  zeltest::FakeZelbroker& broker = sim->broker();
  if (broker.open_links() == 0 || broker.links() != link + 1) return false;
  for (const zeltest::BrokerPacket& packet : broker.packets()) {
    if (packet.type == 0 && packet.link == link) return true;
  }
  return false;
}

zeltest::FakeAnswer SoakAgent::answer(const zeltest::RecordedRequest& request) {
  const std::string path = request.path();
  CloudFault active = CloudFault::kNone;
  {
    std::lock_guard<std::mutex> lock(fault_mutex);
    if (starts_with(path, fault_prefix)) active = fault;
  }
  zeltest::FakeAnswer faulty;
  switch (active) {
    case CloudFault::kNone:
      break;
    case CloudFault::kServerError:
      return json(kStatusServerError, R"({"error":"internal"})");
    case CloudFault::kGarbage:
      return json(kStatusOk, "<html><body>502 Bad Gateway</body>\x01\xff");
    case CloudFault::kRawGarbage:
      faulty.behaviour = zeltest::FakeBehaviour::kRaw;
      faulty.raw = kRawGarbage;
      return faulty;
    case CloudFault::kNoAnswer:
      faulty.behaviour = zeltest::FakeBehaviour::kCloseWithoutAnswer;
      return faulty;
    case CloudFault::kCutAnswer:
      faulty = json(kStatusOk, R"({"deviceId":"SOAK-AGENT-1","claimCode":"SOAK-CLAIM-1"})");
      faulty.behaviour = zeltest::FakeBehaviour::kCloseAfterHeaders;
      return faulty;
    case CloudFault::kStall:
      faulty.behaviour = zeltest::FakeBehaviour::kStall;
      return faulty;
  }

  if (starts_with(path, kRegisterPath)) {
    return json(kStatusCreated, std::string(R"({"deviceId":")") + kAgentId + R"(","claimCode":")" +
                                    kClaimCode + R"("})");
  }
  if (starts_with(path, kClaimedPath)) {
    return json(kStatusOk, std::string(R"({"_type":"Device","deviceId":")") + kAgentId +
                               R"(","claimed":)" + (claimed.load() ? "true" : "false") + "}");
  }
  if (starts_with(path, kDiscoveryPath)) return json(kStatusOk, "");
  if (starts_with(path, kAdvisorPath)) {
    return json(kStatusOk, R"({"_type":"ActionConnect","broker":"localhost","port":")" +
                               std::to_string(sim->broker_port()) +
                               R"(","agentKeepalive":"60,5,10","brokerKeepalive":"30,5,10",)"
                               R"("agentHeartbeat":"5"})");
  }
  return json(kStatusNotFound, R"({"error":"unknown path"})");
}

}  // namespace soaktest
