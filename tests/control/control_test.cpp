// The control tool: its command line read into request texts, the escaping and
// length limits of those texts, and the built zelagent_control program against
// a small listener on the control port (bytes sent, half-close, reply printed,
// exit status).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <tuple>
#include <thread>

#include "control/command_line.h"
#include "cloud/json_helper.h"
#include "control/control_protocol.h"
#include "log/log.h"
#include "support/test_support.h"
#include "zelcloud_sim.h"

namespace {

using Action = command_line_action;

class ControlTest : public testing::Test {
 protected:
  static command_line_outcome read(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"zelagent_control"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);  // as the real argv ends
    return read_command_line(static_cast<int>(argv.size() - 1), argv.data(), {kLogError, 0, 1, "/x"});
  }

  enum class Peer { none, reply, reset };
  struct Exchange { zeltest::ProgramResult result; std::string request; bool half_closed = false; };
  // Runs the tool; unless `peer` is none, against a listener on the control
  // port that reads the request to its end, then answers `reply` or resets.
  Exchange exchange(const std::vector<std::string>& args, Peer peer, const std::string& reply) {
    Exchange ex;
    const UniqueFd listener = peer == Peer::none ? UniqueFd() : zelsim::listen_loopback(kControlPort, 4);
    if (peer != Peer::none && !listener) {
      ADD_FAILURE() << "cannot listen on the control port";
      return ex;
    }
    std::thread server([&] {
      pollfd ready{listener.get(), POLLIN, 0};
      if (peer == Peer::none || ::poll(&ready, 1, static_cast<int>(zeltest::kWaitLimit.count())) != 1) return;
      UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      ex.request = zeltest::control_reply(conn.get());  // to the end of the stream
      char byte = 0;
      ex.half_closed = ::recv(conn.get(), &byte, 1, MSG_DONTWAIT) == 0;
      if (peer == Peer::reset) {
        linger abort{1, 0};
        ::setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      } else if (::write(conn.get(), reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
        ADD_FAILURE() << "reply not written";
      }
    });
    std::vector<std::string> argv{zeltest::built_program("src/control/zelagent_control"), "--log_file",
                                  dir_.file("tool.log")};
    argv.insert(argv.end(), args.begin(), args.end());
    ex.result = zeltest::run_program(argv);
    server.join();
    return ex;
  }

  zeltest::TempDir dir_;
};

TEST_F(ControlTest, CommandLineBecomesTheRequestText) {
  const struct { std::vector<std::string> args; Action action; std::string request; } cases[] = {  // request: sent
      {{"-c", "pause_connections"}, Action::request, R"({"command":"pause_connections"})"},
      {{"-c", "resume_connections", "-carrier_id", "a", "-carrier_id", "b"}, Action::request,
       R"({"command":"resume_connections","carrier_id":"a"})"},
      {{"-c", "resume_connections", "-carrier_id"}, Action::request, R"({"command":"resume_connections"})"},
      {{"-s", "svc", "-c", "on_claim", "-r", "true"}, Action::request,
       R"({"command":"on_claim","service":"svc","claimed": true })"},
      {{"-c", "on_release", "-s", "a", "-r", "true", "-s", "b", "-r", "false"}, Action::request,
       R"({"command":"on_release","service":"b","claimed": false })"},
      {{"-c", "on_moravault", "-r", "true", "-s", "svc"}, Action::request,
       R"({"command":"on_moravault","service":"svc","registered": true })"},
      {{"-c", "send_discovery", "-discovery_data", "d\n", "-carrier_id", "C", "-id", "I", "-t", "-2.5", "-s", "S"},
       Action::request,
       R"({"command":"send_discovery","service":"S","discovery_time":-2.5,"id":"I","carrier_id":"C","discovery_data":"d\n"})"},
      {{"-c", "send_discovery", "-s", "one", "-s", "two", "-t"}, Action::request,
       R"({"command":"send_discovery","service":"two"})"},
      {{"-c", "on_claim", "-r", "true", "-s"}, Action::result, ""},
      {{"-c", "on_claim", "-s", "svc"}, Action::result, ""},
      {{"-c", "on_claim", "-s", "svc", "-r", "yes"}, Action::result, ""},
      {{"-c", "on_claim", "-s", std::string(256, 's'), "-r", "true"}, Action::result, ""},
      {{"-c", "send_discovery", "-t", "30"}, Action::result, ""},
      {{"-c", "on_carrier_changed", "-id", "x"}, Action::result, ""},
      {{"-c"}, Action::result, ""},
      {{"--log_info", "-v", "-c", "pause_connections"}, Action::version, ""},
      {{"--enable_console", "pause_connections"}, Action::usage, ""},
      {{"--log_file"}, Action::usage, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const command_line_outcome outcome = read(c.args);
    EXPECT_EQ(outcome.action, c.action);
    EXPECT_EQ(outcome.request, c.request);
    if (c.action == Action::result) {
      EXPECT_EQ(outcome.code, kResultBadRequest);
    }
  }
  // Global options before "-c" set the Logger; after it they are not seen.
  const control_log_settings set = read({"--log_debug", "--enable_console", "--disable_log_file", "--log_file", "f",
                                         "-c", "pause_connections", "--log_silent"}).settings;
  EXPECT_EQ(std::tie(set.level, set.to_console, set.to_file, set.file_path),
            std::make_tuple(kLogDebug, 1, 0, std::string("f")));
}

TEST_F(ControlTest, RequestsAtTheirLengthLimitPassAndOneMoreIsRefused) {
  using Builder = std::function<int(const std::string&, std::string*)>;
  // A fragment_overhead of 0: the limit is on the whole request.
  const struct { const char* name; Builder build; std::size_t limit; std::size_t fragment_overhead; } limits[] = {
      {"on_claim",
       [](const std::string& v, std::string* out) { return build_claim_request(kCommandOnClaim, v, "true", out); },
       kShortRequestMaxLength, 0},
      {"resume", [](const std::string& v, std::string* out) { return build_resume_request(v, out); },
       kShortRequestMaxLength, 0},
      {"send_discovery",
       [](const std::string& v, std::string* out) { return build_send_discovery_request({v, {}, {}, {}, {}}, out); },
       kDiscoveryRequestMaxLength, 0},
      {"discovery_data",
       [](const std::string& v, std::string* out) { return build_send_discovery_request({"", {}, {}, {}, v}, out); },
       kDiscoveryFragmentMaxLength, std::strlen(R"(,"discovery_data":"")")},
  };
  for (const auto& l : limits) {
    SCOPED_TRACE(l.name);
    std::string text;
    ASSERT_EQ(l.build("", &text), 0);
    const std::string longest(l.limit - (l.fragment_overhead ? l.fragment_overhead : text.size()), 'x');
    ASSERT_EQ(l.build(longest, &text), 0);
    if (l.fragment_overhead == 0) {
      EXPECT_EQ(text.size(), l.limit);
    }
    const std::string accepted = text;
    EXPECT_EQ(l.build(longest + "x", &text), -1);
    EXPECT_EQ(text, accepted);
  }
}

// Values already escaped by a script pass as they are; what is not a valid
// escape is escaped.
TEST_F(ControlTest, JsonEscapeKeepsValidEscapes) {
  const std::pair<std::string, std::string> escapes[] = {
      {"plain/\xD1\x81", "plain/\xD1\x81"},
      {"a\"b", "a\\\"b"},
      {"a\\\"b", "a\\\"b"},
      {R"(\\ \/ \b\f\n\r\t \u00e9 \uABCD)", R"(\\ \/ \b\f\n\r\t \u00e9 \uABCD)"},
      {R"(c:\d \u12 \u00g0 \x)", R"(c:\\d \\u12 \\u00g0 \\x)"},
      {"end\\", "end\\\\"},
      {"\\\\\"", "\\\\\\\""},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("\0\x1f\x7f", 3), "\\u0000\\u001f\x7f"},
  };
  for (const auto& [in, out] : escapes) {
    SCOPED_TRACE(in);
    EXPECT_EQ(json_escape(in), out);
  }
}

// -t passes exactly what the agent reads as a discovery time, and the agent
// reads the seconds given; everything the tool refuses, the agent refuses too.
TEST_F(ControlTest, DiscoveryTimeIsRefusedOnlyWhenTheAgentWouldRefuseIt) {
  const struct {
    std::string value;
    std::optional<int> seconds;  // nullopt: refused
  } cases[] = {
      {"30", 30}, {"010", 10}, {"5.", 5}, {" 5", 5}, {"5 ", 5}, {"\t7\n", 7}, {"1e3", 1000}, {"2.5", 2},
      {"-1", -1}, {"-.5", 0}, {"1.e1", 10}, {"0", 0}, {"99999999999", INT32_MAX}, {"-1e400", INT32_MIN},
      {std::string(100, '9'), INT32_MAX}, {"", std::nullopt}, {" ", std::nullopt}, {"junk", std::nullopt},
      {"+5", std::nullopt}, {".5", std::nullopt}, {"1e", std::nullopt}, {"1e+", std::nullopt},
      {"0x10", std::nullopt}, {"5 6", std::nullopt}, {"--1", std::nullopt}, {"1.2.3", std::nullopt},
      {"5s", std::nullopt}, {"1e5e", std::nullopt}, {"5,\"id\":\"x\"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("-t '" + c.value + "'");
    const command_line_outcome tool = read({"-c", "send_discovery", "-s", "s", "-t", c.value});
    ASSERT_EQ(tool.action, c.seconds ? Action::request : Action::result);
    const std::string text = c.seconds ? tool.request
                                       : R"({"command":"send_discovery","service":"s","discovery_time":)" + c.value +
                                             "}";
    control_request agent;
    const int parsed = parse_control_request(text.c_str(), agent);
    const auto* discovery = std::get_if<discovery_request>(&agent.payload);
    if (c.seconds) {
      ASSERT_EQ(parsed, 0);
      ASSERT_NE(discovery, nullptr);
      EXPECT_EQ(discovery->discovery_time, *c.seconds);
    } else if (c.value.find(',') == std::string::npos) {
      EXPECT_EQ(parsed, -1);  // other members aside, what the tool refuses is no JSON number
    }
  }
}

TEST_F(ControlTest, ToolSendsTheRequestHalfClosesAndExitsWithTheReplyCode) {
  const std::vector<std::string> pause{"-c", "pause_connections"};
  const std::string pause_wire = R"({"command":"pause_connections"})";
  const struct {  // out: std::nullopt for the usage
    std::vector<std::string> args; Peer peer; std::string reply, wire; std::optional<std::string> out; int status;
  } cases[] = {
      {pause, Peer::reply, R"({"result":0})", pause_wire, "{\"result\":0}\n", 0},
      {{"-s", "a\"b", "-c", "on_claim", "-r", "true"}, Peer::reply, R"({"result":-1})",
       R"({"command":"on_claim","service":"a\"b","claimed": true })", "{\"result\":-1}\n", 255},
      {pause, Peer::reply, R"({"result":7})", pause_wire, "Unknown error.\n", 1},
      {{"-c", "resume_connections"}, Peer::reply, "", R"({"command":"resume_connections"})", "{\"result\":0}\n", 0},
      {pause, Peer::reset, "", pause_wire, "{\"result\":-2}\n", 254},
      {pause, Peer::none, "", "", "{\"result\":-2}\n", 254},
      {{"-c", "on_claim", "-s", "svc"}, Peer::none, "", "", "{\"result\":-6}\n", 250},
      {{}, Peer::none, "", "", std::nullopt, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + " answered " + (c.peer == Peer::reset ? "by a reset" : c.reply));
    const Exchange ex = exchange(c.args, c.peer, c.reply);
    EXPECT_EQ(ex.request, c.wire);
    EXPECT_EQ(ex.half_closed, c.peer != Peer::none);
    if (c.out) {
      EXPECT_EQ(ex.result.out, *c.out);
    }
    EXPECT_EQ(ex.result.err, "");
    EXPECT_EQ(ex.result.status, c.status);
  }
}

}  // namespace
