// The real agent against peers that misbehave: local clients that connect
// and say nothing, a descriptor limit reached, a hanging zelCloud, a broker
// that floods it with empty packets, local clients that flood the log with
// huge or forged requests, a daemon start that cannot complete, and a
// damaged store. Each costs only itself.
#include <poll.h>

#include <chrono>

#include "agent/agent_harness.h"
#include "broker_server.h"
#include "control/control_protocol.h"
#include "support/cloud_server.h"

namespace agenttest {
namespace {

TEST_F(AgentTest, IdleControlClientsDelayNobodyAndAFullDescriptorTableEndsNothing) {
  std::vector<std::string> argv = agent_argv();
  argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nofile=48:48", "--"});
  agent = std::make_unique<zeltest::Process>(argv, dir.file("agent.out"), dir.file("agent.err"));
  ASSERT_TRUE(wait_logged("Start-up done"));
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(zeltest::connect_loopback(kControlPort));
  ASSERT_TRUE(wait_logged("accept(). errno: 24"));
  idle.clear();
  // The descriptors are back: control works again.
  EXPECT_EQ(control({"pause_connections"}).status, 0);

  // A request is served while clients that said nothing wait for their
  // own deadline (still unanswered, not served one after the other).
  for (int i = 0; i < 30; ++i) idle.push_back(zeltest::connect_loopback(kControlPort));
  EXPECT_EQ(control({"resume_connections"}).status, 0);
  pollfd unanswered{idle.front().get(), POLLIN, 0};
  EXPECT_EQ(::poll(&unanswered, 1, 0), 0);
  EXPECT_EQ(stop_agent(), 0);
}

// A zelCloud that never answers, or drips its answers, holds neither the
// control port nor the shut-down: the control commands that wait for it run
// beside the listener, a pause ends them with -10, and SIGTERM ends every
// cloud request under way (registration, discovery, advisor).
TEST_F(AgentTest, AHangingCloudHoldsNeitherControlNorTheShutDown) {
  using zelsim::CloudFault;
  using Clock = std::chrono::steady_clock;
  const auto client = [&](const std::vector<std::string>& args, const std::string& name) {
    std::vector<std::string> argv = {zeltest::built_program("src/control/zelagent_control"), "--log_file",
                                     dir.file("control.log"), "-c"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<zeltest::Process>(argv, dir.file(name), "");
  };
  const std::vector<std::string> discover = {"send_discovery", "-s", kService};
  const auto stalled = [&](std::size_t count) {
    return zeltest::wait_until([&] { return sim->cloud().stalled_requests() == count; });
  };
  set("zel_use_discovery", "1");
  struct Case { const char* what; CloudFault fault; const char* path; const char* forced; };
  const Case cases[] = {{"registration never answered", CloudFault::kStall, "/register", "0"},
                        {"discovery never answered", CloudFault::kStall, "/discovery", "0"},
                        {"advisor drips, a discovery waits its turn", CloudFault::kDrip, "", "1"},
                        {"the window's claim check held by a pause", CloudFault::kNone, "", "0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim->set_cloud_fault(CloudFault::kNone, "");  // the rows before end
    sim->set_cloud_fault(c.fault, c.path);
    set("zel_force_connection", c.forced);
    start_agent();
    std::unique_ptr<zeltest::Process> waiting;
    if (c.fault == CloudFault::kNone) {
      const char* held = "Pause http request until we allow to do it";
      const int before = zeltest::count_of(log(), held);
      // A window long enough for the pause (which stops the link first) to hold the claim check.
      EXPECT_EQ(control({"send_discovery", "-s", kService, "-t", std::to_string(3 * ZEL_TEST_TIME_SCALE)}).status, 0);
      EXPECT_EQ(control({"pause_connections"}).status, 0);
      ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::count_of(log(), held) > before; }));
    } else if (c.fault == CloudFault::kDrip) {
      ASSERT_TRUE(zeltest::wait_until([&] { return requests_to("/advisor/v2") > 0; }));
      waiting = client(discover, "dripped.out");
    } else if (std::string(c.path) == "/discovery") {
      ASSERT_TRUE(wait_logged("Start-up done"));  // registered: the first in this log
      waiting = client(discover, "first.out");
      ASSERT_TRUE(stalled(1));
      const auto moravault = client({"on_moravault", "-s", kService, "-r", "true"}, "moravault.out");
      EXPECT_EQ(moravault->wait_exit(), 0);
      EXPECT_TRUE(waiting->running());
      const Clock::time_point pause = Clock::now();
      EXPECT_EQ(client({"pause_connections"}, "pause.out")->wait_exit(), 0);
      EXPECT_EQ(waiting->wait_exit(), 246);  // -10: ended by the pause
      EXPECT_LT(Clock::now() - pause, zeltest::kWaitLimit / 3);
      EXPECT_EQ(zeltest::read_file(dir.file("first.out")), "{\"result\":-10}\n");
      sim->cloud().release_stalled();
      ASSERT_TRUE(stalled(0));
      EXPECT_EQ(client({"resume_connections"}, "resume.out")->wait_exit(), 0);
      waiting = client(discover, "second.out");
    }
    ASSERT_TRUE(stalled(c.fault == CloudFault::kStall ? 1 : 0));
    const Clock::time_point term = Clock::now();
    EXPECT_EQ(stop_agent(), 0);
    // Well within the unit's stop time-out; about a second when nothing is queued for delivery.
    EXPECT_LT(Clock::now() - term, zeltest::kWaitLimit / 3);
    if (waiting) {
      EXPECT_TRUE(waiting->wait_exit().has_value());  // answered, not left hanging
    }
  }
  EXPECT_EQ(zeltest::count_of(log(), "leaving it behind"), 0);
  EXPECT_EQ(requests_to("/register"), 2u);  // the second agent registered
}

TEST_F(AgentTest, AFloodOfEmptyPacketsWritesLittleLogAndRotatesNothing) {
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(0); }));
  const std::size_t before = log().size();
  std::string flood;
  for (int i = 0; i < 100000; ++i) flood.append("\x02\x01\x00\x00", 4);
  ASSERT_TRUE(sim->broker().send_raw(flood));
  ASSERT_TRUE(sim->send_message("sample", "after the flood"));
  ASSERT_TRUE(sample_sink->wait_for(1));
  EXPECT_LT(log().size() - before, 256u * 1024);
  EXPECT_FALSE(zeltest::file_exists(dir.file("agent.log.1")));
  EXPECT_EQ(stop_agent(), 0);
}

// Lines of the log that hold `text`, and the lines its source line had
// suppressed according to the counts written.
int written_and_suppressed(const std::string& log, const std::string& text) {
  const std::size_t first = log.find(text);
  if (first == std::string::npos) return 0;
  const std::size_t start = log.find("):", log.rfind('\n', first) + 1) + 2;
  const std::string source = log.substr(start, log.find('\t', start) - start) + "\tWARNING: ";
  int total = zeltest::count_of(log, text);
  for (std::size_t at = log.find(source); at != std::string::npos; at = log.find(source, at + 1)) {
    total += std::stoi(log.substr(at + source.size()));
  }
  return total;
}

// Each request is long and unparsable, and holds what would be a complete
// line of root's log after a line break. The log stays small, rotates
// nothing, holds no forged line, and every refused request is counted: the
// counts of a flood are written once it is over, and at stop.
TEST_F(AgentTest, HostileControlRequestsNeitherFloodNorForgeTheLog) {
  const std::string forged = "\n2026-01-01 00:00:00 (1):agent:1\t   INFO: zelagent stopped.\n";
  const std::string request = "{" + forged + std::string(65000 - 1 - forged.size(), 'x');
  constexpr int kFlood = 300;
  constexpr int kBurst = 30;
  start_agent();
  const std::size_t before = log().size();
  for (int i = 0; i < kFlood; ++i) ASSERT_EQ(zeltest::ask_control(request), "{\"result\":-1}") << i;
  EXPECT_LT(log().size() - before, 256u * 1024);
  EXPECT_FALSE(zeltest::file_exists(dir.file("agent.log.1")));
  // Quiet now: the counts of the flood's last second come all the same.
  const std::string refused = "Cannot parse incoming request.";
  EXPECT_TRUE(zeltest::wait_until([&] { return written_and_suppressed(log(), refused) == kFlood; }));
  for (int i = 0; i < kBurst; ++i) ASSERT_EQ(zeltest::ask_control(request), "{\"result\":-1}") << i;
  EXPECT_EQ(stop_agent(), 0);
  const std::string text = log();
  EXPECT_EQ(written_and_suppressed(text, refused), kFlood + kBurst);
  EXPECT_EQ(zeltest::count_of(text, "\n2026-01-01 00:00:00"), 0);
  std::size_t longest = 0;
  for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    longest = std::max(longest, end - at);
  }
  EXPECT_LT(longest, 1024u);  // the request's text is cut in every line that quotes it
  EXPECT_EQ(zeltest::count_of(text, "INFO: zelagent stopped.\n"), 1);
  EXPECT_TRUE(text.ends_with("INFO: zelagent stopped.\n"));
}

TEST_F(AgentTest, ADaemonReportsItsStartToTheShell) {
  zeltest::write_file(pid_file(), "");  // what a power cut leaves
  const zeltest::ProgramResult started = zeltest::run_program(agent_argv(true));
  EXPECT_EQ(started.status, 0) << started.err;
  ASSERT_TRUE(zeltest::wait_until([&] { return !zeltest::read_file(pid_file()).empty(); }));
  const pid_t daemon_pid = static_cast<pid_t>(std::stol(zeltest::read_file(pid_file())));
  // It listens by the time its starter has ended.
  EXPECT_EQ(control({"pause_connections"}).status, 0);
  ASSERT_EQ(::kill(daemon_pid, SIGTERM), 0);
  ASSERT_TRUE(zeltest::wait_until([&] { return !zeltest::file_exists(pid_file()); }));

  // Another program holds the control port: the start fails, and says why.
  UniqueFd port_holder;
  // The daemon's own socket goes with its process, a moment after its pid file.
  ASSERT_TRUE(zeltest::wait_until([&] { return bool(port_holder = zelsim::listen_loopback(kControlPort, 1)); }));
  const zeltest::ProgramResult refused = zeltest::run_program(agent_argv(true));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("cannot listen for control requests"), std::string::npos) << refused.err;
  EXPECT_TRUE(zeltest::wait_until([&] { return !zeltest::file_exists(pid_file()); }));
}

TEST_F(AgentTest, ADamagedStoreIsNamedAndNeverReplaced) {
  const std::string store = dir.file("store/store");
  const std::string damaged = zeltest::read_file(store) + "damage";
  zeltest::write_file(store, damaged);
  for (const bool daemon : {false, true}) {
    SCOPED_TRACE(daemon ? "daemon" : "foreground");
    const zeltest::ProgramResult refused = zeltest::run_program(agent_argv(daemon));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the settings store in " + dir.file("store") + " cannot be read"), std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(zeltest::read_file(store), damaged);
}

}  // namespace
}  // namespace agenttest
