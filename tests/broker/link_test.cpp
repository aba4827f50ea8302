// The socket helpers under the broker link (keepalive options, whole-buffer
// sends and reads, bounded waits) and the broker thread's own steps: the
// advisor's answer turned into host, port and token, and a stop that ends a
// blocked TLS handshake at once.
#include <netinet/tcp.h>

#include <atomic>
#include <future>
#include <thread>

#include "broker/broker_fixture.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "support/cloud_server.h"
#include "daemon/daemon.h"
#include "delivery/message_sender.h"

namespace brokertest {
namespace {

using namespace std::chrono_literals;

TEST_F(BrokerTest, SocketHelpers) {
  UniqueFd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(set_keepalive(tcp.get(), 31, 7, 13), 0);
  std::vector<int> options;
  for (int name : {SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPCNT, TCP_KEEPINTVL}) {
    socklen_t size = sizeof(int);
    ::getsockopt(tcp.get(), name == SO_KEEPALIVE ? SOL_SOCKET : IPPROTO_TCP, name, &options.emplace_back(), &size);
  }
  EXPECT_EQ(options, std::vector<int>({1, 31, 7, 13}));

  Pair pair;  // far more than the socket buffers hold: both sides go in pieces
  std::string data(1024 * 1024, '\0'), got(data.size(), '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  int sent = 0;
  std::thread sender([&] { sent = send_all(pair.other.get(), data.data(), data.size()); });
  EXPECT_EQ(read_exact(&pair.conn, got.data(), got.size()), static_cast<int>(data.size()));
  sender.join();
  EXPECT_EQ(sent, static_cast<int>(data.size()));
  EXPECT_TRUE(got == data);

  const int sock = pair.conn.sock.get();
  const auto far = std::chrono::steady_clock::now() + 1h;
  EXPECT_EQ(wait_for_socket(sock, POLLIN, std::chrono::steady_clock::now() + 20ms, "test step"), 0);
  EXPECT_EQ(send_all(pair.other.get(), "abc", 3), 3);
  EXPECT_EQ(wait_for_socket(sock, POLLIN, far, "test step"), 1);
  keep_connection.store(0);
  EXPECT_EQ(wait_for_socket(sock, POLLIN, far, "test step"), -1);
  EXPECT_TRUE(log.has("Broker link is stopping, test step abandoned."));
  // A peer that closes before the whole length came: 0, not a short count.
  pair.other.reset();
  EXPECT_EQ(read_exact(&pair.conn, got.data(), 5), 0);
}

// A private zelCloud whose advisor the agent context asks.
struct Advisor {
  explicit Advisor(const zelsim::CertFiles& cert) : cloud(cert.chain_path, cert.key_path) {
    for (const char* url : {kKeyRegisterUrl, kKeyClaimedUrl, kKeyDiscoveryUrl, kKeyAdvisorUrl}) set(url, cloud.url());
    for (const char* key : {kKeyAdvisorDelay, kKeyZelbrokerDelay}) set(key, "600");  // never waited out
    init_shared_curl();
    EXPECT_EQ(load_agent_context(context), 0);
  }
  ~Advisor() {
    message_sender_set_agent_context(nullptr);
    release_agent_context(context);
    clean_shared_curl();
  }
  void answer(int status, const std::string& body) { cloud.answer("GET", "/v2", {status, {}, body, {}, {}, ""}); }
  zelsim::CloudServer cloud;
  agent_context context;
};

TEST_F(BrokerTest, AdvisorAnswerGivesHostPortAndToken) {
  using Token = std::optional<std::string>;
  struct Case { int status; std::string body; std::string host; std::uint16_t port; Token token; bool slept; };
  const std::string connect = R"({"_type":"ActionConnect","broker":)";
  const std::vector<Case> cases = {
      {200, connect + R"("b.test"})", "b.test", 4444, {}, false},
      {200, connect + R"("b.test","port":"8883","token":"dXNlcjpwYXNz"})", "b.test", 8883, "user:pass", false},
      {200, connect + R"("b.test","port":"65535"})", "b.test", 65535, {}, false},
      {200, connect + R"("b.test","port":"65536"})", "b.test", 4444, {}, false},
      {200, connect + "\"" + std::string(300, 'h') + "\"}", std::string(255, 'h'), 4444, {}, false},
      {200, R"({"_type":"ActionWait","period":600})", "", 0, {}, true},
      {404, "", "", 0, {}, true},
  };
  set(kKeyBrokerPort, "4444");
  Advisor advisor(issue("cloud"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    advisor.answer(c.status, c.body);
    std::string host;
    std::uint16_t port = 0;
    Token token;
    auto asked =
        std::async(std::launch::async, [&] { return request_broker_address(&host, &port, &token, &advisor.context); });
    // A wait or a failure sleeps in the gate: wake it once it sleeps there.
    const auto done = [&] { return asked.wait_for(0s) == std::future_status::ready; };
    zeltest::wait_until([&] { return daemon_testing::gate_sleepers() > 0 || done(); });
    const bool slept = daemon_testing::gate_sleepers() > 0;
    wake_sleepers();
    EXPECT_EQ(asked.get(), c.slept ? -1 : 0);
    EXPECT_EQ(slept, c.slept);
    if (c.slept) continue;
    EXPECT_EQ(std::tie(host, port, token), std::tie(c.host, c.port, c.token));
  }
}

TEST_F(BrokerTest, StopEndsABlockedHandshakeAtOnce) {
  net_testing::set_broker_step_timeout_ms(0);  // the full limit: only the stop can end the wait
  std::atomic<bool> hello{false};  // the agent waits for the answer to its first handshake message
  Peer broker([&](Channel& ch) { ch.read(1); hello = true; ch.read(0); });
  Advisor advisor(issue("cloud"));
  const std::string port = std::to_string(broker.port());
  advisor.answer(200, R"({"_type":"ActionConnect","broker":"localhost","port":")" + port + "\"}");
  ASSERT_EQ(start_broker_thread(&advisor.context), 0);
  ASSERT_TRUE(zeltest::wait_until([&] { return hello.load(); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stop_broker_thread(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(kBrokerStepTimeoutSeconds) / 3);
  EXPECT_TRUE(log.has("TLS handshake abandoned")) << log.text();
}

}  // namespace
}  // namespace brokertest
