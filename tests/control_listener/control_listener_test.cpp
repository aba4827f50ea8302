// The control listener of a running agent core, driven by the control tool
// binary and by raw loopback clients: every command's reply and effect, the
// requests it refuses, the read limits that keep one client from holding the
// listener, and the exit pipe.
#include "control_listener/control_listener.h"

#include <fcntl.h>
#include <unistd.h>

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "config/config.h"
#include "control/control_protocol.h"
#include "control_listener/agent_core.h"
#include "control_listener/discovery.h"
#include "log/log.h"

namespace srvtest {
namespace {

using namespace std::chrono_literals;

std::string reply_text(int code) { return "{\"result\":" + std::to_string(code) + "}"; }
std::string printed(int code) { return reply_text(code) + "\n"; }

class ControlListenerTest : public AgentCore {
 protected:
  void SetUp() override {
    AgentCore::SetUp();
    if (HasFatalFailure()) return;
    start_listener();
  }

  // Runs the tool and checks its status and printed reply.
  void expect_tool(const std::vector<std::string>& args, int code) {
    ToolRun run = control(args);
    EXPECT_EQ(run.out, printed(code));
    EXPECT_EQ(run.status, code & 0xff);
  }
};

TEST_F(ControlListenerTest, PauseStopsTheLinkThenResumeWithoutReasonLeavesItDown) {
  ASSERT_EQ(start_broker_thread(&context), 0);
  ASSERT_TRUE(broker->wait_for_links(1));

  expect_tool({"pause_connections"}, kResultOk);
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_EQ(http_requests_paused(), 1);
  EXPECT_TRUE(broker->wait_for_link_closed(0));
  EXPECT_TRUE(broker->closed_by_agent(0));

  // Neither forced, nor in a window, nor claimed: the link stays down.
  expect_tool({"resume_connections", "-carrier_id", "CARRIER-7"}, kResultOk);
  EXPECT_EQ(http_requests_paused(), 0);
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_EQ(context.carrier_id(), std::optional<std::string>("CARRIER-7"));
  EXPECT_EQ(broker->links(), 1u);
}

TEST_F(ControlListenerTest, ResumeRestartsTheLinkWhenForcedInAWindowOrClaimed) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"forced", [] { config_set(kKeyForceConnection, "1"); }},
      {"claimed", [] { set_claimed(1); }},
      {"in a discovery window",
       [this] {
         config_set(kKeyUseDiscovery, "1");
         discovery_request request;
         request.service = kService;
         request.discovery_time = 600;
         ASSERT_EQ(push_discovery(&request, &context), 0);
       }},
  };
  int carrier = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    expect_tool({"pause_connections"}, kResultOk);
    ASSERT_EQ(keep_connection.load(), 0);
    const std::size_t requests_before = cloud->request_count();

    const std::string carrier_id = "CARRIER-" + std::to_string(++carrier);
    expect_tool({"resume_connections", "-carrier_id", carrier_id}, kResultOk);
    EXPECT_EQ(keep_connection.load(), 1);
    // The restarted link's advisor request carries the new carrier.
    EXPECT_TRUE(zeltest::wait_until([&] {
      const auto requests = cloud->requests();
      for (std::size_t i = requests_before; i < requests.size(); ++i) {
        if (requests[i].path() == kAdvisorPath) return requests[i].header("X-Carrier-ID") == carrier_id;
      }
      return false;
    }));

    // Back to no reason at all.
    config_set(kKeyForceConnection, "0");
    set_claimed(0);
    discovery_testing::end_window_and_join();
  }
}

TEST_F(ControlListenerTest, OnClaimStartsTheLinkMarksClaimedAndNotifiesWithClaimedTrue) {
  for (const char* claimed : {"false", "true"}) {
    SCOPED_TRACE(claimed);
    set_claimed(0);
    const std::size_t before = service_sink->received();
    expect_tool({"on_claim", "-s", kService, "-r", claimed}, kResultOk);
    EXPECT_EQ(keep_connection.load(), 1);
    EXPECT_EQ(agent_claimed(), 1);
    ASSERT_TRUE(service_sink->wait_for(before + 1));
    EXPECT_EQ(config_get_string(kKeyAgentClaimed), std::optional<std::string>("1"));
    const std::string note = service_sink->payloads().back();
    EXPECT_NE(note.find("\"claimed\":\ttrue"), std::string::npos) << note;
    EXPECT_NE(note.find("\"service\":\t\"svc\""), std::string::npos) << note;
  }
  // The second claim found the link running: no second start.
  ASSERT_TRUE(broker->wait_for_links(1));
  EXPECT_EQ(times_logged("zelbroker thread already started.\n"), 0);
}

// A claim while paused starts the link, whose advisor request is then held
// by the pause; a second pause must still stop that link and answer, or the
// listener (the only thread that could serve the resume) would hang.
TEST_F(ControlListenerTest, PauseAfterAClaimWhilePausedStillAnswers) {
  expect_tool({"pause_connections"}, kResultOk);
  expect_tool({"on_claim", "-s", kService, "-r", "true"}, kResultOk);
  EXPECT_EQ(keep_connection.load(), 1);
  ASSERT_TRUE(zeltest::wait_until([] { return http_testing::requests_held_by_pause() == 1; }));
  expect_tool({"pause_connections"}, kResultOk);
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_EQ(http_testing::requests_held_by_pause(), 0);
  EXPECT_EQ(requests_to(kAdvisorPath), 0u);
  // Resumed, the claimed device's link comes up as usual.
  expect_tool({"resume_connections"}, kResultOk);
  ASSERT_TRUE(broker->wait_for_links(1));
}

TEST_F(ControlListenerTest, OnMoravaultStartsTheLinkAndChangesNothingElse) {
  expect_tool({"on_moravault", "-s", kService, "-r", "true"}, kResultOk);
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_EQ(agent_claimed(), 0);
  EXPECT_TRUE(broker->wait_for_links(1));
  EXPECT_TRUE(logged("On moravault: 1, service id is svc\n"));
  EXPECT_EQ(service_sink->received(), 0u);
}

TEST_F(ControlListenerTest, OnReleaseWithoutDiscoveryStopsTheLinkUnlessForced) {
  for (const char* forced : {"0", "1"}) {
    SCOPED_TRACE(std::string("zel_force_connection ") + forced);
    config_set(kKeyForceConnection, forced);
    set_claimed(1);
    if (keep_connection.load() == 0) {
      ASSERT_EQ(start_broker_thread(&context), 0);
    }
    const std::size_t before = service_sink->received();

    expect_tool({"on_release", "-s", kService, "-r", "false"}, kResultOk);
    EXPECT_EQ(keep_connection.load(), forced[0] == '1' ? 1 : 0);
    EXPECT_EQ(agent_claimed(), 0);
    ASSERT_TRUE(service_sink->wait_for(before + 1));
    EXPECT_NE(service_sink->payloads().back().find("\"claimed\":\tfalse"), std::string::npos);
  }
  EXPECT_EQ(requests_to(kDiscoveryPath), 0u);
}

TEST_F(ControlListenerTest, OnReleaseStillClaimedStartsTheLinkButNotifiesClaimedFalse) {
  expect_tool({"on_release", "-s", kService, "-r", "true"}, kResultOk);
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_EQ(agent_claimed(), 1);
  ASSERT_TRUE(service_sink->wait_for(1));
  EXPECT_NE(service_sink->payloads().back().find("\"claimed\":\tfalse"), std::string::npos);
}

TEST_F(ControlListenerTest, OnReleaseWithDiscoveryPushesADefaultWindowAndStartsTheLink) {
  config_set(kKeyUseDiscovery, "1");
  set_claimed(1);
  const long before = uptime_seconds();
  expect_tool({"on_release", "-s", kService, "-r", "false"}, kResultOk);
  const long after = uptime_seconds();
  EXPECT_EQ(requests_to(kDiscoveryPath), 1u);
  EXPECT_GE(discovery_testing::deadline(), before + 3600);
  EXPECT_LE(discovery_testing::deadline(), after + 3600);
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_EQ(agent_claimed(), 0);
  ASSERT_TRUE(service_sink->wait_for(1));
  EXPECT_NE(service_sink->payloads().back().find("\"claimed\":\tfalse"), std::string::npos);

  // A failed discovery is not the command's result, and the link still comes up.
  discovery_testing::end_window_and_join();
  ASSERT_EQ(keep_connection.load(), 0);
  answer_discovery(500);
  expect_tool({"on_release", "-s", kService, "-r", "false"}, kResultOk);
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_EQ(discovery_testing::deadline(), 0);
}

TEST_F(ControlListenerTest, WhilePausedDiscoveriesAndReleasesWouldBlock) {
  config_set(kKeyUseDiscovery, "1");
  set_claimed(1);
  expect_tool({"pause_connections"}, kResultOk);

  expect_tool({"send_discovery", "-s", kService}, kResultWouldBlock);
  expect_tool({"on_release", "-s", kService, "-r", "false"}, kResultWouldBlock);
  EXPECT_TRUE(logged("Send discovery to server would block.\n"));
  // Nothing changed and nobody was told.
  EXPECT_EQ(agent_claimed(), 1);
  EXPECT_EQ(service_sink->received(), 0u);
  EXPECT_EQ(requests_to(kDiscoveryPath), 0u);

  expect_tool({"resume_connections"}, kResultOk);
  expect_tool({"send_discovery", "-s", kService}, kResultOk);
  EXPECT_EQ(requests_to(kDiscoveryPath), 1u);
}

TEST_F(ControlListenerTest, SendDiscoveryOpensTheWindowAndTakesTheCarrier) {
  config_set(kKeyUseDiscovery, "1");
  const long before = uptime_seconds();
  expect_tool({"send_discovery", "-s", kService, "-t", "120", "-id", "DEV-9", "-carrier_id", "CARRIER-3",
               "-discovery_data", "extra"},
              kResultOk);
  EXPECT_GE(discovery_testing::deadline(), before + 120);
  EXPECT_LE(discovery_testing::deadline(), uptime_seconds() + 120);
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_EQ(context.carrier_id(), std::optional<std::string>("CARRIER-3"));
  ASSERT_EQ(requests_to(kDiscoveryPath), 1u);
  for (const auto& request : cloud->requests()) {
    if (request.path() != kDiscoveryPath) continue;
    EXPECT_NE(request.query().find("i=DEV-9"), std::string::npos) << request.query();
    EXPECT_NE(request.query().find("s=svc"), std::string::npos) << request.query();
    EXPECT_NE(request.body.find("extra"), std::string::npos) << request.body;
  }
  EXPECT_TRUE(broker->wait_for_links(1));
}

TEST_F(ControlListenerTest, SendDiscoveryResults) {
  config_set(kKeyUseDiscovery, "1");
  answer_discovery(500);
  expect_tool({"send_discovery", "-s", kService}, kResultBadAnswer);
  EXPECT_EQ(discovery_testing::deadline(), 0);
  EXPECT_EQ(keep_connection.load(), 0);

  // Before the agent has its agent id.
  identity id = context.current_identity();
  id.agent_id.reset();
  context.set_identity(id);
  expect_tool({"send_discovery", "-s", kService}, kResultBusy);
  EXPECT_EQ(requests_to(kDiscoveryPath), 1u);
}

TEST_F(ControlListenerTest, DiscoveryDisabledAnswersZeroAndSendsNothing) {
  expect_tool({"send_discovery", "-s", kService, "-t", "30"}, kResultOk);
  EXPECT_TRUE(logged("Discovery is disabled."));
  EXPECT_EQ(requests_to(kDiscoveryPath), 0u);
  EXPECT_EQ(discovery_testing::deadline(), 0);
  EXPECT_EQ(keep_connection.load(), 0);
}

TEST_F(ControlListenerTest, RefusedRequestsAreAnsweredMinusOne) {
  struct Case {
    const char* name;
    std::string text;
    const char* logged;
  };
  const Case cases[] = {
      {"not JSON", "pause_connections", "Error before: "},
      {"empty request", "", "Received message (null).\n"},
      {"empty object", "{}", "Can't get list of elements in control request.\n"},
      {"claimed as a number", R"({"command":"on_claim","service":"svc","claimed":1})",
       "Incomplete on_claim/on_release request!.\n"},
      {"claimed as a string", R"({"command":"on_claim","service":"svc","claimed":"true"})",
       "Incomplete on_claim/on_release request!.\n"},
      {"registered missing", R"({"command":"on_moravault","service":"svc"})", "Incomplete on_moravault request!.\n"},
      {"discovery without service", R"({"command":"send_discovery","discovery_time":5})",
       "Incomplete discovery request!.\n"},
      {"command as a number", R"({"command":4})", "Control request names no known command.\n"},
      {"unknown command", R"({"command":"reboot"})", "Control request names no known command.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawReply reply = raw_control_request(c.text);
    ASSERT_TRUE(reply.connected);
    EXPECT_EQ(reply.reply, reply_text(kResultBusy));
    EXPECT_TRUE(logged(c.logged));
  }
  EXPECT_EQ(times_logged("Cannot parse incoming request.\n"), static_cast<int>(std::size(cases)));
  // None of them did anything.
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_EQ(http_requests_paused(), 0);
  EXPECT_EQ(service_sink->received(), 0u);
}

TEST_F(ControlListenerTest, RequestWithoutCommandDoesNotRunThePreviousKind) {
  ASSERT_EQ(raw_control_request(R"({"command":"on_claim","service":"svc","claimed":true})").reply,
            reply_text(kResultOk));
  ASSERT_TRUE(service_sink->wait_for(1));
  set_claimed(0);
  EXPECT_EQ(raw_control_request(R"({"service":"svc","claimed":true})").reply, reply_text(kResultBusy));
  EXPECT_EQ(agent_claimed(), 0);
  EXPECT_EQ(service_sink->received(), 1u);
}

TEST_F(ControlListenerTest, PauseWithAnUnknownMemberAndARequestOf10kB) {
  const std::string padding(10 * 1024, 'p');
  const std::string text = R"({"command":"pause_connections","padding":")" + padding + "\"}";
  RawReply reply = raw_control_request(text);
  EXPECT_EQ(reply.reply, reply_text(kResultOk));
  EXPECT_EQ(http_requests_paused(), 1);
  EXPECT_TRUE(logged("Received message " + text + ".\n"));
}

TEST_F(ControlListenerTest, LaterCommandMemberOverridesPause) {
  RawReply reply =
      raw_control_request(R"({"command":"pause_connections","command":"on_moravault","service":"svc","registered":false})");
  EXPECT_EQ(reply.reply, reply_text(kResultOk));
  EXPECT_EQ(http_requests_paused(), 0);
  EXPECT_EQ(keep_connection.load(), 1);
}

TEST_F(ControlListenerTest, RequestOverTheSizeCapIsAnsweredMinusOneAndTheNextIsServed) {
  const std::string text = R"({"command":"pause_connections","padding":")" +
                           std::string(kControlRequestMaxBytes, 'p') + "\"}";
  RawReply reply = raw_control_request(text);
  EXPECT_EQ(reply.reply, reply_text(kResultBusy));
  EXPECT_TRUE(logged("Control request longer than 65536 bytes: refused.\n"));
  EXPECT_EQ(http_requests_paused(), 0);
  expect_tool({"pause_connections"}, kResultOk);
}

TEST_F(ControlListenerTest, SlowClientDoesNotStopTheNextOne) {
  control_listener_testing::set_read_timeout_ms(300);
  SilentClient slow;
  ASSERT_TRUE(slow.connected());
  // Served after the slow client's read limit.
  expect_tool({"pause_connections"}, kResultOk);
  EXPECT_EQ(http_requests_paused(), 1);
  EXPECT_EQ(slow.read_reply(), reply_text(kResultBusy));
  EXPECT_TRUE(logged("Control request not complete within 300 ms: refused.\n"));
}

TEST_F(ControlListenerTest, ExitPipeWithAnotherByteEndsOnlyTheThread) {
  stop_listener('x');
  EXPECT_EQ(control_listener_listening(), 0);
  EXPECT_TRUE(logged("received message in control listener pipe!\n"));
  EXPECT_TRUE(logged("end control listener thread.\n"));
  EXPECT_FALSE(logged("received command from zelagent thread to call exit()"));
  EXPECT_FALSE(raw_control_request("{\"command\":\"pause_connections\"}").connected);
  // A listener can be started again on the same port.
  start_listener();
  EXPECT_EQ(raw_control_request("{\"command\":\"pause_connections\"}").reply, reply_text(kResultOk));
}

TEST_F(ControlListenerTest, ReplyIsTheBareResultText) {
  RawReply reply = raw_control_request(R"({"command":"resume_connections","carrier_id":"A","carrier_id":"B"})");
  EXPECT_EQ(reply.reply, "{\"result\":0}");
  EXPECT_EQ(context.carrier_id(), std::optional<std::string>("B"));
  EXPECT_TRUE(logged("There are many ID fields in carrier changed request.\n"));
}

// The exit byte ends the process with status 0. Run in a child of its own.
TEST(ControlListenerExit, ExitByteEndsTheProcessWithStatusZeroWhileOtherThreadsRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  zeltest::TempDir dir;
  EXPECT_EXIT(
      {
        ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
        log_to_console = 0;
        agent_context context;
        int fds[2];
        if (::pipe(fds) != 0) std::_Exit(3);
        // Another thread still running with a joinable handle, as the
        // discovery thread's may be: the exit must not destroy it.
        int idle[2];
        if (::pipe(idle) != 0) std::_Exit(3);
        static std::thread still_running([fd = idle[0]] {
          char c;
          (void)::read(fd, &c, 1);
        });
        std::thread listener = start_control_listener(&context, fds[0]);
        if (!zeltest::wait_until([] { return control_listener_listening() == 1; })) std::_Exit(4);
        if (::write(fds[1], &kExitCommandByte, 1) != 1) std::_Exit(5);
        listener.join();
        std::_Exit(6);  // not reached: the listener ends the process
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace srvtest
