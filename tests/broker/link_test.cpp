// The socket helpers under the broker link (keepalive options, whole-buffer
// sends and reads, bounded waits) and the broker thread's own steps: the
// advisor's answer turned into host, port and token, and a stop that ends a
// blocked TLS handshake at once.
#include <netinet/tcp.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <thread>

#include "broker/broker_fixture.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "broker_server.h"
#include "support/cloud_server.h"
#include "daemon/daemon.h"
#include "daemon/liveness.h"
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
  // A name lookup that hangs is left behind at a stop, and (still running) at the step limit.
  std::promise<void> release;
  const auto hang = [released = release.get_future().share()] { released.wait(); };
  EXPECT_FALSE(run_lookup_before(hang, far, "name lookup"));
  EXPECT_TRUE(log.has("Broker link is stopping, name lookup abandoned."));
  keep_connection.store(1);
  EXPECT_FALSE(run_lookup_before(hang, std::chrono::steady_clock::now() + 20ms, "name lookup"));
  EXPECT_TRUE(log.has("waiting for name lookup."));
  release.set_value();
  EXPECT_TRUE(run_lookup_before([] {}, far, "name lookup"));
  // A peer that closes before the whole length came: 0, not a short count.
  pair.other.reset();
  EXPECT_EQ(read_exact(&pair.conn, got.data(), 5), 0);
}

// A private zelCloud whose advisor the agent context of agent "AG-1" asks.
struct Advisor {
  explicit Advisor(const zelsim::CertFiles& cert) : cloud(cert.chain_path, cert.key_path) {
    for (const char* url : {kKeyRegisterUrl, kKeyClaimedUrl, kKeyDiscoveryUrl, kKeyAdvisorUrl}) set(url, cloud.url());
    for (const char* key : {kKeyAdvisorDelay, kKeyZelbrokerDelay}) set(key, "600");  // never waited out
    set(kKeyAgentId, "AG-1");
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
    const std::int64_t mark = last_progress_ms(watched_thread::broker);  // a long sleep still shows progress
    if (slept) {  // then back in the gate, where the wake reaches it
      EXPECT_TRUE(zeltest::wait_until([&] { return last_progress_ms(watched_thread::broker) > mark; }));
      EXPECT_TRUE(zeltest::wait_until([&] { return daemon_testing::gate_sleepers() > 0 || done(); }));
    }
    wake_sleepers();
    EXPECT_EQ(asked.get(), c.slept ? -1 : 0);
    EXPECT_EQ(slept, c.slept);
    if (c.slept) continue;
    EXPECT_EQ(std::tie(host, port, token), std::tie(c.host, c.port, c.token));
  }
}

// Every wait of the broker thread on a peer ends soon after a stop, long before the step limit would end it.
TEST_F(BrokerTest, StopEndsTheLinkWhateverThePeerHangsIn) {
  net_testing::set_broker_step_timeout_ms(0);  // the full limit: only the stop can end a wait in time
  ::setenv("no_proxy", "*", 1);                // the advisor's requests do not go through the proxy under test
  std::atomic<bool> waiting{false};            // the agent has sent its first bytes and waits for the peer
  const auto silent = [&](Channel& ch) { ch.read(1); waiting = true; ch.read(0); };
  const auto drip = [&](Channel& ch) {  // a byte of a good answer every 2 s, until the agent goes away
    ch.read(0, "\r\n\r\n");
    waiting = true;
    pollfd gone{ch.fd, POLLIN, 0};
    for (char byte : std::string("HTTP/1.1 200 Connection established\r\n\r\n")) {
      if (ch.send(std::string(1, byte)), ::poll(&gone, 1, 2000) != 0) return;
    }
  };
  struct Case { const char* name; ProxyType proxy; bool tls; std::function<void(Channel&)> script; const char* step; };
  const std::vector<Case> cases = {
      {"zelbroker stalls the TLS handshake", kProxyNone, false, silent, "TLS handshake abandoned"},
      {"connected, zelbroker silent", kProxyNone, true, silent, nullptr},
      {"HTTP proxy never answers", kProxyHttp, false, silent, "HTTP proxy answer abandoned"},
      {"HTTP proxy drips its answer", kProxyHttp, false, drip, "HTTP proxy answer abandoned"},
      {"HTTPS proxy stalls the TLS handshake", kProxyHttps, false, silent, "TLS handshake abandoned"},
      {"SOCKS4 proxy never answers", kProxySocks4, false, silent, "SOCKS4 reply abandoned"},
      {"SOCKS5 proxy never answers", kProxySocks5, false, silent, "SOCKS5 method reply abandoned"},
  };
  const CtxPtr tls = server_ctx(issue("broker"));
  Advisor advisor(issue("cloud"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    waiting = false;
    Peer peer(c.script, c.tls ? tls.get() : nullptr);
    use_proxy(c.proxy, peer.port());
    advisor.answer(200, R"({"_type":"ActionConnect","broker":"localhost","port":")" + std::to_string(peer.port()) + "\"}");
    ASSERT_EQ(start_broker_thread(&advisor.context), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return waiting.load(); }));  // (the stop below ends it either way)
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_broker_thread(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s * ZEL_TEST_TIME_SCALE + 2s);
    if (c.step) { EXPECT_TRUE(log.has(c.step)) << log.text(); }
  }
  ::unsetenv("no_proxy");
}

// TLS records that come a byte at a time are "not yet" until whole: the log grows by less than the link carries.
TEST_F(BrokerTest, TlsBytesOneASegmentDoNotFloodTheLog) {
  const zelsim::CertFiles cert = issue("broker");
  zelsim::BrokerServer broker(cert.chain_path, cert.key_path);
  // A slow router between the agent and the zelbroker: the zelbroker's bytes go on one per TCP segment, a
  // millisecond apart, so that the agent sees each byte alone.
  std::atomic<std::size_t> relayed{0};  // bytes handed to the agent
  Peer relay([&](Channel& agent) {
    const UniqueFd to = zeltest::connect_loopback(broker.port());
    const int on = 1;
    ::setsockopt(agent.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string pending;  // the zelbroker's bytes not yet handed on
    char chunk[4096];
    for (;;) {
      pollfd ends[2] = {{agent.fd, POLLIN, 0}, {to.get(), static_cast<short>(pending.empty() ? POLLIN : 0), 0}};
      const int ready = ::poll(ends, 2, pending.empty() ? static_cast<int>(zeltest::kWaitLimit.count()) : 1);
      if (!to || ready < 0 || (ready == 0 && pending.empty())) return;
      if (ready == 0) {  // a millisecond passed: the next byte
        if (send_all(agent.fd, pending.data(), 1) != 1) return;
        pending.erase(0, 1);
        ++relayed;
      }
      for (int side = 0; side < 2; ++side) {
        if ((ends[side].revents & (POLLIN | POLLHUP)) == 0) continue;
        const ssize_t got = ::recv(ends[side].fd, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        if (side == 1) pending.append(chunk, static_cast<std::size_t>(got));
        if (side == 0 && send_all(to.get(), chunk, static_cast<std::size_t>(got)) != got) return;
      }
    }
  });
  Advisor advisor(issue("cloud"));
  advisor.answer(200, R"({"_type":"ActionConnect","broker":"localhost","port":")" + std::to_string(relay.port()) + "\"}");
  ASSERT_EQ(start_queue(), 0);
  ASSERT_EQ(start_broker_thread(&advisor.context), 0);
  EXPECT_TRUE(broker.wait_for_packets(1));  // the hello: the link is up
  const std::size_t log_before = log.text().size(), relayed_before = relayed.load();
  constexpr std::size_t kMessages = 2;
  for (std::size_t i = 0; i < kMessages; ++i) broker.send_plain_message("relay", {std::string(1500, 'r')});
  std::size_t delivered = 0;  // of them (the link's state reports go through the queue too)
  EXPECT_TRUE(zeltest::wait_until([&] {
    for (const auto& message : take_delivered()) delivered += message.first == "relay" ? 1 : 0;
    return delivered == kMessages;
  }));
  const std::size_t relayed_now = relayed.load() - relayed_before, logged = log.text().size() - log_before;
  EXPECT_EQ(stop_broker_thread(), 0);
  EXPECT_GT(relayed_now, kMessages * 1500u);
  EXPECT_LT(logged, relayed_now);
}

}  // namespace
}  // namespace brokertest
