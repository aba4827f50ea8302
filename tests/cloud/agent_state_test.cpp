// The agent state: its reports reach a local "event_sink" handler (a TCP
// listener of the test) through the message queue; its store keys; the
// service notifications; the claim-status wait that reports through it.
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "cloud_fixture.h"
#include "daemon/daemon.h"
#include "delivery/handler_sink.h"
#include "delivery/message_sender.h"

namespace {

using cloudtest::reply;

struct Report {
  int event = -1;
  bool daemon = false, registered = false, claimed = false, connected = false;
  int pid = 0;
};

Report read_report(const std::string& text) {
  Report report;
  cJSON* root = cJSON_Parse(text.c_str());
  if (root == nullptr) return report;
  report.event = cJSON_GetObjectItemCaseSensitive(root, "event")->valueint;
  report.pid = cJSON_GetObjectItemCaseSensitive(root, "pid")->valueint;
  report.daemon = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root, "daemon"));
  report.registered = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root, "registered"));
  report.claimed = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root, "claimed"));
  report.connected = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root, "connected"));
  cJSON_Delete(root);
  return report;
}

class AgentStateTest : public cloudtest::CloudTest {
 protected:
  void SetUp() override {
    CloudTest::SetUp();
    config_set((std::string(kKeyHandlerPrefix) + kEventSinkHandler).c_str(), sink_->endpoint().c_str());
    ASSERT_EQ(message_sender_init(), 0);
  }
  void TearDown() override {
    message_sender_stop();  // delivers everything queued first
    set_agent_state_mirror(0);
    CloudTest::TearDown();
  }

  // Reports received so far, once `count` have arrived.
  std::vector<Report> reports(std::size_t count) {
    EXPECT_TRUE(sink_->wait_for(count));
    std::vector<Report> out;
    for (const auto& message : sink_->payloads()) out.push_back(read_report(message));
    return out;
  }

  std::unique_ptr<zeltest::HandlerSink> sink_ = zeltest::HandlerSink::tcp();
};

TEST_F(AgentStateTest, FirstReportRestoresRegisteredAndClaimed) {
  config_set(kKeyAgentRegistered, "1");
  init_agent_state(1);
  auto got = reports(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].event, 0);
  EXPECT_TRUE(got[0].daemon);
  EXPECT_EQ(got[0].pid, static_cast<int>(::getpid()));
  EXPECT_TRUE(got[0].registered);
  EXPECT_FALSE(got[0].claimed);
  EXPECT_FALSE(got[0].connected);
  EXPECT_EQ(config_get_string(kKeyAgentConnected), "0");
  EXPECT_EQ(config_get_string(kKeyAgentPid), std::to_string(::getpid()));
  EXPECT_TRUE(logged("disconnected\n"));
  EXPECT_FALSE(config_get_string(kKeyStatusRegistered));  // mirror off
}

TEST_F(AgentStateTest, OneReportPerChangeButSetClaimedAlwaysReports) {
  init_agent_state(0);
  set_connected(1);
  set_connected(1);
  set_claimed(1);
  set_claimed(1);
  update_claimed(1);  // no change: nothing
  update_claimed(0);
  set_registered(1);
  set_registered(1);
  set_connected(0);
  auto got = reports(7);
  ASSERT_EQ(got.size(), 7u);
  const int events[] = {0, 4, 3, 3, 3, 2, 4};
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].event, events[i]);
  }
  EXPECT_TRUE(got[1].connected);
  EXPECT_TRUE(got[3].claimed);
  EXPECT_FALSE(got[4].claimed);
  EXPECT_TRUE(got[5].registered);
  EXPECT_FALSE(got[6].connected);
  EXPECT_EQ(config_get_string(kKeyAgentClaimed), "0");
  EXPECT_EQ(config_get_string(kKeyAgentRegistered), "1");
  EXPECT_EQ(config_get_string(kKeyAgentConnected), "0");
  EXPECT_EQ(agent_claimed(), 0);
}

TEST_F(AgentStateTest, RefreshReportsWithoutPersistingFlags) {
  init_agent_state(0);
  set_claimed(1);
  config_set(kKeyAgentClaimed, "untouched");
  refresh_agent_state();
  auto got = reports(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].event, 1);
  EXPECT_TRUE(got[2].claimed);
  EXPECT_EQ(config_get_string(kKeyAgentClaimed), "untouched");

  set_connected(1);
  save_agent_state();  // event 4 is not persisted
  EXPECT_TRUE(logged("Tried to save not supported value.\n"));
}

TEST_F(AgentStateTest, MirrorSwitchWritesTheStatusKeys) {
  init_agent_state(0);
  set_connected(1);
  EXPECT_FALSE(config_get_string(kKeyStatusConnected));
  set_agent_state_mirror(1);
  set_claimed(1);
  EXPECT_EQ(config_get_string(kKeyStatusClaimed), "true");
  EXPECT_EQ(config_get_string(kKeyStatusConnected), "true");
  EXPECT_EQ(config_get_string(kKeyStatusRegistered), "false");
  set_connected(0);
  EXPECT_EQ(config_get_string(kKeyStatusConnected), "false");
  set_agent_state_mirror(0);
  set_registered(1);
  EXPECT_EQ(config_get_string(kKeyStatusRegistered), "false");
}

TEST_F(AgentStateTest, ServiceNotificationGoesToTheServiceHandler) {
  auto service_sink = zeltest::HandlerSink::tcp();
  std::string service(200, 'p');
  std::string handler = logic_testing::service_handler_name(service);
  EXPECT_EQ(handler, "event_sink_" + std::string(116, 'p'));
  config_set(handler_key(handler).c_str(), service_sink->endpoint().c_str());
  notify_service(service, 1);
  ASSERT_TRUE(service_sink->wait_for(1));
  EXPECT_EQ(service_sink->payloads()[0], build_service_notification(service, 1));
  EXPECT_TRUE(logged("service notify was sended.\n"));
}

TEST_F(AgentStateTest, ReportRefusedByAStoppedQueueIsLoggedAndTheStateKept) {
  message_sender_stop();
  init_agent_state(0);
  set_connected(1);
  EXPECT_EQ(logic_testing::agent_state_now().connected, 1);
  EXPECT_TRUE(logged("cannot send zelagent state.\n"));
  ASSERT_EQ(message_sender_init(), 0);
}

// The wait repeats the claim-status request after a failure, sleeping in the
// sleep gate, and reports a changed claim.
TEST_F(AgentStateTest, WaitForClaimStatusRetriesThroughTheSleepGate) {
  load_context_for_fake();
  set_identity("AB-12", "secret");
  context_.claim_delay = 3600;  // only a wake can end the sleep
  init_agent_state(0);
  cloud_->queue_answer("GET", "/claimed/v2", reply(503));
  cloud_->queue_answer("GET", "/claimed/v2", reply(200, R"({"_type":"Claim","deviceId":"AB-12","claimed":true})"));

  auto answer = std::async(std::launch::async, [&] { return wait_for_claim_status(context_); });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 1; }));
  EXPECT_EQ(cloud_->request_count(), 1u);
  wake_sleepers();
  EXPECT_EQ(answer.get(), 1);
  EXPECT_EQ(cloud_->request_count(), 2u);
  EXPECT_EQ(agent_claimed(), 1);
  EXPECT_EQ(config_get_string(kKeyAgentClaimed), "1");
  auto got = reports(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].event, 3);
  EXPECT_TRUE(got[1].claimed);
  EXPECT_TRUE(logged("Failed to get claim status. Sleeping for 3600 secs.\n"));
  EXPECT_TRUE(logged("Device is claimed: id='AB-12', hardwareId='HW-0001', claimCode='secret'.\n"));

  // The same answer again changes nothing and reports nothing.
  cloud_->queue_answer("GET", "/claimed/v2", reply(200, R"({"_type":"Claim","deviceId":"AB-12","claimed":true})"));
  EXPECT_EQ(wait_for_claim_status(context_), 1);
  message_sender_stop();
  EXPECT_EQ(sink_->payloads().size(), 2u);
  ASSERT_EQ(message_sender_init(), 0);
}

}  // namespace
