// The cloud's JSON documents: the members each builder prints, how each reply
// reader counts members only by name and JSON type and refuses an incomplete
// reply, the advisor values it leaves in the context, and keepalive strings.
#include <tuple>
#include <vector>

#include "cloud_fixture.h"

static std::vector<uint32_t> triple(const keepalive_values& k) { return {k.first, k.second, k.third}; }

TEST_F(CloudTest, BuildersPrintEveryMemberWithItsType) {
  EXPECT_EQ(compact(build_discovery_body("AB-12", "HW-2", std::nullopt)),
            R"({"_type":"Device","_id":"AB-12","hardwareId":"HW-2","model":"M-1"})");
  EXPECT_EQ(compact(build_discovery_body("AB-12", "HW-2", "a \"b\"")),
            R"({"_type":"Device","_id":"AB-12","hardwareId":"HW-2","model":"M-1","discoveryData":"a \"b\""})");
  EXPECT_EQ(compact(build_state_event(3, 1, 2147483647, 2, 1, 0)),
            R"({"event":3,"daemon":true,"pid":2147483647,"registered":false,"claimed":true,"connected":false})");
  EXPECT_EQ(compact(build_service_notification("svc", 2)), R"({"service":"svc","claimed":true})");
  EXPECT_EQ(compact(build_service_notification("svc", 0)), R"({"service":"svc","claimed":false})");
}

TEST_F(CloudTest, RegisterReplyNeedsBothStringsElseClearsTheWholeIdentity) {
  const std::tuple<const char*, int, S, S, S> cases[] = {
      {R"({"deviceId":"AB-1","claimCode":"c1","model":1})", 0, "AB-1", "c1", "HW-1"},
      {R"({"deviceId":"A","claimCode":"c","deviceId":"B"})", 0, "B", "c", "HW-1"},
      {R"({"deviceId":"AB-1"})", -1, {}, {}, {}}, {R"({"claimCode":"c1"})", -1, {}, {}, {}},
      {R"({"deviceId":5,"claimCode":"c1"})", -1, {}, {}, {}},
      {R"([{"deviceId":"AB-1","claimCode":"c1"}])", -1, {}, {}, {}}};
  for (const auto& [text, rc, agent, code, hardware] : cases) {
    SCOPED_TRACE(text);
    identity id{"OLD", "HW-1", "old"};
    const int got = parse_register_reply(text, id);
    EXPECT_EQ(std::tie(got, id.agent_id, id.claim_code, id.hardware_id), std::tie(rc, agent, code, hardware));
  }
}

TEST_F(CloudTest, ClaimReplyNeedsTypeIdAndABooleanOfAnyNameTheLastDeciding) {
  const std::tuple<const char*, int, int32_t, S, S> cases[] = {
      {R"({"_type":"Claim","deviceId":"AB-1","claimed":true})", 0, 1, "Claim", "AB-1"},
      {R"({"_type":"Claim","deviceId":"AB-1","a":true,"b":false})", 0, 0, "Claim", "AB-1"},
      {R"({"b":false,"_type":"Claim","deviceId":"AB-1","a":true})", 0, 1, "Claim", "AB-1"},
      {R"({"_type":"Claim","deviceId":"AB-1","claimed":"true"})", -1, 0, {}, {}},
      {R"({"deviceId":"AB-1","claimed":false})", -1, 0, {}, {}},
      {R"({"_type":"Claim","deviceId":1,"claimed":false})", -1, 0, {}, {}}};
  for (const auto& [text, rc, claimed, type, agent] : cases) {
    SCOPED_TRACE(text);
    claim_reply reply;
    const int got = parse_claim_reply(text, reply);
    EXPECT_EQ(std::tie(got, reply.claimed, reply.type, reply.agent_id), std::tie(rc, claimed, type, agent));
  }
}

TEST_F(CloudTest, AdvisorReplyConnectsWithABrokerOrWaitsAnyPeriodFromZero) {
  const int32_t connect = kAdvisorActionConnect, wait = kAdvisorActionWait;
  struct Case { const char* text; int rc; int32_t action; S broker; int32_t period, port; S token; };
  const Case cases[] = {
      {R"({"_type":"ActionConnect","broker":"b.test","port":"8883","token":"dG9r"})", 0, connect, "b.test", -1, 8883,
       "dG9r"},
      {R"({"_type":"ActionConnect","broker":"b.test","port":8883})", 0, connect, "b.test", -1, 0, {}},
      {R"({"_type":"ActionConnect","broker":7,"period":5,"token":"dG9r"})", -1, connect, {}, 5, 0, {}},
      {R"({"_type":"ActionWait","period":0,"agentKeepalive":"30,5,9","brokerKeepalive":"1,2,3","agentHeartbeat":"45"})",
       0, wait, {}, 0, 0, {}},
      {R"({"_type":"ActionWait","period":-1})", -1, wait, {}, -1, 0, {}},
      {R"({"_type":"ActionWait","period":"5"})", -1, wait, {}, -1, 0, {}},
      {R"({"_type":"Later","broker":"b.test","period":5})", -1, kAdvisorActionNone, {}, 5, 0, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    advisor_reply r{};
    EXPECT_EQ(parse_advisor_reply(c.text, r, context_), c.rc);
    EXPECT_EQ(std::tie(r.action, r.broker, r.period, r.port, r.token),
              std::tie(c.action, c.broker, c.period, c.port, c.token));
  }
  // The keepalives and the heartbeat of a reply go into the context.
  EXPECT_EQ(triple(context_.agent_keepalive), (std::vector<uint32_t>{30, 5, 9}));
  EXPECT_EQ(triple(context_.broker_keepalive), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(context_.agent_heartbeat.load(), 45);
}

TEST_F(CloudTest, KeepaliveStringTakesThreeFieldsAndClampsEach) {
  const std::tuple<const char*, int, std::vector<uint32_t>> cases[] = {
      {"30,5,10", 0, {30, 5, 10}},  {"30,5,10,99", 0, {30, 5, 10}}, {"30,5", -1, {7, 7, 7}}, {"", -1, {7, 7, 7}},
      {"30,-5,10", 0, {30, 0, 10}}, {",5,x", 0, {0, 5, 0}},          {nullptr, -1, {7, 7, 7}},
      {"99999999999,1,2147483647", 0, {2147483647, 1, 2147483647}}};
  for (const auto& [text, rc, values] : cases) {
    SCOPED_TRACE(text ? text : "(null)");
    keepalive_values k{7, 7, 7};
    EXPECT_EQ(parse_keepalive_string(text, &k.first, &k.second, &k.third), rc);
    EXPECT_EQ(triple(k), values);
  }
}
