#include "control_listener/agent_core.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "config/config.h"
#include "control/control_protocol.h"
#include "control/fake_control_listener.h"
#include "control_listener/control_listener.h"
#include "control_listener/discovery.h"
#include "delivery/message_sender.h"
#include "log/log.h"

namespace srvtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kClientTimeout = 10s;

UniqueFd connect_control_port() {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kControlPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
  return sock;
}

std::string read_to_end(int fd) {
  const auto deadline = Clock::now() + kClientTimeout;
  std::string got;
  char buffer[512];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) break;
    got.append(buffer, static_cast<std::size_t>(count));
  }
  return got;
}

zeltest::FakeAnswer answer_with(int status, const std::string& body) {
  zeltest::FakeAnswer answer;
  answer.status = status;
  answer.body = body;
  return answer;
}

}  // namespace

std::string claim_reply_body(bool claimed) {
  return std::string(R"({"_type":"Device","deviceId":")") + kAgentId + R"(","claimed":)" +
         (claimed ? "true" : "false") + "}";
}

RawReply raw_control_request(const std::string& text) {
  RawReply result;
  UniqueFd sock = connect_control_port();
  if (!sock) return result;
  result.connected = true;
  if (!text.empty() && send_all(sock.get(), text.data(), text.size()) != static_cast<int>(text.size())) {
    return result;
  }
  ::shutdown(sock.get(), SHUT_WR);
  result.reply = read_to_end(sock.get());
  return result;
}

SilentClient::SilentClient() : fd_(connect_control_port()) {}

std::string SilentClient::read_reply() { return read_to_end(fd_.get()); }

void AgentCore::SetUp() {
  zeltest::install_agent_signal_handlers();
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  ca = std::make_unique<zeltest::TestCa>(dir.path());
  zeltest::CertOptions options;
  options.dns_names = {"localhost"};
  cert = ca->issue(options);
  ca_file = ca->ca_cert_path();
  ca_path = {};

  cloud = std::make_unique<zeltest::FakeZelCloud>(cert.chain_path, cert.key_path);
  broker = std::make_unique<zeltest::FakeZelbroker>(cert.chain_path, cert.key_path);
  service_sink = zeltest::HandlerSink::unix_socket(dir.file("svc.sock"));

  cloud->answer("GET", kAdvisorPath,
                answer_with(200, R"({"_type":"ActionConnect","broker":"localhost","port":")" +
                                     std::to_string(broker->port()) + "\"}"));
  answer_claimed(false);
  answer_discovery(200);

  config_set(kKeyRegisterUrl, cloud->url("/register").c_str());
  config_set(kKeyClaimedUrl, cloud->url("/claimed").c_str());
  config_set(kKeyDiscoveryUrl, cloud->url("/discovery").c_str());
  config_set(kKeyAdvisorUrl, cloud->url("/advisor").c_str());
  config_set(kKeyAgentId, kAgentId);
  config_set(kKeyAgentClaimCode, kClaimCode);
  config_set(kKeyAdvisorDelay, kLongDelay);
  config_set(kKeyZelbrokerDelay, kLongDelay);
  config_set(kKeyClaimDelay, kLongDelay);
  config_set((std::string(kKeyHandlerPrefix) + "event_sink_" + kService).c_str(), service_sink->endpoint().c_str());

  ASSERT_EQ(init_shared_curl(), 0);
  ASSERT_EQ(message_sender_init(), 0);
  init_agent_state(0);
  reload_context();
}

void AgentCore::reload_context() {
  release_agent_context(context);
  ASSERT_EQ(load_agent_context(context), 0);
}

void AgentCore::TearDown() {
  // Held cloud requests would keep the discovery thread from its last claim check.
  resume_http_requests();
  discovery_testing::end_window_and_join();
  discovery_testing::set_uptime_offset(0);
  stop_broker_thread();
  if (listener.joinable()) stop_listener();
  control_listener_testing::set_read_timeout_ms(0);
  message_sender_stop();
  set_own_handler_hook(nullptr);
  message_sender_set_agent_context(nullptr);
  logic_testing::forget_agent_handler_name();
  release_agent_context(context);
  clean_shared_curl();
  broker.reset();
  cloud.reset();
  service_sink.reset();
  ca_file = {};
  ::unsetenv("PVO_STORE");
}

void AgentCore::start_listener() {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  exit_read.reset(fds[0]);
  exit_write.reset(fds[1]);
  listener = start_control_listener(&context, exit_read.get());
  ASSERT_TRUE(listener.joinable());
  ASSERT_TRUE(zeltest::wait_until([] { return control_listener_listening() == 1; }));
}

void AgentCore::stop_listener(char byte) {
  ASSERT_EQ(::write(exit_write.get(), &byte, 1), 1);
  listener.join();
}

AgentCore::ToolRun AgentCore::control(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {zeltest::built_program("src/control/zelagent_control"), "--log_file",
                                   dir.file("control.log"), "-c"};
  argv.insert(argv.end(), args.begin(), args.end());
  zeltest::ProgramResult result = zeltest::run_program(argv);
  return {result.exit_status, result.out};
}

void AgentCore::answer_claimed(bool claimed) {
  cloud->answer("GET", kClaimedPath, answer_with(200, claim_reply_body(claimed)));
}

void AgentCore::answer_discovery(int status) { cloud->answer("POST", kDiscoveryPath, answer_with(status, "")); }

std::string AgentCore::log_text() const { return log_capture.text(); }

bool AgentCore::logged(const std::string& text) const { return log_capture.contains(text); }

int AgentCore::times_logged(const std::string& text) const { return log_capture.count(text); }

bool AgentCore::wait_logged(const std::string& text, std::chrono::milliseconds timeout) const {
  return zeltest::wait_until([&] { return logged(text); }, timeout);
}

std::size_t AgentCore::requests_to(const std::string& path) const {
  std::size_t count = 0;
  for (const auto& request : cloud->requests()) count += request.path() == path ? 1 : 0;
  return count;
}

bool AgentCore::link_up() const { return keep_connection.load() == 1 && broker->open_links() > 0; }

}  // namespace srvtest
