// The control request parser and executor without any socket: which kind a
// text selects, which members count, and what an incomplete text gives.
#include <gtest/gtest.h>

#include <variant>

#include "cloud/json_helper.h"
#include "cloud/logic.h"
#include "control_listener/control_listener.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

class ControlRequestTest : public ::testing::Test {
 protected:
  bool logged(const std::string& text) const { return log_.contains(text); }
  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("agent.log")};
};

TEST_F(ControlRequestTest, KindsAndPayloads) {
  struct Case {
    const char* name;
    const char* text;
    int32_t type;
  };
  const Case cases[] = {
      {"send_discovery", R"({"command":"send_discovery","service":"s"})", kControlSendDiscovery},
      {"on_claim", R"({"command":"on_claim","service":"s","claimed":true})", kControlOnClaim},
      {"on_release", R"({"command":"on_release","service":"s","claimed":false})", kControlOnRelease},
      {"on_moravault", R"({"command":"on_moravault","service":"s","registered":true})", kControlOnMoravault},
      {"resume without carrier", R"({"command":"resume_connections"})", kControlResumeConnections},
      {"pause", R"({"command":"pause_connections"})", kControlPauseConnections},
      {"pause with an unknown member", R"({"extra":[1,2],"command":"pause_connections"})", kControlPauseConnections},
      {"pause then an unknown command", R"({"command":"pause_connections","command":"nope"})",
       kControlPauseConnections},
      {"pause then on_claim", R"({"command":"pause_connections","command":"on_claim","service":"s","claimed":true})",
       kControlOnClaim},
      {"first selecting command wins", R"({"command":"on_moravault","registered":false,"service":"a",
          "command":"on_claim"})", kControlOnMoravault},
      {"trailing text after the object", R"({"command":"pause_connections"} trailing)", kControlPauseConnections},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    control_request request;
    ASSERT_EQ(parse_control_request(c.text, request), 0);
    EXPECT_EQ(request.type, c.type);
    const bool needs_payload = c.type != kControlPauseConnections && c.type != kControlResumeConnections;
    EXPECT_EQ(std::holds_alternative<std::monostate>(request.payload), !needs_payload);
    free_control_request(request);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(request.payload));
  }
}

TEST_F(ControlRequestTest, DiscoveryMembersCountOnlyWithTheirType) {
  control_request request;
  ASSERT_EQ(parse_control_request(R"({"service":"first","command":"send_discovery","discovery_time":"30",
      "id":7,"carrier_id":"C","discovery_data":"D","service":"second","id":"I"})",
                                  request),
            0);
  const auto& discovery = std::get<discovery_request>(request.payload);
  EXPECT_EQ(discovery.service, "second");
  EXPECT_EQ(discovery.discovery_time, 0);  // a string is ignored
  EXPECT_EQ(discovery.id, std::optional<std::string>("I"));
  EXPECT_EQ(discovery.carrier_id, std::optional<std::string>("C"));
  EXPECT_EQ(discovery.discovery_data, std::optional<std::string>("D"));

  struct Time {
    const char* text;
    int32_t seconds;
  };
  for (const Time& t : {Time{"45", 45}, Time{"45.9", 45}, Time{"-3", -3}, Time{"1e12", INT32_MAX}}) {
    SCOPED_TRACE(t.text);
    ASSERT_EQ(parse_control_request(
                  (std::string(R"({"command":"send_discovery","service":"s","discovery_time":)") + t.text + "}").c_str(),
                  request),
              0);
    EXPECT_EQ(std::get<discovery_request>(request.payload).discovery_time, t.seconds);
  }
}

TEST_F(ControlRequestTest, ClaimValuesAndCarrier) {
  control_request request;
  ASSERT_EQ(parse_control_request(R"({"command":"on_release","claimed":true,"service":"s","claimed":false})", request),
            0);
  EXPECT_EQ(std::get<service_request>(request.payload).value, 0);
  EXPECT_EQ(std::get<service_request>(request.payload).service, "s");

  ASSERT_EQ(parse_control_request(R"({"command":"resume_connections","carrier_id":"A","carrier_id":"B"})", request), 0);
  EXPECT_EQ(std::get<std::string>(request.payload), "B");
  EXPECT_TRUE(logged("There are many ID fields in carrier changed request.\n"));
}

TEST_F(ControlRequestTest, RefusedTexts) {
  struct Case {
    const char* name;
    const char* text;  // null: no text at all
    const char* logged;
  };
  const Case cases[] = {
      {"no text", nullptr, "Error before: ''\n"},
      {"not JSON", "{\"command\":", "Error before: "},
      {"no members", "{}", "Can't get list of elements in control request.\n"},
      {"a bare string", "\"pause_connections\"", "Can't get list of elements in control request.\n"},
      {"no command member", R"({"service":"s","claimed":true})", "Control request names no known command.\n"},
      {"command as a number", R"({"command":4})", "Control request names no known command.\n"},
      {"command in another case", R"({"Command":"pause_connections"})", "Control request names no known command.\n"},
      {"an array", R"(["command","pause_connections"])", "Control request names no known command.\n"},
      {"claimed as 1", R"({"command":"on_claim","service":"s","claimed":1})",
       "Incomplete on_claim/on_release request!.\n"},
      {"claimed as a string", R"({"command":"on_claim","service":"s","claimed":"true"})",
       "Incomplete on_claim/on_release request!.\n"},
      {"service as a number", R"({"command":"on_release","service":5,"claimed":true})",
       "Incomplete on_claim/on_release request!.\n"},
      {"registered missing", R"({"command":"on_moravault","service":"s","claimed":true})",
       "Incomplete on_moravault request!.\n"},
      {"discovery without service", R"({"command":"send_discovery","id":"x"})", "Incomplete discovery request!.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    control_request request;
    request.type = kControlOnClaim;  // left over from an earlier request
    request.payload = service_request{"old", 1};
    EXPECT_EQ(parse_control_request(c.text, request), -1);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(request.payload));
    EXPECT_TRUE(logged(c.logged));
  }
}

TEST_F(ControlRequestTest, ElementParsersRefuseANullOrEmptyRoot) {
  control_request request;
  EXPECT_EQ(parse_claim_request(request, nullptr), -1);
  EXPECT_TRUE(logged("NULL parameter.\n"));
  EXPECT_EQ(parse_carrier_request(request, nullptr), -1);
  EXPECT_EQ(parse_discovery_request(request, nullptr), -1);
  EXPECT_EQ(parse_moravault_request(request, nullptr), -1);
}

TEST_F(ControlRequestTest, ExecutorAnswersUnknownAndPayloadlessRequestsWithoutRunningAnything) {
  agent_context context;
  control_request request;
  request.type = 42;
  EXPECT_EQ(execute_control_request(request, context), 0);
  EXPECT_TRUE(logged("Cannot execute request with unknown type 42.\n"));
  request.type = kControlRequestNone;
  EXPECT_EQ(execute_control_request(request, context), 0);

  for (int32_t type : {kControlSendDiscovery, kControlOnClaim, kControlOnRelease, kControlOnMoravault}) {
    SCOPED_TRACE(type);
    request.type = type;
    EXPECT_EQ(execute_control_request(request, context), -1);
  }
}

TEST_F(ControlRequestTest, IncomingRequestWithoutContextIsRefused) {
  const std::string text = R"({"command":"pause_connections"})";
  EXPECT_EQ(execute_incoming_request(text.data(), text.size(), nullptr), -1);
  EXPECT_TRUE(logged("No agent context yet: control request refused.\n"));
}

}  // namespace
