// The control tool as a black box against a scripted listener on the control
// port: the exact bytes on the wire, the half-close, reply parsing and exit
// statuses, and the failures of the exchange.
#include <gtest/gtest.h>

#include "control/fake_control_listener.h"
#include "control/control_tool_test.h"
#include "support/test_support.h"

namespace {

using zeltest::FakeControlListener;

using ControlToolExchange = zeltest::ControlToolTest;

TEST_F(ControlToolExchange, SendsEachRequestByteForByteAndHalfCloses) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string wire;
  };
  const Case cases[] = {
      {"pause_connections", {"-c", "pause_connections"}, "{\"command\":\"pause_connections\"}"},
      {"-v after -c is not seen", {"-c", "pause_connections", "-v"}, "{\"command\":\"pause_connections\"}"},
      {"resume_connections", {"-c", "resume_connections"}, "{\"command\":\"resume_connections\"}"},
      {"resume with a carrier", {"-c", "resume_connections", "-carrier_id", "c1"},
       "{\"command\":\"resume_connections\",\"carrier_id\":\"c1\"}"},
      {"resume: the first carrier wins", {"-c", "resume_connections", "-carrier_id", "first", "-carrier_id", "second"},
       "{\"command\":\"resume_connections\",\"carrier_id\":\"first\"}"},
      {"resume: -carrier_id without a value", {"-c", "resume_connections", "-carrier_id"},
       "{\"command\":\"resume_connections\"}"},
      {"on_claim", {"-c", "on_claim", "-s", "svc", "-r", "true"},
       "{\"command\":\"on_claim\",\"service\":\"svc\",\"claimed\": true }"},
      {"-s before -c counts", {"-s", "svc", "-c", "on_claim", "-r", "false"},
       "{\"command\":\"on_claim\",\"service\":\"svc\",\"claimed\": false }"},
      {"on_release: a later -r overrides", {"-c", "on_release", "-r", "true", "-s", "svc", "-r", "false"},
       "{\"command\":\"on_release\",\"service\":\"svc\",\"claimed\": false }"},
      {"on_moravault", {"-c", "on_moravault", "-s", "svc", "-r", "true"},
       "{\"command\":\"on_moravault\",\"service\":\"svc\",\"registered\": true }"},
      {"send_discovery: the second -s wins", {"-c", "send_discovery", "-s", "one", "-s", "two"},
       "{\"command\":\"send_discovery\",\"service\":\"two\"}"},
      {"send_discovery: fragments in their fixed order",
       {"-c", "send_discovery", "-discovery_data", "D", "-carrier_id", "C", "-id", "I", "-t", "30", "-s", "S"},
       "{\"command\":\"send_discovery\",\"service\":\"S\",\"discovery_time\":30,\"id\":\"I\",\"carrier_id\":\"C\","
       "\"discovery_data\":\"D\"}"},
      {"send_discovery: a negative fractional time", {"-c", "send_discovery", "-s", "S", "-t", "-2.5"},
       "{\"command\":\"send_discovery\",\"service\":\"S\",\"discovery_time\":-2.5}"},
      {"values are JSON-escaped", {"-c", "send_discovery", "-s", "a\"b\\c", "-discovery_data", "line\nnext\t"},
       "{\"command\":\"send_discovery\",\"service\":\"a\\\"b\\\\c\",\"discovery_data\":\"line\\nnext\\t\"}"},
      {"an injected member stays a value", {"-c", "on_claim", "-s", "x\",\"claimed\":false,\"s\":\"", "-r", "true"},
       "{\"command\":\"on_claim\",\"service\":\"x\\\",\\\"claimed\\\":false,\\\"s\\\":\\\"\",\"claimed\": true }"},
  };
  FakeControlListener listener;
  std::size_t served = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::ProgramResult result = run(c.args);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "{\"result\":0}\n");
    ASSERT_TRUE(listener.wait_for_requests(++served));
    FakeControlListener::Request request = listener.requests().back();
    EXPECT_EQ(request.text, c.wire);
    EXPECT_TRUE(request.half_closed);
  }
}

TEST_F(ControlToolExchange, LongestDiscoveryRequestIsSentWhole) {
  // 2047 characters: the service fills what the other fragments leave.
  const std::string head = "{\"command\":\"send_discovery\",\"service\":\"\"}";
  const std::string data(1023 - std::string(",\"discovery_data\":\"\"").size(), 'd');
  const std::string service(2047 - head.size() - 1023, 's');
  FakeControlListener listener;
  zeltest::ProgramResult result = run({"-c", "send_discovery", "-s", service, "-discovery_data", data});
  EXPECT_EQ(result.exit_status, 0);
  ASSERT_TRUE(listener.wait_for_requests(1));
  EXPECT_EQ(listener.requests()[0].text.size(), 2047u);
  EXPECT_EQ(listener.requests()[0].text,
            "{\"command\":\"send_discovery\",\"service\":\"" + service + "\",\"discovery_data\":\"" + data + "\"}");
}

TEST_F(ControlToolExchange, ReplyBecomesTheOutputAndTheExitStatus) {
  struct Case {
    std::string reply;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {"{\"result\":0}", "{\"result\":0}\n", 0},
      {"{\"result\":-10}", "{\"result\":-10}\n", 246},
      {"{\"result\":-1}", "{\"result\":-1}\n", 255},
      {"{\"result\":-5}", "{\"result\":-5}\n", 251},
      {"{\"result\":-11}", "{\"result\":-11}\n", 245},
      {"{\"result\":1}", "Unknown error.\n", 1},
      {"{\"result\":-12}", "Unknown error.\n", 1},
      {"", "{\"result\":0}\n", 0},          // closed without writing
      {"not json", "{\"result\":0}\n", 0},  // a reply that does not match counts as 0
      {std::string(400, 'x'), "{\"result\":0}\n", 0},
  };
  FakeControlListener listener;
  std::size_t served = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    listener.set_reply(c.reply);
    zeltest::ProgramResult result = run({"--log_debug", "-c", "pause_connections"});
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(listener.wait_for_requests(++served));
  }
  // The DEBUG trace of the reply (at most 255 bytes are read).
  std::string text = log();
  EXPECT_NE(text.find("\t  DEBUG: Readed 14 bytes from zelagent: {\"result\":-10}\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\t  DEBUG: Readed 0 bytes from zelagent: \n"), std::string::npos) << text;
  EXPECT_NE(text.find("\t  DEBUG: Readed 255 bytes from zelagent: " + std::string(255, 'x') + "\n"),
            std::string::npos);
}

TEST_F(ControlToolExchange, ListenerThatClosesWithoutReplyMeansZero) {
  FakeControlListener listener;
  listener.set_behaviour(FakeControlListener::Behaviour::kCloseWithoutReply);
  zeltest::ProgramResult result = run({"-c", "resume_connections"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "{\"result\":0}\n");
}

TEST_F(ControlToolExchange, DefaultSettingsLogOnlyErrorsAndNothingToTheConsole) {
  FakeControlListener listener;
  zeltest::ProgramResult result = run({"-c", "pause_connections"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  // The DEBUG trace of the reply is filtered out: no log file at all.
  EXPECT_FALSE(zeltest::file_exists(log_path())) << log();
}

TEST_F(ControlToolExchange, NoListenerIsACommunicationProblem) {
  zeltest::ProgramResult result = run({"-c", "pause_connections"});
  EXPECT_EQ(result.exit_status, 254);
  EXPECT_EQ(result.out, "{\"result\":-2}\n");
  EXPECT_EQ(result.err, "");
  EXPECT_NE(log().find(":zelagent_control:"), std::string::npos) << log();
  EXPECT_NE(log().find("\t  ERROR: Can't connect; errno=111 - Connection refused.\n"), std::string::npos) << log();
}

// A listener that resets the connection never answered: the request may not
// have been carried out, so the tool must not report success.
TEST_F(ControlToolExchange, ResetConnectionIsACommunicationProblem) {
  FakeControlListener listener;
  listener.set_behaviour(FakeControlListener::Behaviour::kReset);
  zeltest::ProgramResult result = run({"-c", "pause_connections"});
  EXPECT_EQ(result.exit_status, 254);
  EXPECT_EQ(result.out, "{\"result\":-2}\n");
  EXPECT_NE(log().find("\t  ERROR: Can't "), std::string::npos) << log();
  // The reset is seen while receiving, or already while sending or at the
  // half-close, depending on when it arrives.
  bool reset = log().find("errno=104 - Connection reset by peer.\n") != std::string::npos ||
               log().find("errno=32 - Broken pipe.\n") != std::string::npos ||
               log().find("Can't shut down sending; errno=107 - Transport endpoint is not connected.\n") !=
                   std::string::npos;
  EXPECT_TRUE(reset) << log();
}

}  // namespace
