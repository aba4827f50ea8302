// The simulator against the agent's own cloud client: what it answers to the
// four requests, its command interface, its packet descriptions, the program
// with its command port, and the handler sink program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>

#include "agent/agent_harness.h"
#include "broker/net_helper.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "control/fake_control_listener.h"
#include "config/config.h"
#include "support/test_support.h"
#include "zelcloud_sim.h"

namespace {

using namespace std::chrono_literals;

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    zelsim::SimulatorOptions options;
    options.cert_dir = dir.path();
    options.agent_heartbeat = 7;
    sim = std::make_unique<zelsim::Simulator>(options);
    for (const auto& [key, value] : sim->store_settings()) config_set(key.c_str(), value.c_str());
    ca_file = sim->ca_file();
    device_hardware_id = "HW-SIM-1";
    device_model = "sim-model";
    ASSERT_EQ(load_agent_context(context), 0);
  }
  void TearDown() override {
    release_agent_context(context);
    ca_file.clear();
    ::unsetenv("PVO_STORE");
  }

  zeltest::TempDir dir;
  std::unique_ptr<zelsim::Simulator> sim;
  agent_context context;
};

TEST_F(SimulatorTest, RegistrationGivesAValidIdentityAndTheSameOneAgain) {
  ASSERT_EQ(register_device(context), 0);
  const identity first = context.current_identity();
  EXPECT_EQ(identity_is_valid(first), 1);
  ASSERT_EQ(sim->devices().size(), 1u);
  EXPECT_EQ(sim->devices()[0].agent_id, first.agent_id);
  EXPECT_EQ(sim->devices()[0].hardware_id, "HW-SIM-1");
  EXPECT_EQ(sim->devices()[0].model, "sim-model");

  agent_context again;
  ASSERT_EQ(load_agent_context(again), 0);
  ASSERT_EQ(register_device(again), 0);
  EXPECT_EQ(again.current_identity().agent_id, first.agent_id);
  EXPECT_EQ(again.current_identity().claim_code, first.claim_code);
  EXPECT_EQ(sim->devices().size(), 1u);
  release_agent_context(again);

  sim->set_register_mode(zelsim::RegisterMode::kRefuseWrongSn);
  EXPECT_EQ(register_device(context), -2);
  sim->set_register_mode(zelsim::RegisterMode::kFail);
  EXPECT_EQ(register_device(context), -1);
}

TEST_F(SimulatorTest, ClaimStatusFollowsTheCommands) {
  EXPECT_EQ(sim->execute("claim"), "error no device registered");
  ASSERT_EQ(register_device(context), 0);
  EXPECT_EQ(check_claim_status(context), 0);
  const std::string id = *context.current_identity().agent_id;
  EXPECT_EQ(sim->execute("claim " + id), "ok " + id + " claimed");
  EXPECT_EQ(check_claim_status(context), 1);
  EXPECT_EQ(sim->execute("release"), "ok " + id + " released");
  EXPECT_EQ(check_claim_status(context), 0);
  EXPECT_EQ(sim->execute("claim NOPE"), "error no device NOPE");

  agent_context stranger;
  ASSERT_EQ(load_agent_context(stranger), 0);
  identity unknown;
  unknown.agent_id = "ZEL-FFFFFF";
  unknown.claim_code = "X";
  stranger.set_identity(unknown);
  EXPECT_EQ(check_claim_status(stranger), -1);
  release_agent_context(stranger);
}

TEST_F(SimulatorTest, DiscoveriesAreLoggedWithTheirParameters) {
  ASSERT_EQ(register_device(context), 0);
  discovery_request request;
  request.service = "my service";
  request.discovery_time = 600;
  request.discovery_data = "{\"room\":\"lab\"}";
  ASSERT_EQ(post_discovery(context, request), 0);
  request.discovery_time = 0;
  request.id = "OTHER-ID";
  ASSERT_EQ(post_discovery(context, request), 0);
  const std::vector<zelsim::SimDiscovery> log = sim->discoveries();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].service, "my service");
  EXPECT_EQ(log[0].identifier, "HW-SIM-1");
  EXPECT_EQ(log[0].time, 600);
  EXPECT_EQ(log[0].agent_id, context.current_identity().agent_id);
  EXPECT_NE(log[0].body.find("\"discoveryData\""), std::string::npos);
  EXPECT_EQ(log[1].identifier, "OTHER-ID");
  EXPECT_EQ(log[1].time, 0);
  EXPECT_NE(sim->execute("discoveries").find("service my service for HW-SIM-1"), std::string::npos);
}

TEST_F(SimulatorTest, AdvisorNamesItsOwnBrokerOrWaits) {
  ASSERT_EQ(register_device(context), 0);
  advisor_reply reply{};
  ASSERT_EQ(request_advisor(context, reply), 0);
  EXPECT_EQ(reply.action, 0);
  EXPECT_EQ(reply.broker, "localhost");
  EXPECT_EQ(reply.port, sim->broker_port());
  EXPECT_EQ(context.broker_keepalive.first, 30u);
  EXPECT_EQ(context.broker_keepalive.second, 5u);
  EXPECT_EQ(context.broker_keepalive.third, 10u);
  EXPECT_EQ(context.agent_keepalive.first, 60u);
  EXPECT_EQ(context.agent_heartbeat.load(), 7);
  release_advisor_reply(reply);

  EXPECT_EQ(sim->execute("wait 5"), "ok advisor answers wait 5");
  advisor_reply waiting{};
  ASSERT_EQ(request_advisor(context, waiting), 0);
  EXPECT_EQ(waiting.action, 1);
  EXPECT_EQ(waiting.period, 5);
  release_advisor_reply(waiting);
  EXPECT_EQ(sim->execute("connect"), "ok advisor names the zelbroker");
}

TEST(SimulatorCommands, RepliesToEveryCommand) {
  zeltest::TempDir dir;
  zelsim::SimulatorOptions options;
  options.cert_dir = dir.path();
  zelsim::Simulator sim(options);
  const struct {
    const char* line;
    const char* reply_start;
  } cases[] = {
      {"help", "ok commands:"},
      {"", "ok commands:"},
      {"devices", "ok 0 device(s)"},
      {"discoveries", "ok 0 discovery request(s)"},
      {"release", "error no device registered"},
      {"send", "error usage: send HANDLER"},
      {"send sample hello", "error no zelbroker link open"},
      {"drop", "error no zelbroker link open"},
      {"wait", "error usage: wait SECONDS"},
      {"wait -3", "error usage: wait SECONDS"},
      {"wait 2x", "error usage: wait SECONDS"},
      {"wait 0", "ok advisor answers wait 0"},
      {"heartbeats maybe", "error usage: heartbeats on|off"},
      {"heartbeats off", "ok heartbeats off"},
      {"register later", "error usage: register"},
      {"register refuse", "ok registrations refuse"},
      {"status", "ok links 0, open 0, packets 0, cloud requests 0"},
      {"launch", "error unknown command 'launch'"},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.line);
    EXPECT_EQ(sim.execute(entry.line).rfind(entry.reply_start, 0), 0u) << sim.execute(entry.line);
  }
}

TEST(SimulatorCommands, DescribesPacketsReadably) {
  const struct {
    std::uint8_t type;
    std::vector<std::string> parts;
    const char* text;
  } cases[] = {
      {0, {"ZEL-000001"}, "hello agent-id ZEL-000001"},
      {1, {std::string("\x01\x02\x03", 3)}, "hello token (3 bytes)"},
      {2, {"h", "ab", "c"}, "plain message to 'h': abc"},
      {10, {std::string("\0\0\0\x1e\0\0\0\x05\0\0\0\x0a", 12)}, "broker keepalive 30,5,10"},
      {10, {"short"}, "broker keepalive of 5 bytes (expected 12)"},
      {11, {std::string("\0\0\0\0\0\0\0\x03\0\0\0\0\0\0\0\x10", 16)}, "heartbeat #3 at 16"},
      {7, {"a\nb"}, "packet type 7 with 1 part(s) [a\\x0ab]"},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.text);
    EXPECT_EQ(zelsim::describe_packet(entry.type, entry.parts), entry.text);
  }
  EXPECT_EQ(zelsim::printable("abcdef", 3), "abc...");
}

// One command over the program's command port; the reply line.
std::string command(std::uint16_t port, const std::string& line) {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return "";
  const std::string text = line + "\n";
  send_all(sock.get(), text.data(), text.size());
  std::string reply;
  char buffer[256];
  for (ssize_t got; (got = ::recv(sock.get(), buffer, sizeof buffer, 0)) > 0;) {
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  return reply;
}

TEST(SimulatorProgram, ServesCommandsAndEndsOnSigterm) {
  zeltest::TempDir dir;
  agenttest::Process sim({zeltest::built_program("tools/zelcloud_sim"), "--dir", dir.file("sim"), "--quiet"}, {}, "",
                         dir.file("sim.out"), dir.file("sim.err"));
  ASSERT_TRUE(sim.started());
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(dir.file("sim/sim.env")); }, 30s))
      << zeltest::read_file(dir.file("sim.err"));
  std::map<std::string, std::string> env;
  std::istringstream lines(zeltest::read_file(dir.file("sim/sim.env")));
  for (std::string line; std::getline(lines, line);) {
    env[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  }
  EXPECT_TRUE(zeltest::file_exists(env["ZEL_SIM_CA_FILE"]));
  EXPECT_EQ(env["ZEL_SIM_CLOUD_URL"], "https://localhost:" + env["ZEL_SIM_CLOUD_PORT"]);
  EXPECT_EQ(env["ZEL_SIM_PID"], std::to_string(sim.pid()));
  const auto port = static_cast<std::uint16_t>(std::stoi(env["ZEL_SIM_COMMAND_PORT"]));
  EXPECT_EQ(command(port, "status"), "ok links 0, open 0, packets 0, cloud requests 0\n");
  EXPECT_EQ(command(port, "claim"), "error no device registered\n");

  sim.signal(SIGTERM);
  EXPECT_EQ(sim.wait_exit(), std::optional<int>(0));
  EXPECT_NE(zeltest::read_file(dir.file("sim.out")).find("pvo set zel_advisor_url"), std::string::npos);
}

// Sends `message` over one connection to the UNIX socket `path`, then closes.
bool send_to_unix(const std::string& path, const std::string& message) {
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!sock || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  return send_all(sock.get(), message.data(), message.size()) == static_cast<int>(message.size());
}

TEST(HandlerSinkProgram, PrintsEachMessageOnOneLineAndRemovesItsSocket) {
  zeltest::TempDir dir;
  const std::string sink_program = zeltest::built_program("tools/zelhandler_sink");
  const std::string socket_path = dir.file("h.sock");
  agenttest::Process sink({sink_program, "--name", "h1", "--unix", socket_path, "--out", dir.file("h1.txt")}, {}, "",
                          dir.file("sink.out"), dir.file("sink.err"));
  ASSERT_TRUE(sink.started());
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(socket_path); }, 30s))
      << zeltest::read_file(dir.file("sink.err"));
  // The file appears only once the sink listens: the first connect must work.
  EXPECT_FALSE(zeltest::file_exists(socket_path + ".new"));

  ASSERT_TRUE(send_to_unix(socket_path, "{ \"event\": 4,\n  \"connected\": true }"));
  ASSERT_TRUE(send_to_unix(socket_path, std::string("raw\x01\nbytes")));
  const std::string expected_out = "{\"event\":4,\"connected\":true}\nraw\\x01\\x0abytes\n";
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::read_file(dir.file("h1.txt")) == expected_out; }, 30s))
      << zeltest::read_file(dir.file("h1.txt"));
  EXPECT_EQ(zeltest::read_file(dir.file("sink.out")),
            "h1 received: {\"event\":4,\"connected\":true}\nh1 received: raw\\x01\\x0abytes\n");

  sink.signal(SIGTERM);
  EXPECT_EQ(sink.wait_exit(), std::optional<int>(0));
  EXPECT_FALSE(zeltest::file_exists(socket_path));

  // Bad command lines end with the usage and status 2 before listening.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--name", "h"},                                      // no endpoint
           {"--name", "h", "--unix", socket_path, "--port", "9"},  // two endpoints
           {"--name", "h", "--port", "abc"},
           {"--name", "h", "--port", "70000"},
           {"--unix", socket_path},                               // no name
       }) {
    std::vector<std::string> argv = {sink_program};
    argv.insert(argv.end(), args.begin(), args.end());
    agenttest::Process bad(argv, {}, "", dir.file("bad.out"), dir.file("bad.err"));
    EXPECT_EQ(bad.wait_exit(), std::optional<int>(2)) << args.back();
    EXPECT_NE(zeltest::read_file(dir.file("bad.err")).find("Usage: "), std::string::npos);
  }
  EXPECT_FALSE(zeltest::file_exists(socket_path));
}

TEST(AgentProgram, HelpVersionAndBadCommandLines) {
  const std::string agent = zeltest::built_program("src/agent/zelagent");
  const zeltest::ProgramResult help = zeltest::run_program({agent, "--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--foreground"), std::string::npos);
  const zeltest::ProgramResult version = zeltest::run_program({agent, "--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("zelagent ", 0), 0u);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{agent, "--frobnicate"}, std::vector<std::string>{agent, "--log-level"},
        std::vector<std::string>{agent, "--log-level", "chatty"}}) {
    SCOPED_TRACE(bad.back());
    const zeltest::ProgramResult refused = zeltest::run_program(bad);
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("Usage:"), std::string::npos);
    EXPECT_TRUE(refused.out.empty());
  }
}

}  // namespace
