// The agent end to end: the real zelagent program against the simulated
// zelCloud and zelbroker, with local handlers recording what they receive
// and the real zelagent_control driving it.
#include <cjson/cJSON.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>

#include "agent/agent_harness.h"
#include "fakes/fake_zelbroker.h"
#include "fakes/fake_zelcloud.h"

namespace agenttest {
namespace {

bool is_event(const Report& report, int event) { return report.event == event; }

// The "claimed" member of a service notification for `service`; nullopt when
// the text is not one.
std::optional<bool> notified_claimed(const std::string& json, const std::string& service) {
  std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(json.c_str()), cJSON_Delete);
  if (!root) return std::nullopt;
  const cJSON* name = cJSON_GetObjectItemCaseSensitive(root.get(), "service");
  const cJSON* claimed = cJSON_GetObjectItemCaseSensitive(root.get(), "claimed");
  if (!cJSON_IsString(name) || name->valuestring != service || !cJSON_IsBool(claimed)) return std::nullopt;
  return cJSON_IsTrue(claimed);
}

std::size_t count_reports(const std::vector<Report>& reports, const std::function<bool(const Report&)>& matches) {
  std::size_t count = 0;
  for (const Report& report : reports) count += matches(report) ? 1 : 0;
  return count;
}

bool hello_on_link(zeltest::FakeZelbroker& broker, std::size_t link) {
  for (const zeltest::BrokerPacket& packet : broker.packets()) {
    if (packet.type == 0 && packet.link == link) return true;
  }
  return false;
}

constexpr auto kConnected = [](const Report& r) { return r.event == 4 && r.connected; };
constexpr auto kDisconnected = [](const Report& r) { return r.event == 4 && !r.connected; };

// The pids of the children of every thread of `pid`.
std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return children;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/children");
    pid_t child = 0;
    while (in >> child) children.push_back(child);
  }
  ::closedir(dir);
  return children;
}

TEST_F(AgentEndToEnd, FirstStartRegistersStoresTheIdentityAndReportsInOrder) {
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_reports(3));
  const std::vector<Report> seen = reports();
  SCOPED_TRACE("first report, registered, connected");
  EXPECT_EQ(seen[0].event, 0);
  EXPECT_EQ(seen[0].pid, agent->pid());
  EXPECT_FALSE(seen[0].daemon);
  EXPECT_FALSE(seen[0].registered);
  EXPECT_FALSE(seen[0].connected);
  EXPECT_EQ(seen[1].event, 2);
  EXPECT_TRUE(seen[1].registered);
  EXPECT_FALSE(seen[1].connected);
  EXPECT_EQ(seen[2].event, 4);
  EXPECT_TRUE(seen[2].registered);
  EXPECT_TRUE(seen[2].connected);

  ASSERT_EQ(sim->devices().size(), 1u);
  const zelsim::SimDevice device = sim->devices()[0];
  EXPECT_EQ(device.hardware_id, kHardwareId);
  EXPECT_EQ(device.model, kModel);
  EXPECT_EQ(get("zel_agent_id"), device.agent_id);
  EXPECT_EQ(get("zel_agent_claim_code"), device.claim_code);
  EXPECT_EQ(get("zel_agent_registered"), "1");
  EXPECT_EQ(get("zel_agent_pid"), std::to_string(agent->pid()));
  EXPECT_EQ(requests_to("POST", "/register"), 1u);
  EXPECT_EQ(zeltest::read_file(pid_file()), std::to_string(agent->pid()) + "\n");
  ASSERT_TRUE(sim->broker().wait_for_packets(1));
  EXPECT_EQ(sim->broker().packets()[0].type, 0);
  EXPECT_EQ(sim->broker().packets()[0].parts, std::vector<std::string>{device.agent_id});

  EXPECT_EQ(stop_agent(), 0);
  EXPECT_FALSE(zeltest::file_exists(pid_file()));
  EXPECT_TRUE(wait_report(kDisconnected));
  EXPECT_EQ(get("zel_agent_connected"), "0");
}

TEST_F(AgentEndToEnd, RestartWithTheSameStoreReadsTheStateBackAndDoesNotRegisterAgain) {
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done: the zelbroker link waits"));
  // Not claimed, not forced, no discovery: the link may not run.
  EXPECT_EQ(requests_to("GET", "/advisor/v2"), 0u);
  EXPECT_EQ(sim->broker().links(), 0u);

  const ToolRun claim = control({"on_claim", "-s", kService, "-r", "true"});
  EXPECT_EQ(claim.status, 0);
  EXPECT_EQ(claim.out, "{\"result\":0}\n");
  ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 3 && r.claimed; }));
  ASSERT_TRUE(wait_report(kConnected));
  EXPECT_EQ(get("zel_agent_claimed"), "1");
  ASSERT_EQ(stop_agent(), 0);

  const std::size_t before = reports().size();
  start_agent();
  const Report first = reports()[before];
  EXPECT_EQ(first.event, 0);
  EXPECT_EQ(first.pid, agent->pid());
  EXPECT_TRUE(first.registered);
  EXPECT_TRUE(first.claimed);
  EXPECT_FALSE(first.connected);
  // Claimed: the rules let the link start at once.
  ASSERT_TRUE(wait_logged("Start-up done: the zelbroker link is running"));
  ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(reports(), kConnected) == 2; }));
  EXPECT_EQ(requests_to("POST", "/register"), 1u);
  EXPECT_TRUE(logged("Device already registered as '" + agent_id() + "'"));
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, DiscoveryWindowKeepsTheLinkUpUntilTheClaimArrives) {
  set("zel_use_discovery", "1");
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));
  // The user claims the device in the zelCloud during the window; the agent
  // learns of it when the window ends (whenever its link came up).
  ASSERT_TRUE(sim->claim());

  const ToolRun discovery = control({"send_discovery", "-s", kService, "-t", "2"});
  EXPECT_EQ(discovery.status, 0);
  ASSERT_EQ(sim->discoveries().size(), 1u);
  const zelsim::SimDiscovery seen = sim->discoveries()[0];
  EXPECT_EQ(seen.service, kService);
  EXPECT_EQ(seen.identifier, kHardwareId);
  EXPECT_EQ(seen.time, 2);
  EXPECT_EQ(seen.agent_id, agent_id());

  ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 3 && r.claimed; }));
  ASSERT_TRUE(wait_logged("discovery thread ended."));
  ASSERT_TRUE(wait_report(kConnected));
  EXPECT_TRUE(zeltest::wait_until([&] { return link_open(); }));
  EXPECT_EQ(count_reports(reports(), kDisconnected), 0u);
  EXPECT_EQ(get("zel_agent_claimed"), "1");
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, DiscoveryWindowWithoutClaimStopsTheLink) {
  set("zel_use_discovery", "1");
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));
  EXPECT_EQ(control({"send_discovery", "-s", kService, "-t", "3"}).status, 0);
  ASSERT_TRUE(wait_logged("starting zelbroker thread."));
  ASSERT_TRUE(wait_logged("discovery thread ended."));
  ASSERT_TRUE(wait_logged("zelbroker thread stoped."));
  EXPECT_FALSE(link_open());
  // Every connected report (if the link came up in time) has its disconnected one.
  EXPECT_TRUE(zeltest::wait_until(
      [&] { return count_reports(reports(), kConnected) == count_reports(reports(), kDisconnected); }));
  EXPECT_EQ(get("zel_agent_connected"), "0");
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, EveryControlCommandAgainstTheRunningAgent) {
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));

  {
    SCOPED_TRACE("send_discovery while discovery is disabled");
    EXPECT_EQ(control({"send_discovery", "-s", kService}).status, 0);
    EXPECT_TRUE(wait_logged("Discovery is disabled."));
    EXPECT_TRUE(sim->discoveries().empty());
  }
  set("zel_use_discovery", "1");
  {
    SCOPED_TRACE("on_claim: claimed, the service told, the link started");
    EXPECT_EQ(control({"on_claim", "-s", kService, "-r", "false"}).status, 0);
    ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 3 && r.claimed; }));
    ASSERT_TRUE(service_sink->wait_for(1));
    EXPECT_EQ(notified_claimed(service_sink->payloads()[0], kService), std::optional<bool>(true))
        << service_sink->payloads()[0];
    ASSERT_TRUE(wait_report(kConnected));
  }
  {
    SCOPED_TRACE("on_moravault");
    EXPECT_EQ(control({"on_moravault", "-s", kService, "-r", "true"}).status, 0);
  }
  {
    SCOPED_TRACE("pause_connections: the link stops, discoveries are refused");
    EXPECT_EQ(control({"pause_connections"}).status, 0);
    ASSERT_TRUE(wait_report(kDisconnected));
    EXPECT_TRUE(sim->broker().wait_for_link_closed(0));
    EXPECT_TRUE(sim->broker().closed_by_agent(0));
    const ToolRun refused = control({"send_discovery", "-s", kService});
    EXPECT_EQ(refused.status, 246);
    EXPECT_EQ(refused.out, "{\"result\":-10}\n");
    EXPECT_EQ(control({"on_release", "-s", kService, "-r", "false"}).status, 246);
    EXPECT_EQ(service_sink->received(), 1u);
  }
  {
    SCOPED_TRACE("resume_connections with a carrier: the claimed device reconnects");
    EXPECT_EQ(control({"resume_connections", "-carrier_id", "CARRIER-7"}).status, 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(reports(), kConnected) == 2; }));
    bool carrier_seen = false;
    for (const zeltest::RecordedRequest& request : sim->cloud().requests()) {
      if (request.path() == "/advisor/v2" && request.header("X-Carrier-ID") == "CARRIER-7") carrier_seen = true;
    }
    EXPECT_TRUE(carrier_seen);
  }
  {
    SCOPED_TRACE("on_release without discovery: not claimed, the service told, the link stopped");
    set("zel_use_discovery", "0");
    EXPECT_EQ(control({"on_release", "-s", kService, "-r", "false"}).status, 0);
    ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 3 && !r.claimed; }));
    ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(reports(), kDisconnected) == 2; }));
    ASSERT_TRUE(service_sink->wait_for(2));
    EXPECT_EQ(notified_claimed(service_sink->payloads()[1], kService), std::optional<bool>(false))
        << service_sink->payloads()[1];
    EXPECT_EQ(get("zel_agent_claimed"), "0");
  }
  {
    SCOPED_TRACE("a command the tool does not know");
    EXPECT_EQ(control({"on_carrier_changed", "-id", "42"}).status, 250);
  }
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, BrokerLinkDropIsFollowedByAReconnection) {
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(kConnected));
  ASSERT_TRUE(zeltest::wait_until([&] { return hello_on_link(sim->broker(), 0); }));

  ASSERT_TRUE(sim->drop_link());
  ASSERT_TRUE(wait_report(kDisconnected));
  ASSERT_TRUE(zeltest::wait_until([&] { return hello_on_link(sim->broker(), 1); }));
  ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(reports(), kConnected) == 2; }));
  EXPECT_GE(requests_to("GET", "/advisor/v2"), 2u);
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, HeartbeatLossIsFollowedByAReconnectionThatLasts) {
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(kConnected));
  zeltest::FakeZelbroker& broker = sim->broker();
  ASSERT_TRUE(zeltest::wait_until([&] { return broker.heartbeats_answered() >= 1; }));
  ASSERT_TRUE(wait_logged("heartbeat OK!"));

  sim->set_answer_heartbeats(false);
  ASSERT_TRUE(wait_logged("latest heartbeat is not received!"));
  ASSERT_TRUE(broker.wait_for_link_closed(0, 20s));
  EXPECT_TRUE(broker.closed_by_agent(0));
  sim->set_answer_heartbeats(true);
  ASSERT_TRUE(zeltest::wait_until([&] { return hello_on_link(broker, 1); }));

  // The heartbeat lost with the old link must not drop the new one: the new
  // link sees several answered heartbeats and stays open.
  const std::size_t answered = broker.heartbeats_answered();
  ASSERT_TRUE(zeltest::wait_until([&] { return broker.heartbeats_answered() >= answered + 3; }, 30s));
  EXPECT_FALSE(broker.wait_for_link_closed(1, 0ms));
  EXPECT_EQ(broker.links(), 2u);
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, MessagesFromTheZelbrokerReachHandlersOrRunAsControlRequests) {
  const std::string program = dir.file("program_handler.sh");
  const std::string program_out = dir.file("program.out");
  zeltest::write_file(program, "#!/bin/sh\ncat > " + program_out + ".tmp && mv " + program_out + ".tmp " +
                                   program_out + "\n");
  ::chmod(program.c_str(), 0755);
  set("zel_handler_program", program);
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(kConnected));

  ASSERT_TRUE(sim->send_message("sample", "hello sample"));
  ASSERT_TRUE(sample_sink->wait_for(1));
  EXPECT_EQ(sample_sink->payloads()[0], "hello sample");

  ASSERT_TRUE(sim->send_message("program", "to a program"));
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::read_file(program_out) == "to a program"; }));
  // The handler program is not left behind as a zombie of the agent.
  EXPECT_TRUE(zeltest::wait_until([&] {
    for (pid_t child : children_of(agent->pid())) {
      if (process_ended(child)) return false;
    }
    return true;
  }));

  // A control request addressed to the agent's own handler name.
  ASSERT_TRUE(sim->send_message(kAgentHandler, "{\"command\":\"pause_connections\"}"));
  ASSERT_TRUE(wait_logged("Stop connections."));
  ASSERT_TRUE(wait_report(kDisconnected));
  EXPECT_TRUE(sim->broker().wait_for_link_closed(0));
  EXPECT_TRUE(sim->broker().closed_by_agent(0));
  EXPECT_EQ(sample_sink->received(), 1u);

  EXPECT_EQ(control({"resume_connections"}).status, 0);
  ASSERT_TRUE(zeltest::wait_until([&] { return hello_on_link(sim->broker(), 1); }));
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, SigtermDeliversEveryQueuedMessageAndRemovesThePidFile) {
  // A handler that is slow to take its connections: its backlog holds one,
  // so the message thread waits on the second while the rest queue up.
  const std::string slow_path = dir.file("slow.sock");
  const int slow_fd = zeltest::listen_unix(slow_path, 0);
  ASSERT_GE(slow_fd, 0);
  std::unique_ptr<zeltest::HandlerSink> slow;
  set("zel_handler_slow", slow_path);
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(kConnected));

  constexpr int kMessages = 5;
  for (int i = 1; i <= kMessages; ++i) ASSERT_TRUE(sim->send_message("slow", "message " + std::to_string(i)));
  ASSERT_TRUE(sim->broker().flush());
  ASSERT_TRUE(zeltest::wait_until([&] { return times_logged("Added message to queue.") >= 3 + kMessages; }));

  agent->signal(SIGTERM);
  ASSERT_TRUE(wait_logged("Received SIGTERM, shutting down."));
  slow = std::make_unique<zeltest::HandlerSink>(slow_fd, 0, slow_path);
  ASSERT_EQ(agent->wait_exit(30s), std::optional<int>(0));

  ASSERT_TRUE(slow->wait_for(kMessages));
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(slow->payloads()[i], "message " + std::to_string(i + 1));
  EXPECT_TRUE(wait_report(kDisconnected));
  EXPECT_FALSE(zeltest::file_exists(pid_file()));
}

TEST_F(AgentEndToEnd, SecondAgentIsRefusedAndLeavesNoTrace) {
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));
  // The registered report travels through the message thread: let it land
  // before counting, so that only the second agent could add one.
  ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 2 && r.registered; }));
  const std::size_t reports_before = reports().size();
  const std::size_t requests_before = sim->cloud().request_count();
  const std::string first_pid = std::to_string(agent->pid());

  for (const bool foreground : {true, false}) {
    SCOPED_TRACE(foreground ? "foreground" : "daemon");
    const std::string err = dir.file(std::string("second_") + (foreground ? "fg" : "daemon") + ".err");
    Process second(agent_argv(foreground), {}, "", dir.file("second.out"), err);
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.wait_exit(), std::optional<int>(1));
    EXPECT_NE(zeltest::read_file(err).find(pid_file()), std::string::npos) << zeltest::read_file(err);
  }
  EXPECT_EQ(zeltest::read_file(pid_file()), first_pid + "\n");
  EXPECT_EQ(get("zel_agent_pid"), first_pid);
  EXPECT_EQ(sim->cloud().request_count(), requests_before);
  EXPECT_EQ(reports().size(), reports_before);
  EXPECT_TRUE(agent->running());
  EXPECT_EQ(stop_agent(SIGINT), 0);
}

TEST_F(AgentEndToEnd, DaemonDetachesAndResolvesRelativePaths) {
  set("zel_force_connection", "1");
  // Relative paths are taken from the directory the agent was started in,
  // although the daemon itself runs in "/".
  std::vector<std::string> argv = {zeltest::built_program("src/agent/zelagent"), "--pid-file", "agent.pid",
                                   "--log-file", "agent.log", "--log-level", "debug", "--hardware-id",
                                   kHardwareId, "--model", kModel, "--ca-file", sim->ca_file()};
  Process launcher(argv, {{"PVO_STORE", "store"}}, dir.path(), dir.file("agent.out"), dir.file("agent.err"));
  ASSERT_EQ(launcher.wait_exit(), std::optional<int>(0)) << zeltest::read_file(dir.file("agent.err"));
  ASSERT_TRUE(zeltest::wait_until([&] { return !zeltest::read_file(pid_file()).empty(); }));
  const pid_t daemon_pid = static_cast<pid_t>(std::stol(zeltest::read_file(pid_file())));
  EXPECT_NE(daemon_pid, launcher.pid());
  ASSERT_TRUE(wait_report(kConnected));
  const Report first = reports()[0];
  EXPECT_EQ(first.event, 0);
  EXPECT_TRUE(first.daemon);
  EXPECT_EQ(first.pid, daemon_pid);

  ASSERT_EQ(::kill(daemon_pid, SIGTERM), 0);
  EXPECT_TRUE(zeltest::wait_until([&] { return process_ended(daemon_pid); }, 30s));
  EXPECT_FALSE(zeltest::file_exists(pid_file()));
  EXPECT_TRUE(logged("zelagent stopped."));
}

TEST_F(AgentEndToEnd, SighupSendsARefreshReport) {
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));
  agent->signal(SIGHUP);
  ASSERT_TRUE(wait_report([](const Report& r) { return is_event(r, 1); }));
  EXPECT_TRUE(agent->running());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, RegistrationRefusedWithWrongSnIsLoggedAndRetried) {
  sim->set_register_mode(zelsim::RegisterMode::kRefuseWrongSn);
  start_agent();
  ASSERT_TRUE(wait_logged("Found wrong_sn error code."));
  ASSERT_TRUE(wait_logged("Registration refused with error code 1062 (wrong_sn)"));
  EXPECT_TRUE(logged(kHardwareId));
  EXPECT_FALSE(get("zel_agent_id").has_value());
  sim->set_register_mode(zelsim::RegisterMode::kAccept);
  ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 2 && r.registered; }));
  EXPECT_GE(requests_to("POST", "/register"), 2u);
  EXPECT_EQ(get("zel_agent_id"), agent_id());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentEndToEnd, MissingCloudUrlRefusesTheStartNamingTheKey) {
  set("zel_advisor_url", "");
  for (const bool foreground : {true, false}) {
    SCOPED_TRACE(foreground ? "foreground" : "daemon");
    const std::string err = dir.file(std::string("missing_") + (foreground ? "fg" : "daemon") + ".err");
    Process refused(agent_argv(foreground), {}, "", dir.file("agent.out"), err);
    EXPECT_EQ(refused.wait_exit(), std::optional<int>(1));
    const std::string text = zeltest::read_file(err);
    EXPECT_NE(text.find("zel_advisor_url"), std::string::npos) << text;
    EXPECT_NE(text.find("pvo set zel_advisor_url"), std::string::npos) << text;
    EXPECT_FALSE(zeltest::file_exists(pid_file()));
  }
  EXPECT_EQ(event_sink->received(), 0u);
  EXPECT_EQ(sim->cloud().request_count(), 0u);
}

TEST_F(AgentEndToEnd, UnusablePidFileRefusesTheStartBeforeDetaching) {
  // A path under a regular file cannot be created, not even by root.
  zeltest::write_file(dir.file("plain"), "");
  const std::string bad_pid_file = dir.file("plain/agent.pid");
  std::vector<std::string> argv = agent_argv(false);
  for (std::size_t i = 0; i + 1 < argv.size(); ++i) {
    if (argv[i] == "--pid-file") argv[i + 1] = bad_pid_file;
  }
  Process refused(argv, {}, "", dir.file("agent.out"), dir.file("agent.err"));
  EXPECT_EQ(refused.wait_exit(), std::optional<int>(1));
  const std::string text = zeltest::read_file(dir.file("agent.err"));
  EXPECT_NE(text.find("cannot create the pid file " + bad_pid_file), std::string::npos) << text;
  EXPECT_EQ(event_sink->received(), 0u);
  EXPECT_EQ(sim->cloud().request_count(), 0u);
}

}  // namespace
}  // namespace agenttest
