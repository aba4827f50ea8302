// Control requests that arrive from the zelbroker as plain messages addressed
// to the agent's own handler name (zel_agent_handler_name): the whole road
// from the fake zelbroker through the message queue, and the check at the
// head of deliver_message on its own.
#include <cstring>

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "config/config.h"
#include "control_listener/agent_core.h"
#include "delivery/message_sender.h"

namespace srvtest {
namespace {

constexpr const char* kOwnName = "zelagent";
constexpr const char* kPause = R"({"command":"pause_connections"})";

class AgentHandlerTest : public AgentCore {
 protected:
  void SetUp() override {
    AgentCore::SetUp();
    if (HasFatalFailure()) return;
    own_sink = zeltest::HandlerSink::unix_socket(dir.file("own.sock"));
    // A description line under the same name must never be used for it.
    config_set((std::string(kKeyHandlerPrefix) + kOwnName).c_str(), own_sink->endpoint().c_str());
    install_agent_handler_check();
  }
  void TearDown() override {
    AgentCore::TearDown();
    own_sink.reset();
  }

  std::unique_ptr<zeltest::HandlerSink> own_sink;
};

TEST_F(AgentHandlerTest, PauseFromTheZelbrokerPausesAndReachesNoEndpoint) {
  config_set(kKeyAgentHandlerName, kOwnName);
  ASSERT_EQ(start_broker_thread(&context), 0);  // stores the context for the message thread
  ASSERT_TRUE(broker->wait_for_packets(1));     // the hello: the link is up

  ASSERT_TRUE(broker->send_plain_message(kOwnName, {kPause}));
  ASSERT_TRUE(zeltest::wait_until([] { return http_requests_paused() == 1; }));
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_TRUE(broker->wait_for_link_closed(0));
  EXPECT_TRUE(broker->closed_by_agent(0));
  EXPECT_EQ(own_sink->received(), 0u);
  EXPECT_TRUE(logged("Stop connections.\n"));
}

TEST_F(AgentHandlerTest, OwnNameIsExecutedOtherNamesAreDelivered) {
  config_set(kKeyAgentHandlerName, kOwnName);
  message_sender_set_agent_context(&context);
  struct Case {
    const char* name;
    std::string payload;
    std::size_t length;
    int result;
    int paused;
  };
  const std::string with_tail = std::string(kPause) + "}garbage";
  const Case cases[] = {
      {"not JSON", "pause", 5, -1, 0},
      {"empty", "", 0, -1, 0},
      {"no terminator: exactly the length", with_tail, std::strlen(kPause), 0, 1},
      {"cut inside the text", kPause, std::strlen(kPause) - 2, -1, 0},
      {"unknown command", R"({"command":"reboot"})", 20, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resume_http_requests();
    EXPECT_EQ(deliver_message(kOwnName, c.payload.data(), c.length), c.result);
    EXPECT_EQ(http_requests_paused(), c.paused);
  }
  EXPECT_GE(times_logged("Cannot parse incoming request.\n"), 4);
  EXPECT_EQ(own_sink->received(), 0u);

  // Names are compared exactly: these go through the description lines.
  config_set((std::string(kKeyHandlerPrefix) + "ZELAGENT").c_str(), own_sink->endpoint().c_str());
  resume_http_requests();
  EXPECT_EQ(deliver_message("ZELAGENT", kPause, std::strlen(kPause)), 0);
  ASSERT_TRUE(own_sink->wait_for(1));
  EXPECT_EQ(own_sink->payloads()[0], kPause);
  EXPECT_EQ(http_requests_paused(), 0);
}

TEST_F(AgentHandlerTest, UnsetNameIsLookedUpAgainForEachMessage) {
  message_sender_set_agent_context(&context);
  EXPECT_EQ(agent_handler_name(), std::nullopt);
  EXPECT_EQ(deliver_message(kOwnName, kPause, std::strlen(kPause)), 0);
  ASSERT_TRUE(own_sink->wait_for(1));
  EXPECT_EQ(http_requests_paused(), 0);

  config_set(kKeyAgentHandlerName, kOwnName);
  EXPECT_EQ(deliver_message(kOwnName, kPause, std::strlen(kPause)), 0);
  EXPECT_EQ(http_requests_paused(), 1);
  EXPECT_EQ(own_sink->received(), 1u);

  // Once found, the name stays for the life of the process.
  config_set(kKeyAgentHandlerName, "other");
  EXPECT_EQ(agent_handler_name(), std::optional<std::string>(kOwnName));
}

TEST_F(AgentHandlerTest, RequestBeforeTheContextIsStoredIsRefused) {
  config_set(kKeyAgentHandlerName, kOwnName);
  message_sender_set_agent_context(nullptr);
  EXPECT_EQ(deliver_message(kOwnName, kPause, std::strlen(kPause)), -1);
  EXPECT_EQ(http_requests_paused(), 0);
  EXPECT_EQ(own_sink->received(), 0u);
  EXPECT_TRUE(logged("No agent context yet: control request refused.\n"));
}

}  // namespace
}  // namespace srvtest
