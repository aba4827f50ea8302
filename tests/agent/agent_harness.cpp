#include "agent/agent_harness.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "broker_server.h"
#include "https_server.h"
#include "config/config.h"

namespace agenttest {
namespace {

std::optional<Report> parse_report(const std::string& json) {
  std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(json.c_str()), cJSON_Delete);
  if (!root) return std::nullopt;
  const cJSON* event = cJSON_GetObjectItemCaseSensitive(root.get(), "event");
  const cJSON* pid = cJSON_GetObjectItemCaseSensitive(root.get(), "pid");
  if (!cJSON_IsNumber(event) || !cJSON_IsNumber(pid)) return std::nullopt;
  auto flag = [&](const char* name) -> bool { return cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root.get(), name)); };
  return Report{event->valueint, flag("daemon"), pid->valueint, flag("registered"), flag("claimed"),
                flag("connected")};
}

}  // namespace

ReportTest event_is(int event) { return [event](const Report& r) { return r.event == event; }; }

ReportTest connected_is(bool connected) {
  return [connected](const Report& r) { return r.event == 4 && r.connected == connected; };
}

void AgentTest::SetUp() {
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  ::mkdir(dir.file("sim").c_str(), 0700);
  zelsim::SimulatorOptions options;
  options.cert_dir = dir.file("sim");
  options.agent_heartbeat = 1;
  sim = std::make_unique<zelsim::Simulator>(options);
  event_sink = std::make_unique<zeltest::HandlerSink>(dir.file("event_sink.sock"));
  sample_sink = std::make_unique<zeltest::HandlerSink>(dir.file("sample.sock"));
  service_sink = std::make_unique<zeltest::HandlerSink>();
  for (const auto& [key, value] : sim->store_settings()) set(key, value);
  set("zel_handler_event_sink", event_sink->endpoint());
  set("zel_handler_sample", sample_sink->endpoint());
  set(std::string("zel_handler_event_sink_") + kService, service_sink->endpoint());
  set("zel_agent_handler_name", kAgentHandler);
  // Retries after one second: a test waits seconds, not minutes.
  for (const char* key : {"zel_register_aggressive_delay", "zel_advisor_delay", "zel_zelbroker_delay",
                          "zel_claim_delay"}) {
    set(key, "1");
  }
}

void AgentTest::TearDown() {
  if (agent && agent->running()) {
    agent->signal(SIGKILL);
    agent->wait_exit();
  }
  if (HasFailure()) {
    const std::string text = log();
    std::printf("--- agent log (end)\n%s\n--- agent stderr\n%s\n",
                text.substr(text.size() > 12000 ? text.size() - 12000 : 0).c_str(),
                zeltest::read_file(dir.file("agent.err")).c_str());
  }
  agent.reset();
  sim.reset();
  ::unsetenv("PVO_STORE");
}

bool AgentTest::send_large(const std::string& handler, const std::string& body) const {
  constexpr std::size_t kPartMax = 65535;
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < body.size(); at += kPartMax) parts.push_back(body.substr(at, kPartMax));
  return sim->broker().send_plain_message(handler, parts);
}

void AgentTest::set(const std::string& key, const std::string& value) { config_set(key.c_str(), value.c_str()); }

std::optional<std::string> AgentTest::get(const std::string& key) const { return config_get_string(key.c_str()); }

std::vector<std::string> AgentTest::agent_argv(bool daemon) const {
  std::vector<std::string> argv = {zeltest::built_program("src/agent/zelagent"), "--pid-file", pid_file(),
                                   "--log-file", dir.file("agent.log"), "--log-level", "debug", "--hardware-id",
                                   kHardwareId, "--model", "e2e-model", "--ca-file", sim->ca_file()};
  if (!daemon) argv.push_back("--foreground");
  return argv;
}

void AgentTest::start_agent() {
  // The last agent's port is gone before the next one starts.
  ASSERT_TRUE(zeltest::wait_until([] { return !zeltest::control_port_listening(); })) << "127.0.0.1:14369 is taken";
  agent = std::make_unique<zeltest::Process>(agent_argv(), dir.file("agent.out"), dir.file("agent.err"));
  ASSERT_TRUE(zeltest::wait_until(zeltest::control_port_listening)) << "no control listener";
  ASSERT_TRUE(zeltest::wait_until([&] { return first_report_of(agent->pid()).has_value(); })) << "no first report";
}

int AgentTest::stop_agent(int signal_number) {
  if (!agent) return -2;
  agent->signal(signal_number);
  return agent->wait_exit().value_or(-2);
}

std::vector<Report> AgentTest::reports() const {
  std::vector<Report> parsed;
  for (const std::string& payload : event_sink->payloads()) {
    if (std::optional<Report> report = parse_report(payload)) parsed.push_back(*report);
  }
  return parsed;
}

std::optional<Report> AgentTest::first_report_of(int pid) const {
  for (const Report& report : reports()) if (report.pid == pid) return report;
  return std::nullopt;
}

bool AgentTest::wait_report(const ReportTest& matches) const {
  return zeltest::wait_until([&] { return count_reports(matches) > 0; });
}

int AgentTest::count_reports(const ReportTest& matches) const {
  int count = 0;
  for (const Report& report : reports()) count += matches(report) ? 1 : 0;
  return count;
}

zeltest::ProgramResult AgentTest::control(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {zeltest::built_program("src/control/zelagent_control"), "--log_file",
                                   dir.file("control.log"), "-c"};
  argv.insert(argv.end(), args.begin(), args.end());
  return zeltest::run_program(argv);
}

bool AgentTest::wait_logged(const std::string& text) const {
  return zeltest::wait_until([&] { return log().find(text) != std::string::npos; });
}

std::size_t AgentTest::requests_to(const std::string& path) const {
  std::size_t count = 0;
  for (const zelsim::RecordedRequest& request : sim->cloud().requests()) count += request.path() == path ? 1 : 0;
  return count;
}

bool AgentTest::link_up(std::size_t link) const {
  zelsim::BrokerServer& broker = sim->broker();
  for (const zelsim::BrokerPacket& packet : broker.packets()) {
    if (packet.type == 0 && packet.link == link) return !broker.wait_for_link_closed(link, 0ms);
  }
  return false;
}

}  // namespace agenttest
