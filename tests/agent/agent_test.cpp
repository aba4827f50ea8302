// The agent end to end: the real zelagent against the simulated zelCloud and
// zelbroker, driven by the real zelagent_control, observed through its
// handlers, its store, its log and what the simulator saw.
#include <cjson/cJSON.h>
#include <sys/stat.h>

#include "agent/agent_harness.h"
#include "broker_server.h"
#include "https_server.h"

namespace agenttest {
namespace {

const ReportTest kClaimed = [](const Report& r) { return r.event == 3 && r.claimed; };
const ReportTest kReleased = [](const Report& r) { return r.event == 3 && !r.claimed; };

// A service notification's members, whatever its layout: the service, then "claimed" or "released".
std::string notified(const std::string& json) {
  std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(json.c_str()), cJSON_Delete);
  const cJSON* service = cJSON_GetObjectItemCaseSensitive(root.get(), "service");
  const cJSON* claimed = cJSON_GetObjectItemCaseSensitive(root.get(), "claimed");
  if (cJSON_GetArraySize(root.get()) != 2 || !cJSON_IsString(service) || !cJSON_IsBool(claimed)) return json;
  return service->valuestring + std::string(cJSON_IsTrue(claimed) ? " claimed" : " released");
}

TEST_F(AgentTest, FirstStartRegistersReportsInOrderAndStopsCleanly) {
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(connected_is(true)));
  const std::vector<Report> seen = reports();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0].event, 0);
  EXPECT_EQ(seen[0].pid, agent->pid());
  EXPECT_FALSE(seen[0].daemon || seen[0].registered || seen[0].connected);
  EXPECT_TRUE(seen[1].event == 2 && seen[1].registered && !seen[1].connected);
  EXPECT_TRUE(seen[2].event == 4 && seen[2].registered && seen[2].connected);

  ASSERT_EQ(sim->devices().size(), 1u);
  const zelsim::SimDevice device = sim->devices()[0];
  EXPECT_EQ(device.hardware_id, kHardwareId);
  EXPECT_EQ(device.model, "e2e-model");
  EXPECT_EQ(get("zel_agent_id"), device.agent_id);
  EXPECT_EQ(get("zel_agent_claim_code"), device.claim_code);
  EXPECT_EQ(get("zel_agent_registered"), "1");
  EXPECT_EQ(get("zel_agent_pid"), std::to_string(agent->pid()));
  EXPECT_EQ(zeltest::read_file(pid_file()), std::to_string(agent->pid()) + "\n");
  // Every later request carries the identity.
  const zelsim::RecordedRequest advisor = sim->cloud().requests().back();
  EXPECT_EQ(advisor.path(), "/advisor/v2");
  EXPECT_EQ(advisor.header("Authorization"), device.agent_id + ":" + device.claim_code);
  // The hello names the agent; the broker keepalive the advisor gave follows.
  ASSERT_TRUE(sim->broker().wait_for_packets(2));
  const std::vector<zelsim::BrokerPacket> packets = sim->broker().packets();
  EXPECT_EQ(packets[0].type, 0);
  EXPECT_EQ(packets[0].parts, std::vector<std::string>{device.agent_id});
  EXPECT_EQ(packets[1].type, 10);
  EXPECT_EQ(packets[1].parts, std::vector<std::string>{std::string("\0\0\0\x1e\0\0\0\x05\0\0\0\x0a", 12)});

  agent->signal(SIGHUP);
  ASSERT_TRUE(wait_report(event_is(1)));
  EXPECT_EQ(stop_agent(), 0);
  EXPECT_FALSE(zeltest::file_exists(pid_file()));
  EXPECT_TRUE(wait_report(connected_is(false)));
  EXPECT_EQ(get("zel_agent_connected"), "0");
}

TEST_F(AgentTest, PlainTcpBrokerCarriesTheLinkBothWays) {
  zelsim::SimulatorOptions options;
  options.cert_dir = dir.file("sim");
  options.broker_tls = false;
  sim = std::make_unique<zelsim::Simulator>(options);  // in place of the TLS one
  for (const auto& [key, value] : sim->store_settings()) set(key, value);
  set("zel_broker_ssl", "0");
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(connected_is(true)));
  ASSERT_TRUE(sim->broker().wait_for_packets(1));
  EXPECT_EQ(sim->broker().packets()[0].parts, std::vector<std::string>{sim->devices().at(0).agent_id});
  ASSERT_TRUE(sim->send_message("sample", "in the clear"));
  ASSERT_TRUE(sample_sink->wait_for(1));
  EXPECT_EQ(sample_sink->payloads()[0], "in the clear");
}

TEST_F(AgentTest, RestartReadsTheStoredStateBackAndDoesNotRegisterAgain) {
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done: the zelbroker link waits"));
  EXPECT_EQ(requests_to("/advisor/v2"), 0u);  // not claimed, not forced, no window
  const zeltest::ProgramResult claim = control({"on_claim", "-s", kService, "-r", "true"});
  EXPECT_EQ(claim.status, 0);
  EXPECT_EQ(claim.out, "{\"result\":0}\n");
  ASSERT_TRUE(wait_report(kClaimed));
  ASSERT_TRUE(wait_report(connected_is(true)));
  ASSERT_EQ(stop_agent(), 0);

  start_agent();
  const std::optional<Report> first = first_report_of(agent->pid());
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->event == 0 && first->registered && first->claimed && !first->connected);
  ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(connected_is(true)) == 2; }));
  EXPECT_EQ(requests_to("/register"), 1u);
  EXPECT_EQ(stop_agent(), 0);
}

// An identity the agent cannot use, found in the store, is replaced by a new
// registration (and the new one is used on the next start).
TEST_F(AgentTest, AStoredIdentityTheAgentCannotUseLeadsToANewRegistration) {
  const std::pair<const char*, const char*> stored[] = {{"", "c1"}, {"dev-9", "c1"}, {"AB-1", ""}};
  std::size_t registrations = 0;
  for (const auto& [id, code] : stored) {
    SCOPED_TRACE(std::string("id '") + id + "', claim code '" + code + "'");
    set("zel_agent_id", id);
    set("zel_agent_claim_code", code);
    set("zel_agent_registered", "1");
    start_agent();
    ++registrations;
    ASSERT_TRUE(zeltest::wait_until([&] {
      return zeltest::count_of(log(), "Device registered as") == static_cast<int>(registrations);
    }));
    EXPECT_EQ(requests_to("/register"), registrations);
    EXPECT_EQ(get("zel_agent_id"), sim->devices().back().agent_id);
    EXPECT_EQ(stop_agent(), 0);
  }
  start_agent();
  ASSERT_TRUE(wait_logged("Device already registered as"));
  EXPECT_EQ(requests_to("/register"), registrations);
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentTest, RegistrationRefusedAsWrongSnIsRetriedQuicklyAtFirst) {
  set("zel_register_delay", "600");  // the slow schedule would outlast the test
  sim->set_register_mode(zelsim::RegisterMode::kRefuseWrongSn);
  start_agent();
  ASSERT_TRUE(wait_logged("Registration refused with error code 1062 (wrong_sn)"));
  EXPECT_FALSE(get("zel_agent_id"));
  sim->set_register_mode(zelsim::RegisterMode::kAccept);
  ASSERT_TRUE(wait_report([](const Report& r) { return r.event == 2 && r.registered; }));
  EXPECT_GE(requests_to("/register"), 2u);
  EXPECT_EQ(stop_agent(), 0);
}

// A discovery opens a window during which the link runs; at its end the
// agent asks whether the device was claimed and keeps the link only then.
TEST_F(AgentTest, DiscoveryWindowKeepsTheLinkOnlyForAClaimedDevice) {
  set("zel_use_discovery", "1");
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));
  const std::string service = "svc &#x?";  // reaches the cloud whole
  EXPECT_EQ(control({"send_discovery", "-s", service, "-t", "1"}).status, 0);
  ASSERT_EQ(sim->discoveries().size(), 1u);
  EXPECT_EQ(sim->discoveries()[0].service, service);
  EXPECT_EQ(sim->discoveries()[0].identifier, kHardwareId);
  EXPECT_EQ(sim->discoveries()[0].time, 1);
  ASSERT_TRUE(wait_logged("zelbroker thread stoped."));
  EXPECT_TRUE(zeltest::wait_until([&] { return sim->broker().open_links() == 0; }));

  ASSERT_TRUE(sim->claim());
  EXPECT_EQ(control({"send_discovery", "-s", kService, "-t", "1"}).status, 0);
  ASSERT_TRUE(wait_report(kClaimed));
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::count_of(log(), "discovery thread ended.") == 2; }));
  ASSERT_TRUE(zeltest::wait_until([&] { return sim->broker().open_links() == 1; }));
  EXPECT_EQ(zeltest::count_of(log(), "zelbroker thread stoped."), 1);
  EXPECT_EQ(get("zel_agent_claimed"), "1");
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentTest, EveryControlCommandAgainstTheRunningAgent) {
  start_agent();
  ASSERT_TRUE(wait_logged("Start-up done"));
  {
    SCOPED_TRACE("send_discovery while discovery is disabled: answered 0, nothing sent");
    EXPECT_EQ(control({"send_discovery", "-s", kService}).status, 0);
    EXPECT_TRUE(wait_logged("Discovery is disabled."));
    EXPECT_TRUE(sim->discoveries().empty());
  }
  set("zel_use_discovery", "1");
  {
    SCOPED_TRACE("on_claim: claimed whatever -r says, the service told, the link up");
    EXPECT_EQ(control({"on_claim", "-s", kService, "-r", "false"}).status, 0);
    ASSERT_TRUE(wait_report(kClaimed));
    ASSERT_TRUE(service_sink->wait_for(1));
    EXPECT_EQ(notified(service_sink->payloads()[0]), kService + std::string(" claimed"));
    ASSERT_TRUE(wait_report(connected_is(true)));
    EXPECT_EQ(control({"on_moravault", "-s", kService, "-r", "true"}).status, 0);
  }
  {
    SCOPED_TRACE("pause: the link stops, discoveries and releases are refused");
    EXPECT_EQ(control({"pause_connections"}).status, 0);
    ASSERT_TRUE(wait_report(connected_is(false)));
    EXPECT_TRUE(sim->broker().closed_by_agent(0));
    const zeltest::ProgramResult refused = control({"send_discovery", "-s", kService});
    EXPECT_EQ(refused.status, 246);
    EXPECT_EQ(refused.out, "{\"result\":-10}\n");
    EXPECT_EQ(control({"on_release", "-s", kService, "-r", "false"}).status, 246);
    EXPECT_TRUE(sim->discoveries().empty());
  }
  {
    SCOPED_TRACE("resume with a carrier: the claimed device reconnects, the advisor hears the carrier");
    EXPECT_EQ(control({"resume_connections", "-carrier_id", "CARRIER-7"}).status, 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(connected_is(true)) == 2; }));
    EXPECT_EQ(sim->cloud().requests().back().header("X-Carrier-ID"), "CARRIER-7");
  }
  {
    SCOPED_TRACE("on_release without discovery: not claimed, the service told, the link stopped");
    set("zel_use_discovery", "0");
    EXPECT_EQ(control({"on_release", "-s", kService, "-r", "false"}).status, 0);
    ASSERT_TRUE(wait_report(kReleased));
    ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(connected_is(false)) == 2; }));
    ASSERT_TRUE(service_sink->wait_for(2));
    EXPECT_EQ(notified(service_sink->payloads()[1]), kService + std::string(" released"));
    EXPECT_EQ(get("zel_agent_claimed"), "0");
  }
  EXPECT_EQ(control({"on_carrier_changed", "-id", "42"}).status, 250);
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentTest, MessagesReachEveryKindOfHandlerOrRunAsControlRequests) {
  const std::string program = dir.file("handler.sh");
  zeltest::write_file(program, "#!/bin/sh\ncat > " + dir.file("program.tmp") + " && mv " + dir.file("program.tmp") +
                                   " " + dir.file("program.out") + "\n", 0755);
  zeltest::HandlerSink tcp_sink;
  zeltest::HandlerSink second_event_sink;
  set("zel_handler_program", program);
  set("zel_handler_tcp", tcp_sink.endpoint() + "," + sample_sink->endpoint());
  set("zel_handler_event_sink", event_sink->endpoint() + "," + second_event_sink.endpoint());
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(connected_is(true)));

  ASSERT_TRUE(sim->send_message("sample", "to a socket"));
  ASSERT_TRUE(sim->send_message("tcp", std::string("to tcp\0with a NUL", 17)));
  ASSERT_TRUE(sim->send_message("program", "to a program"));
  ASSERT_TRUE(sample_sink->wait_for(1));
  EXPECT_EQ(sample_sink->payloads()[0], "to a socket");
  ASSERT_TRUE(tcp_sink.wait_for(1));
  EXPECT_EQ(tcp_sink.payloads()[0], std::string("to tcp\0with a NUL", 17));
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::read_file(dir.file("program.out")) == "to a program"; }));
  EXPECT_EQ(sample_sink->payloads().size(), 1u);  // only event_sink fans out
  // event_sink fans out: the second endpoint got every report as well.
  EXPECT_TRUE(zeltest::wait_until([&] { return second_event_sink.payloads() == event_sink->payloads(); }));

  ASSERT_TRUE(sim->send_message(kAgentHandler, "{\"command\":\"pause_connections\"}"));
  ASSERT_TRUE(wait_report(connected_is(false)));
  EXPECT_TRUE(sim->broker().closed_by_agent(0));
  EXPECT_EQ(control({"resume_connections"}).status, 0);
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(1); }));
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentTest, ADroppedLinkIsReconnectedAfterTheDelay) {
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(0); }));
  ASSERT_TRUE(sim->drop_link());
  ASSERT_TRUE(wait_report(connected_is(false)));
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(1); }));
  EXPECT_GE(requests_to("/advisor/v2"), 2u);
  EXPECT_EQ(stop_agent(), 0);
}

// Heartbeats go out every second (the simulator's advisor says so). While
// they are answered the link lasts; a missing answer makes the agent
// reconnect at once, without the reconnection delay.
TEST_F(AgentTest, AnsweredHeartbeatsKeepTheLinkAndALostOneReconnectsAtOnce) {
  set("zel_force_connection", "1");
  set("zel_zelbroker_delay", "600");
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(0); }));
  zelsim::BrokerServer& broker = sim->broker();
  ASSERT_TRUE(zeltest::wait_until([&] { return broker.heartbeats_answered() >= 3; }));
  EXPECT_TRUE(link_up(0));

  sim->set_answer_heartbeats(false);
  ASSERT_TRUE(wait_logged("latest heartbeat is not received!"));
  ASSERT_TRUE(broker.wait_for_link_closed(0, zeltest::kWaitLimit));
  EXPECT_TRUE(broker.closed_by_agent(0));
  sim->set_answer_heartbeats(true);
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(1); }));
  const std::size_t answered = broker.heartbeats_answered();
  ASSERT_TRUE(zeltest::wait_until([&] { return broker.heartbeats_answered() >= answered + 2; }));
  EXPECT_TRUE(link_up(1));
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(AgentTest, DaemonDetachesResolvesRelativePathsAndRefusesASecondAgent) {
  set("zel_force_connection", "1");
  std::string command = "cd " + dir.path() + " && PVO_STORE=store exec";
  for (const std::string& arg : agent_argv(true)) {
    command += " '" + (arg == pid_file() ? std::string("agent.pid") : arg) + "'";
  }
  const zeltest::ProgramResult launcher = zeltest::run_program({"/bin/sh", "-c", command});
  ASSERT_EQ(launcher.status, 0) << launcher.err;
  ASSERT_TRUE(zeltest::wait_until([&] { return !zeltest::read_file(pid_file()).empty(); }));
  const pid_t daemon_pid = static_cast<pid_t>(std::stol(zeltest::read_file(pid_file())));
  ASSERT_TRUE(wait_report(connected_is(true)));
  EXPECT_TRUE(reports()[0].daemon);
  EXPECT_EQ(reports()[0].pid, daemon_pid);

  for (const bool daemon : {false, true}) {
    SCOPED_TRACE(daemon ? "second daemon" : "second in the foreground");
    const zeltest::ProgramResult second = zeltest::run_program(agent_argv(daemon));
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find(pid_file()), std::string::npos) << second.err;
  }
  EXPECT_EQ(zeltest::read_file(pid_file()), std::to_string(daemon_pid) + "\n");
  ASSERT_EQ(::kill(daemon_pid, SIGTERM), 0);
  EXPECT_TRUE(zeltest::wait_until([&] { return !zeltest::file_exists(pid_file()); }));
  EXPECT_TRUE(wait_logged("zelagent stopped."));
}

TEST_F(AgentTest, RefusedStartsSayWhyAndTouchNothing) {
  zeltest::write_file(dir.file("plain"), "");
  // Pid files that are no regular file: refused at once, never followed.
  zeltest::write_file(dir.file("target"), "precious\n");
  ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link.pid").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo.pid").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.file("dir.pid").c_str(), 0700), 0);
  // `key` is emptied in the store; `said` is in what the agent prints.
  struct Case { const char* what; std::vector<std::string> extra; std::string key; int status; std::string said; };
  const Case cases[] = {
      {"missing cloud URL", {}, "zel_advisor_url", 1, "pvo set zel_advisor_url"},
      {"unusable pid file", {"--pid-file", dir.file("plain/agent.pid")}, "", 1, "cannot create the pid file"},
      {"symbolic link as pid file", {"--pid-file", dir.file("link.pid")}, "", 1,
       dir.file("link.pid") + ": a symbolic link, not a regular file"},
      {"FIFO as pid file", {"--pid-file", dir.file("fifo.pid")}, "", 1, "a FIFO, not a regular file"},
      {"directory as pid file", {"--pid-file", dir.file("dir.pid")}, "", 1, "a directory, not a regular file"},
      {"unreadable trust anchors", {"--ca-file", dir.file("none.pem")}, "", 1, "cannot read the trust anchors"},
      {"unknown option", {"--bogus"}, "", 2, "--bogus"},
  };
  for (const Case& c : cases) {
    for (const bool daemon : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (daemon ? " (daemon)" : ""));
      const std::optional<std::string> saved = c.key.empty() ? std::nullopt : get(c.key);
      if (!c.key.empty()) set(c.key, "");
      std::vector<std::string> argv = agent_argv(daemon);
      argv.insert(argv.end(), c.extra.begin(), c.extra.end());
      const zeltest::ProgramResult run = zeltest::run_program(argv);
      EXPECT_EQ(run.status, c.status);
      EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
      if (saved) set(c.key, *saved);
    }
  }
  EXPECT_FALSE(zeltest::file_exists(pid_file()));
  EXPECT_EQ(zeltest::read_file(dir.file("target")), "precious\n");
  EXPECT_TRUE(event_sink->payloads().empty());
  EXPECT_EQ(sim->cloud().request_count(), 0u);
}

}  // namespace
}  // namespace agenttest
