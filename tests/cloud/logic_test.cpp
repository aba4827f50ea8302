// The agent context and the cloud requests against the fake zelCloud.
#include "cloud/logic.h"

#include <future>
#include <string>

#include "cloud_fixture.h"
#include "daemon/daemon.h"

namespace {

using cloudtest::behaviour;
using cloudtest::reply;
using zeltest::FakeBehaviour;

constexpr const char* kRegisterReply = R"({"deviceId":"NEW-ID-1","claimCode":"code-1"})";
constexpr const char* kClaimedReply = R"({"_type":"Claim","deviceId":"NEW-ID-1","claimed":true})";
constexpr const char* kNotClaimedReply = R"({"_type":"Claim","deviceId":"NEW-ID-1","claimed":false})";

class LogicTest : public cloudtest::CloudTest {
 protected:
  void SetUp() override {
    CloudTest::SetUp();
    device_hardware_id = "HW-0001";
    device_model = "ZX-200";
  }
};

TEST_F(LogicTest, LoadAgentContextReadsSettingsUrlsAndIdentity) {
  config_set(kKeyClaimDelay, "7");
  config_set(kKeyHttpConnectTimeout, "0");
  config_set(kKeyAgentId, "AB-12");
  config_set(kKeyAgentClaimCode, "secret");
  config_set(kKeyRegisterUrl, "https://cloud.example/register");
  config_set(kKeyClaimedUrl, "https://cloud.example/claimed");
  config_set(kKeyDiscoveryUrl, "https://cloud.example/discovery");
  config_set(kKeyAdvisorUrl, "https://cloud.example/advisor");
  agent_context context;
  ASSERT_EQ(load_agent_context(context), 0);
  EXPECT_EQ(context.request_timeout, 60u);
  EXPECT_EQ(context.connect_timeout, 0u);  // a stored 0 is no default
  EXPECT_EQ(context.register_delay, 60u);
  EXPECT_EQ(context.discovery_delay, 60u);
  EXPECT_EQ(context.claim_delay, 7u);
  EXPECT_EQ(context.claim_check, 3600u);
  EXPECT_EQ(context.advisor_delay, 60u);
  EXPECT_EQ(context.zelbroker_delay, 60u);
  EXPECT_EQ(context.register_url, "https://cloud.example/register");
  EXPECT_EQ(context.claimed_url, "https://cloud.example/claimed/v2");
  EXPECT_EQ(context.discovery_url, "https://cloud.example/discovery/v3");
  EXPECT_EQ(context.advisor_url, "https://cloud.example/advisor/v2");
  identity id = context.current_identity();
  EXPECT_EQ(id.agent_id, "AB-12");
  EXPECT_EQ(id.hardware_id, "HW-0001");
  EXPECT_EQ(id.claim_code, "secret");

  release_agent_context(context);
  EXPECT_FALSE(context.register_url);
  EXPECT_FALSE(context.advisor_url);
  EXPECT_FALSE(context.current_identity().agent_id);
  EXPECT_FALSE(context.current_identity().hardware_id);
}

TEST_F(LogicTest, LoadAgentContextFailsOnAMissingUrl) {
  config_set(kKeyRegisterUrl, "https://cloud.example/register");
  config_set(kKeyClaimedUrl, "https://cloud.example/claimed");
  config_set(kKeyAdvisorUrl, "https://cloud.example/advisor");
  config_set(kKeyAgentId, "AB-12");
  agent_context context;
  EXPECT_EQ(load_agent_context(context), -1);
  EXPECT_FALSE(context.register_url);
  EXPECT_FALSE(context.claimed_url);
  EXPECT_FALSE(context.discovery_url);
  EXPECT_FALSE(context.advisor_url);
  EXPECT_FALSE(context.current_identity().agent_id);  // not read
}

TEST_F(LogicTest, LongUrlsAreKeptWhole) {
  std::string base = "https://cloud.example/" + std::string(600, 'a');
  for (const char* key : {kKeyRegisterUrl, kKeyClaimedUrl, kKeyDiscoveryUrl, kKeyAdvisorUrl}) {
    config_set(key, base.c_str());
  }
  agent_context context;
  ASSERT_EQ(load_agent_context(context), 0);
  EXPECT_EQ(context.register_url, base);
  EXPECT_EQ(context.discovery_url, base + "/v3");
}

TEST_F(LogicTest, IdentityValidity) {
  struct Case {
    const char* agent_id;
    const char* claim_code;
    int valid;
  };
  const Case cases[] = {
      {"AB-12-XY", "c", 1}, {"AB-12-XY", "", 1},    {"Ab-12", "c", 0}, {"AB_12", "c", 0},
      {"", "c", 0},         {"AB-12", nullptr, 0}, {nullptr, "c", 0}, {"AB 12", "c", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.agent_id ? c.agent_id : "(null)") + " / " + (c.claim_code ? c.claim_code : "(null)"));
    identity id;
    if (c.agent_id) id.agent_id = c.agent_id;
    if (c.claim_code) id.claim_code = c.claim_code;
    EXPECT_EQ(identity_is_valid(id), c.valid);
  }
  EXPECT_EQ(id_text_is_valid(""), 0);
  EXPECT_EQ(id_text_is_valid(std::string_view("AB-1x", 4)), 1);  // only the length is examined
  EXPECT_EQ(id_text_is_valid("AB-1x"), 0);
}

TEST_F(LogicTest, SaveAndReloadIdentity) {
  identity id;
  id.agent_id = "AB-12";
  id.claim_code = "secret";
  EXPECT_EQ(save_identity(id), 0);
  EXPECT_EQ(config_get_string(kKeyAgentId), "AB-12");
  EXPECT_EQ(config_get_string(kKeyAgentClaimCode), "secret");
  set_identity(nullptr, nullptr);
  reload_identity(context_);
  identity loaded = context_.current_identity();
  EXPECT_EQ(loaded.agent_id, "AB-12");
  EXPECT_EQ(loaded.claim_code, "secret");
  EXPECT_EQ(loaded.hardware_id, "HW-0001");
}

TEST_F(LogicTest, FirstRegistrationPostsTheDeviceAndTakesTheNewIdentity) {
  load_context_for_fake();
  cloud_->answer("POST", "/register", reply(201, kRegisterReply));
  ASSERT_EQ(register_device(context_), 0);
  identity id = context_.current_identity();
  EXPECT_EQ(id.agent_id, "NEW-ID-1");
  EXPECT_EQ(id.claim_code, "code-1");
  EXPECT_EQ(id.hardware_id, "HW-0001");
  EXPECT_FALSE(config_get_string(kKeyAgentId));  // saving is the driver's call

  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].target, "/register");
  EXPECT_FALSE(seen[0].header("Authorization"));
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].body, build_register_body());
  EXPECT_TRUE(logged("Registered with: id='NEW-ID-1', hardwareId='HW-0001', claimCode='code-1'\n"));

  // A registration with an identity in hand carries it.
  cloud_->clear_requests();
  ASSERT_EQ(register_device(context_), 0);
  EXPECT_EQ(cloud_->requests()[0].header("Authorization"), "NEW-ID-1:code-1");
}

TEST_F(LogicTest, RegistrationStatusesAndErrorHeaders) {
  load_context_for_fake();
  struct Case {
    const char* name;
    zeltest::FakeAnswer answer;
    int result;
    bool identity_kept;
  };
  const Case cases[] = {
      {"201 with a complete reply", reply(201, kRegisterReply), 0, true},
      {"200 instead of 201", reply(200, kRegisterReply), -1, true},
      {"403 with error code 1062", reply(403, "", {{"X-Error-Code", "1062"}, {"X-Error-Message", "wrong sn"}}), -2,
       true},
      {"403 with error code 0x426", reply(403, "", {{"X-Error-Code", "0x426"}}), -2, true},
      {"403 with another error code", reply(403, "", {{"X-Error-Code", "1063"}}), -1, true},
      {"201 with an incomplete reply", reply(201, R"({"deviceId":"NEW-ID-1"})"), -1, false},
      {"201 with a reply that is not JSON", reply(201, "<html>"), -1, true},
      {"connection closed", behaviour(FakeBehaviour::kCloseWithoutAnswer), -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_identity("OLD-ID", "old");
    cloud_->queue_answer("POST", "/register", c.answer);
    EXPECT_EQ(register_device(context_), c.result);
    identity id = context_.current_identity();
    if (c.result == 0) {
      EXPECT_EQ(id.agent_id, "NEW-ID-1");
    } else if (c.identity_kept) {
      EXPECT_EQ(id.agent_id, "OLD-ID");
      EXPECT_EQ(id.hardware_id, "HW-0001");
    } else {
      EXPECT_FALSE(id.agent_id);
      EXPECT_FALSE(id.hardware_id);
      EXPECT_FALSE(id.claim_code);
    }
  }
  EXPECT_TRUE(logged("Found error header: X-Error-Code: 1062.\n"));
  EXPECT_TRUE(logged("Found error header: X-Error-Message: wrong sn.\n"));
  EXPECT_EQ(times_logged("Found wrong_sn error code.\n"), 2u);
  EXPECT_TRUE(logged("Invalid http code '200' from server.\n"));
  EXPECT_TRUE(logged("Can't' make register request.\n"));
  EXPECT_TRUE(logged("Can't parse register reply: http code:'201'\n"));
}

TEST_F(LogicTest, CheckErrorHeaders) {
  struct Case {
    const char* headers;
    int result;
  };
  const Case cases[] = {
      {"HTTP/1.1 403 Forbidden\r\nX-Error-Code: 1062\r\n\r\n", -2},
      {"HTTP/1.1 403 Forbidden\r\nX-Error-Code: 0x426\r\n\r\n", -2},
      {"HTTP/1.1 403 Forbidden\r\nX-Error-Code: 02046\r\n\r\n", -2},   // octal 1062
      {"HTTP/1.1 403 Forbidden\r\nx-error-code: 1062\r\n\r\n", -2},    // names are case-insensitive
      {"HTTP/1.1 403 Forbidden\r\nX-Error-Code: 1063\r\n\r\n", -1},
      {"HTTP/1.1 403 Forbidden\r\nX-Error-Code: 1062", -1},            // no CR after it
      {"HTTP/1.1 403 Forbidden\r\nX-Error-Code:\r\n\r\n", -1},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", -1},
      {"", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headers);
    EXPECT_EQ(check_error_headers(c.headers), c.result);
  }
  std::string long_line = "X-Error-Message: " + std::string(3000, 'm') + "\r\n";
  EXPECT_EQ(check_error_headers(long_line), -1);
  EXPECT_TRUE(logged("Found error header: X-Error-Message: " + std::string(1023 - 17, 'm') + ".\n"));
}

TEST_F(LogicTest, ClaimStatusAnswers) {
  load_context_for_fake();
  set_identity("AB-12", "secret");
  struct Case {
    const char* name;
    zeltest::FakeAnswer answer;
    int result;
  };
  const Case cases[] = {
      {"200 claimed", reply(200, kClaimedReply), 1},
      {"201 not claimed", reply(201, kNotClaimedReply), 0},
      {"201 claimed", reply(201, kClaimedReply), 1},
      {"403 with error code 1062", reply(403, "", {{"X-Error-Code", "1062"}}), -1},
      {"200 without a boolean", reply(200, R"({"_type":"Claim","deviceId":"X"})"), -1},
      {"connection closed", behaviour(FakeBehaviour::kCloseWithoutAnswer), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cloud_->queue_answer("GET", "/claimed/v2", c.answer);
    EXPECT_EQ(check_claim_status(context_), c.result);
  }
  for (const auto& request : cloud_->requests()) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/claimed/v2");
    EXPECT_EQ(request.header("Authorization"), "AB-12:secret");
    EXPECT_FALSE(request.header("Content-Type"));
  }
  EXPECT_TRUE(logged("Found wrong_sn error code.\n"));
  EXPECT_TRUE(logged("Failed to parse reply.\n"));
  EXPECT_TRUE(logged("Can't' make claim request.\n"));
}

TEST_F(LogicTest, DiscoveryUrlsAndBodies) {
  load_context_for_fake();
  set_identity("AB-12", "secret");
  cloud_->answer("POST", "/discovery/v3/", reply(200));
  struct Case {
    const char* name;
    discovery_request request;
    const char* target;
  };
  const Case cases[] = {
      {"with a window", {"printer", 600, std::nullopt, std::nullopt, std::nullopt},
       "/discovery/v3/?i=HW-0001&e=600&s=printer"},
      {"default window", {"printer", 0, std::nullopt, std::nullopt, std::nullopt}, "/discovery/v3/?i=HW-0001&s=printer"},
      {"negative window", {"printer", -3, std::nullopt, std::nullopt, std::nullopt},
       "/discovery/v3/?i=HW-0001&s=printer"},
      {"own id", {"printer", 0, std::string("dev.42_~x"), std::nullopt, std::nullopt},
       "/discovery/v3/?i=dev.42_~x&s=printer"},
      {"values that need encoding", {"a&b=c #d/é", 0, std::string("id?x"), std::nullopt, std::nullopt},
       "/discovery/v3/?i=id%3Fx&s=a%26b%3Dc%20%23d%2F%C3%A9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cloud_->clear_requests();
    EXPECT_EQ(post_discovery(context_, c.request), 0);
    auto seen = cloud_->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, c.target);
    EXPECT_EQ(seen[0].header("Authorization"), "AB-12:secret");
    EXPECT_EQ(seen[0].body, build_discovery_body("AB-12", "HW-0001", std::nullopt));
  }
  discovery_request with_data{"printer", 0, std::nullopt, std::string("{\"x\":1}"), std::nullopt};
  cloud_->clear_requests();
  EXPECT_EQ(post_discovery(context_, with_data), 0);
  EXPECT_EQ(cloud_->requests().at(0).body, build_discovery_body("AB-12", "HW-0001", std::string("{\"x\":1}")));
  EXPECT_TRUE(logged("Discover OK!.\n"));
}

TEST_F(LogicTest, LongDiscoveryUrlsAreNeverCut) {
  load_context_for_fake();
  set_identity("AB-12", "secret");
  cloud_->set_default_answer(reply(200));
  discovery_request request{std::string(400, 's'), 0, std::string(300, 'i'), std::nullopt, std::nullopt};
  EXPECT_EQ(post_discovery(context_, request), 0);
  EXPECT_EQ(cloud_->requests().at(0).target, "/discovery/v3/?i=" + std::string(300, 'i') + "&s=" + std::string(400, 's'));
}

TEST_F(LogicTest, DiscoveryResults) {
  load_context_for_fake();
  set_identity("AB-12", "secret");
  discovery_request request{"printer", 0, std::nullopt, std::nullopt, std::nullopt};
  cloud_->queue_answer("POST", "/discovery/v3/", reply(201));
  EXPECT_EQ(post_discovery(context_, request), kDiscoveryBadAnswer);
  cloud_->queue_answer("POST", "/discovery/v3/", reply(500, "", {{"X-Error-Code", "1062"}}));
  EXPECT_EQ(post_discovery(context_, request), kDiscoveryBadAnswer);
  EXPECT_TRUE(logged("Found wrong_sn error code.\n"));

  context_.discovery_url = "https://zel-no-such-host.invalid/discovery/v3";
  EXPECT_EQ(post_discovery(context_, request), kHttpUnresolved);
  EXPECT_TRUE(logged("Can't' make discovery request.\n"));

  // Without an agent id nothing is sent.
  set_identity(nullptr, nullptr);
  cloud_->clear_requests();
  load_context_for_fake();
  set_identity(nullptr, nullptr);
  EXPECT_EQ(post_discovery(context_, request), -1);
  EXPECT_EQ(cloud_->request_count(), 0u);
}

TEST_F(LogicTest, AdvisorRequest) {
  load_context_for_fake();
  set_identity("AB-12", "secret");
  context_.set_carrier_id(std::string("carrier-7"));
  cloud_->queue_answer("GET", "/advisor/v2",
                       reply(200, R"({"_type":"ActionConnect","broker":"b.example","port":"8883","token":"dA==",)"
                                  R"("agentKeepalive":"30,5,10","agentHeartbeat":"90"})"));
  advisor_reply answer{};
  ASSERT_EQ(request_advisor(context_, answer), 0);
  EXPECT_EQ(answer.action, kAdvisorActionConnect);
  EXPECT_EQ(answer.broker, "b.example");
  EXPECT_EQ(answer.port, 8883);
  EXPECT_EQ(answer.token, "dA==");
  EXPECT_EQ(context_.agent_keepalive.first, 30u);
  EXPECT_EQ(context_.agent_heartbeat.load(), 90);
  release_advisor_reply(answer);

  auto seen = cloud_->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/advisor/v2");
  auto names = seen[0].header_names();
  auto authorization = std::find(names.begin(), names.end(), "Authorization");
  auto carrier = std::find(names.begin(), names.end(), "X-Carrier-ID");
  ASSERT_NE(carrier, names.end());
  EXPECT_LT(authorization - names.begin(), carrier - names.begin());
  EXPECT_EQ(seen[0].header("X-Carrier-ID"), "carrier-7");

  // Without a carrier id, no such header.
  context_.set_carrier_id(std::nullopt);
  cloud_->queue_answer("GET", "/advisor/v2", reply(200, R"({"_type":"ActionWait","period":0})"));
  advisor_reply wait{};
  ASSERT_EQ(request_advisor(context_, wait), 0);
  EXPECT_EQ(wait.action, kAdvisorActionWait);
  EXPECT_FALSE(cloud_->requests().at(1).header("X-Carrier-ID"));
}

TEST_F(LogicTest, AdvisorFailures) {
  load_context_for_fake();
  struct Case {
    const char* name;
    zeltest::FakeAnswer answer;
    const char* message;
  };
  const Case cases[] = {
      {"wait without a period", reply(200, R"({"_type":"ActionWait"})"), "Can't parse reply from advisor.\n"},
      {"status 201", reply(201, R"({"_type":"ActionWait","period":0})"), "Invalid http code '201' from server.\n"},
      {"connection closed", behaviour(FakeBehaviour::kCloseWithoutAnswer), "Can't make advisor request.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cloud_->queue_answer("GET", "/advisor/v2", c.answer);
    advisor_reply answer{};
    EXPECT_EQ(request_advisor(context_, answer), -1);
    EXPECT_FALSE(answer.broker);
    EXPECT_TRUE(logged(c.message));
  }
  EXPECT_TRUE(logged("Incomplete register reply.\n"));
}

TEST_F(LogicTest, SwitchesReadTheStoreOnEveryCall) {
  EXPECT_EQ(use_discovery(), 0u);
  EXPECT_EQ(force_connection(), 0u);
  EXPECT_EQ(broker_ssl_enabled(), 1u);
  EXPECT_EQ(register_aggressive_time(), 120u);
  EXPECT_EQ(register_aggressive_delay(), 20u);
  config_set(kKeyUseDiscovery, "1");
  config_set(kKeyForceConnection, "1");
  config_set(kKeyBrokerSsl, "0");
  config_set(kKeyRegisterAggressiveTime, "5");
  EXPECT_EQ(use_discovery(), 1u);
  EXPECT_EQ(force_connection(), 1u);
  EXPECT_EQ(broker_ssl_enabled(), 0u);
  EXPECT_EQ(register_aggressive_time(), 5u);
  EXPECT_TRUE(logged("Use discovery mechanism for zelCloud: 1.\n"));
  EXPECT_TRUE(logged("Force connection to zelCloud: 1.\n"));
}

}  // namespace
