// The agent context loaded from the store, the registration and discovery
// requests against the fake zelCloud, the refusal headers, and the agent
// state: its reports to "event_sink" and the flags it keeps in the store.
#include <unistd.h>

#include <tuple>
#include <vector>

#include "cloud_fixture.h"

TEST_F(CloudTest, TheContextNeedsEveryUrlAndAppendsTheVersionSuffixes) {
  const char* keys[] = {kKeyRegisterUrl, kKeyClaimedUrl, kKeyDiscoveryUrl, kKeyAdvisorUrl};
  for (const char* missing : keys) {
    SCOPED_TRACE(missing);
    for (const char* key : keys) config_set(key, key == missing ? "" : key);  // each URL its own key's name
    agent_context context;
    EXPECT_EQ(load_agent_context(context), -1);
    EXPECT_FALSE(context.register_url || context.claimed_url || context.discovery_url || context.advisor_url);
  }
  config_set(kKeyAdvisorUrl, kKeyAdvisorUrl);
  config_set(kKeyAgentId, "AB-9");
  ASSERT_EQ(load_agent_context(context_), 0);
  EXPECT_EQ(std::vector<S>({context_.register_url, context_.claimed_url, context_.discovery_url, context_.advisor_url}),
            std::vector<S>({"zel_register_url", "zel_claimed_url/v2", "zel_discovery_url/v3", "zel_advisor_url/v2"}));
  const identity id = context_.current_identity();  // read from the store
  EXPECT_EQ(std::vector<S>({id.agent_id, id.hardware_id, id.claim_code}), std::vector<S>({"AB-9", "HW-1", {}}));
}

// Only error code 1062, in decimal, hexadecimal or octal, tells a refused serial number apart.
TEST_F(CloudTest, RegistrationTakesOnly201WithAWholeUsableReplyAndStoresNothing) {
  load_context();  // a first registration: no identity in the store
  const std::string whole = R"({"deviceId":"AB-1","claimCode":"c1"})";
  auto long_id = [](std::size_t length) {
    return R"({"deviceId":")" + std::string(length, 'A') + R"(","claimCode":"c1"})";
  };
  const std::tuple<int, std::string, const char*, int, S, S> cases[] = {
      {201, whole, nullptr, 0, "AB-1", "c1"},
      {200, whole, nullptr, -1, {}, {}},
      // An identity that would break the request headers or not fit the store is a bad answer.
      {201, R"({"deviceId":"AB-1","claimCode":"c1\r\nX-Evil: 1"})", nullptr, -1, {}, {}},
      {201, R"({"deviceId":"AB-1","claimCode":"c\u0007"})", nullptr, -1, {}, {}},
      // An id the agent refuses at start would make it register on every start.
      {201, R"({"deviceId":"","claimCode":"c1"})", nullptr, -1, {}, {}},
      {201, R"({"deviceId":"dev-9","claimCode":"c1"})", nullptr, -1, {}, {}},
      {201, R"({"deviceId":"AB 1","claimCode":"c1"})", nullptr, -1, {}, {}},
      {201, R"({"deviceId":"AB-1","claimCode":""})", nullptr, -1, {}, {}},
      {201, long_id(127), nullptr, 0, std::string(127, 'A'), "c1"},
      {201, long_id(128), nullptr, -1, {}, {}},
      {403, "", "1062", kRegisterRefusedWrongSn, {}, {}}, {403, "", "0x426", kRegisterRefusedWrongSn, {}, {}},
      {403, "", "02046", kRegisterRefusedWrongSn, {}, {}}, {403, "", "2046", -1, {}, {}},
      {403, "", "1063", -1, {}, {}},                       {500, "", "1061", -1, {}, {}}};
  for (const auto& [status, body, error_code, rc, agent, code] : cases) {
    SCOPED_TRACE(std::to_string(status) + " " + body.substr(0, 60) + " " + (error_code ? error_code : ""));
    reload_identity(context_);
    cloud_->clear_requests();
    zelsim::CloudAnswer answer = reply(status, body);
    if (error_code) answer.headers = {{"X-Error-Code", error_code}, {"X-Error-Message", "wrong_sn"}};
    cloud_->queue_answer("POST", "/register", answer);
    const int got = register_device(context_);
    const identity id = context_.current_identity();
    EXPECT_EQ(std::tie(got, id.agent_id, id.claim_code), std::tie(rc, agent, code));
    ASSERT_EQ(cloud_->request_count(), 1u);
    EXPECT_EQ(compact(cloud_->requests()[0].body), R"({"hardwareId":"HW-1","model":"M-1"})");
    EXPECT_FALSE(config_get_string(kKeyAgentId));
  }
}

TEST_F(CloudTest, DiscoveryPercentEncodesEveryQueryValueAndMapsTheAnswer) {
  load_context();
  EXPECT_EQ(post_discovery(context_, {"svc", 0, {}, {}, {}}), -1);  // not registered yet: nothing is sent
  EXPECT_EQ(cloud_->request_count(), 0u);
  context_.set_identity(identity{"AB-12", "HW 1/\xC3\xA9", "secret"});
  const std::tuple<discovery_request, int, int, const char*> cases[] = {
      {{"svc", 0, {}, {}, {}}, 200, 0, "i=HW%201%2F%C3%A9&s=svc"},
      {{"a b&c=d#e", 600, "id?x+y", {}, {}}, 200, 0, "i=id%3Fx%2By&e=600&s=a%20b%26c%3Dd%23e"},
      {{"-._~Az9", -1, {}, "data", {}}, 201, kDiscoveryBadAnswer, "i=HW%201%2F%C3%A9&s=-._~Az9"}};
  for (const auto& [request, status, rc, query] : cases) {
    SCOPED_TRACE(query);
    cloud_->clear_requests();
    cloud_->queue_answer("POST", "/discovery/v3/", reply(status));
    EXPECT_EQ(post_discovery(context_, request), rc);
    ASSERT_EQ(cloud_->request_count(), 1u);
    EXPECT_EQ(cloud_->requests()[0].target, std::string("/discovery/v3/?") + query);
  }
  uint16_t closed = 0;
  zeltest::listen_loopback(&closed);  // closed again at once: the transport's result reaches the caller unchanged
  context_.discovery_url = "https://127.0.0.1:" + std::to_string(closed);
  EXPECT_EQ(post_discovery(context_, {"svc", 0, {}, {}, {}}), kHttpRefused);
}

TEST_F(CloudTest, AgentStateReportsEachChangeToEventSinkAndKeepsTheFlags) {
  zeltest::HandlerSink sink;
  config_set("zel_handler_event_sink", sink.endpoint().c_str());
  config_set(kKeyAgentRegistered, "1");  // left by an earlier run
  ASSERT_EQ(message_sender_init(), 0);
  init_agent_state(0);
  set_claimed(1);
  EXPECT_EQ(config_get_string(kKeyAgentClaimed), "1");
  set_claimed(1);     // reports again
  update_claimed(1);  // no change: no report
  update_claimed(0);
  EXPECT_EQ(config_get_string(kKeyAgentClaimed), "0");
  set_registered(1);  // no change: no report
  set_registered(0);
  EXPECT_EQ(config_get_string(kKeyAgentRegistered), "0");
  set_connected(0);  // no change: no report
  set_connected(1);
  set_connected(1);  // no change: no report
  send_message(kEventSinkHandler, "end");
  ASSERT_TRUE(zeltest::wait_until([&] { return !sink.payloads().empty() && sink.payloads().back() == "end"; }));
  const auto report = [](int e, int r, int c, int l = 0) { return build_state_event(e, 0, ::getpid(), r, c, l); };
  const std::vector<std::string> expected = {report(kStateEventStart, 1, 0), report(kStateEventClaimed, 1, 1),
                                             report(kStateEventClaimed, 1, 1), report(kStateEventClaimed, 1, 0),
                                             report(kStateEventRegistered, 0, 0),
                                             report(kStateEventConnected, 0, 0, 1), "end"};
  EXPECT_EQ(sink.payloads(), expected);
  EXPECT_EQ(logic_testing::service_handler_name(std::string(200, 's')), "event_sink_" + std::string(116, 's'));
}
