// The builders are checked by parsing their text back (members, order,
// types); the readers against replies on the edges of what they accept.
#include "cloud/json_helper.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cloud/logic.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// "name:type=value" for every top-level member, in order.
std::vector<std::string> members(const std::string& text) {
  JsonPtr root(cJSON_Parse(text.c_str()));
  std::vector<std::string> out;
  if (!root) return {"<not json>"};
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    std::string entry = std::string(item->string) + ":";
    if (cJSON_IsString(item)) entry += std::string("string=") + item->valuestring;
    else if (cJSON_IsNumber(item)) entry += "number=" + std::to_string(item->valueint);
    else if (cJSON_IsBool(item)) entry += cJSON_IsTrue(item) ? "bool=true" : "bool=false";
    else entry += "other";
    out.push_back(entry);
  }
  return out;
}

class JsonHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_hardware_id = "HW-0001";
    device_model = "ZX-200";
  }
  std::string log_text() const { return log_.text(); }
  std::size_t times_logged(const std::string& text) const { return static_cast<std::size_t>(log_.count(text)); }

  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("agent.log")};
};

TEST_F(JsonHelperTest, BuildersGiveTheirMembersInOrder) {
  EXPECT_EQ(members(build_register_body()),
            (std::vector<std::string>{"hardwareId:string=HW-0001", "model:string=ZX-200"}));
  EXPECT_EQ(members(build_discovery_body("AGENT-1", "HW-9", std::nullopt)),
            (std::vector<std::string>{"_type:string=Device", "_id:string=AGENT-1", "hardwareId:string=HW-9",
                                      "model:string=ZX-200"}));
  EXPECT_EQ(members(build_discovery_body("AGENT-1", "HW-9", std::string("extra \"data\""))),
            (std::vector<std::string>{"_type:string=Device", "_id:string=AGENT-1", "hardwareId:string=HW-9",
                                      "model:string=ZX-200", "discoveryData:string=extra \"data\""}));
  // A flag is true only when it is 1.
  EXPECT_EQ(members(build_state_event(3, 1, 4242, 1, 2, 0)),
            (std::vector<std::string>{"event:number=3", "daemon:bool=true", "pid:number=4242",
                                      "registered:bool=true", "claimed:bool=false", "connected:bool=false"}));
  EXPECT_EQ(members(build_service_notification("printer", 7)),
            (std::vector<std::string>{"service:string=printer", "claimed:bool=true"}));
  EXPECT_EQ(members(build_service_notification("printer", 0)),
            (std::vector<std::string>{"service:string=printer", "claimed:bool=false"}));
}

TEST_F(JsonHelperTest, RegisterReplyNeedsBothStringsAndClearsTheIdentityOtherwise) {
  struct Case {
    const char* reply;
    int result;
    const char* agent_id;
    const char* claim_code;
    const char* message;
  };
  const Case cases[] = {
      {R"({"deviceId":"AB-12","claimCode":"xyz"})", 0, "AB-12", "xyz", nullptr},
      {R"({"deviceId":"A","claimCode":"1","deviceId":"B"})", 0, "B", "1", nullptr},
      {R"({"deviceId":"AB-12"})", -1, nullptr, nullptr, "Incomplete register reply.\n"},
      {R"({"deviceId":12,"claimCode":"xyz"})", -1, nullptr, nullptr, "Incomplete register reply.\n"},
      {R"({})", -1, nullptr, nullptr, "Can't get list of elements in register reply.\n"},
      {R"("just a string")", -1, nullptr, nullptr, "Can't get list of elements in register reply.\n"},
      {R"({"deviceId": broken)", -1, nullptr, nullptr, "Error before: '"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    identity id;
    id.agent_id = "OLD";
    id.hardware_id = "HW-0001";
    id.claim_code = "old";
    EXPECT_EQ(parse_register_reply(c.reply, id), c.result);
    if (c.result == 0) {
      EXPECT_EQ(id.agent_id, c.agent_id);
      EXPECT_EQ(id.claim_code, c.claim_code);
      EXPECT_EQ(id.hardware_id, "HW-0001");  // kept
    } else if (std::string(c.message) == "Incomplete register reply.\n") {
      EXPECT_FALSE(id.agent_id);
      EXPECT_FALSE(id.hardware_id);  // the whole identity goes
      EXPECT_FALSE(id.claim_code);
    }
    if (c.message) {
      EXPECT_NE(log_text().find(c.message), std::string::npos);
    }
  }
}

TEST_F(JsonHelperTest, ClaimReplyNeedsTypeIdAndABooleanOfAnyName) {
  struct Case {
    const char* reply;
    int result;
    int claimed;
  };
  const Case cases[] = {
      {R"({"_type":"Claim","deviceId":"AB-1","claimed":true})", 0, 1},
      {R"({"_type":"Claim","deviceId":"AB-1","whatever":true})", 0, 1},
      {R"({"_type":"Claim","deviceId":"AB-1","a":true,"b":false})", 0, 0},  // the last decides
      {R"({"_type":"Claim","deviceId":"AB-1"})", -1, 0},
      {R"({"_type":"Claim","claimed":true})", -1, 0},
      {R"({"deviceId":"AB-1","claimed":true})", -1, 0},
      {R"({"_type":"Claim","deviceId":"AB-1","claimed":"true"})", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    claim_reply reply;
    EXPECT_EQ(parse_claim_reply(c.reply, reply), c.result);
    if (c.result == 0) {
      EXPECT_EQ(reply.claimed, c.claimed);
      EXPECT_EQ(reply.type, "Claim");
      EXPECT_EQ(reply.agent_id, "AB-1");
    } else {
      EXPECT_FALSE(reply.type);
      EXPECT_FALSE(reply.agent_id);
    }
  }
}

TEST_F(JsonHelperTest, AdvisorReplyCompletenessRules) {
  struct Case {
    const char* reply;
    int result;
    int32_t action;
    const char* broker;
    int32_t period;
    int32_t port;
  };
  const Case cases[] = {
      {R"({"_type":"ActionWait","period":0})", 0, kAdvisorActionWait, nullptr, 0, 0},
      {R"({"_type":"ActionWait","period":30})", 0, kAdvisorActionWait, nullptr, 30, 0},
      {R"({"_type":"ActionWait"})", -1, 0, nullptr, 0, 0},
      {R"({"_type":"ActionWait","period":"30"})", -1, 0, nullptr, 0, 0},
      {R"({"_type":"ActionConnect","broker":"b.example","port":8883})", 0, kAdvisorActionConnect, "b.example", -1, 0},
      {R"({"_type":"ActionConnect","broker":"b.example","port":"8883"})", 0, kAdvisorActionConnect, "b.example", -1,
       8883},
      {R"({"_type":"ActionConnect"})", -1, 0, nullptr, 0, 0},
      {R"({"_type":"ActionOther","broker":"b.example"})", -1, 0, nullptr, 0, 0},
      {R"({})", -1, 0, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    agent_context context;
    advisor_reply reply{};
    reply.token = "previous";
    EXPECT_EQ(parse_advisor_reply(c.reply, reply, context), c.result);
    if (c.result == 0) {
      EXPECT_EQ(reply.action, c.action);
      EXPECT_EQ(reply.broker.has_value(), c.broker != nullptr);
      if (c.broker) {
        EXPECT_EQ(*reply.broker, c.broker);
      }
      EXPECT_EQ(reply.period, c.period);
      EXPECT_EQ(reply.port, c.port);
    } else if (std::string(c.reply) == "{}") {
      EXPECT_EQ(reply.token, "previous");  // refused before any member is looked at
    } else {
      EXPECT_FALSE(reply.broker);
      EXPECT_FALSE(reply.token);
    }
  }
  EXPECT_NE(log_text().find("Can't get list of elements in advisor reply.\n"), std::string::npos);
}

TEST_F(JsonHelperTest, AdvisorReplyFillsKeepalivesHeartbeatAndToken) {
  agent_context context;
  context.broker_keepalive = {1, 2, 3};
  advisor_reply reply{};
  const char* text =
      R"({"_type":"ActionConnect","broker":"b.example","token":"dG9rZW4=","agentKeepalive":"30,5,10",)"
      R"("brokerKeepalive":"30,5","agentHeartbeat":"-1"})";
  ASSERT_EQ(parse_advisor_reply(text, reply, context), 0);
  EXPECT_EQ(reply.token, "dG9rZW4=");
  EXPECT_EQ(context.agent_keepalive.first, 30u);
  EXPECT_EQ(context.agent_keepalive.second, 5u);
  EXPECT_EQ(context.agent_keepalive.third, 10u);
  // A bad broker keepalive keeps the former triple.
  EXPECT_EQ(context.broker_keepalive.first, 1u);
  EXPECT_EQ(context.broker_keepalive.second, 2u);
  EXPECT_EQ(context.broker_keepalive.third, 3u);
  EXPECT_EQ(context.agent_heartbeat.load(), -1);
  std::string log = log_text();
  EXPECT_NE(log.find("Received bad broker keepalive string from advisor: '30,5'\n"), std::string::npos);
  EXPECT_NE(log.find("Received bad agent heartbeat string from advisor: '-1'\n"), std::string::npos);
  release_advisor_reply(reply);
  EXPECT_FALSE(reply.broker);
  EXPECT_FALSE(reply.token);
}

TEST_F(JsonHelperTest, KeepaliveStrings) {
  struct Case {
    const char* text;
    int result;
    uint32_t a, b, c;
    std::size_t warnings;
  };
  const Case cases[] = {
      {"30,5,10", 0, 30, 5, 10, 0},
      {"30,5", -1, 7, 7, 7, 0},             // fewer than three fields: untouched
      {"30,-5,10", 0, 30, 0, 10, 1},        // a negative field is 0, with a warning
      {"30,5,10,99", 0, 30, 5, 10, 0},      // fields after the third are ignored
      {"30,,10", 0, 30, 0, 10, 0},          // an empty field counts as a field
      {"99999999999,1,2", 0, 2147483647u, 1, 2, 0},
      {"", -1, 7, 7, 7, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::size_t before = times_logged("Cannot convert value");
    uint32_t a = 7, b = 7, third = 7;
    EXPECT_EQ(parse_keepalive_string(c.text, &a, &b, &third), c.result);
    EXPECT_EQ(a, c.a);
    EXPECT_EQ(b, c.b);
    EXPECT_EQ(third, c.c);
    EXPECT_EQ(times_logged("Cannot convert value") - before, c.warnings);
  }
  uint32_t a = 0;
  EXPECT_EQ(parse_keepalive_string(nullptr, &a, &a, &a), -1);
  EXPECT_EQ(parse_keepalive_string("1,2,3", &a, nullptr, &a), -1);
  EXPECT_NE(log_text().find("Cannot convert value -5 to uint32_t - got value -5\n"), std::string::npos);
}

}  // namespace
