// The broker link through proxies: exact CONNECT, SOCKS4 and SOCKS5 bytes against scripted proxies of every kind of
// answer, the HTTP answer framing, and tunnels through the real proxy programs.
#include <unistd.h>

#include <csignal>
#include <cstdint>

#include "broker/messages/hello_message.h"
#include "broker/socks.h"
#include "broker/broker_fixture.h"
#include "broker_server.h"

namespace brokertest {
namespace {

constexpr std::size_t kThroughHeaderEnd = 0, kUntilClosed = SIZE_MAX;

TEST_F(BrokerTest, ProxyTunnels) {
  // The proxy's script per connection: each step reads that many bytes (or
  // through the header end, or until the agent closes), then sends its reply.
  using Steps = std::vector<std::pair<std::size_t, std::string>>;
  using Requests = std::vector<std::string>;  // what each connection received
  struct Case { const char* name; ProxyType type; const char* host; std::vector<Steps> conns; bool ok; Requests got; };
  const std::string head = "CONNECT localhost:8080 HTTP/1.1\r\nHost: localhost\r\n";
  const std::string tail = "Proxy-Connection: Keep-Alive\r\n\r\n", connect = head + tail;
  const std::string with_credentials = head + "Proxy-Authorization: Basic emVsOnMzY3JldA==\r\n" + tail;
  const auto answer = [](const std::string& text) { return Steps{{kThroughHeaderEnd, text}}; };
  const auto sized = [&](std::size_t total) {  // an answer of `total` bytes, 62 of them the header
    return answer("HTTP/1.1 200 Connection established\r\nContent-Length: " + std::to_string(total - 62) + "\r\n\r\n" +
                  std::string(total - 62, 'b'));
  };
  const Steps established = answer("HTTP/1.1 200 Connection established\r\n\r\n");
  const Steps basic = answer("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"z\"\r\n"
                             "Content-Length: 4\r\n\r\ndeny");
  const std::string socks4 = bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0}), greeting = bytes({5, 2, 0, 2});
  const std::string auth = bytes({1, 3}) + "zel" + bytes({6}) + "s3cret";
  const std::string connect5 = bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
  const std::string granted5 = bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}), refused5 = bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0});
  const std::vector<Case> cases = {
      {"established", kProxyHttp, "localhost", {established}, true, {connect}},
      {"200 without tunnel", kProxyHttp, "localhost", {answer("HTTP/1.1 200 OK\r\n\r\n")}, false, {connect}},
      {"forbidden", kProxyHttp, "localhost", {answer("HTTP/1.0 403 Forbidden\r\n\r\n")}, false, {connect}},
      {"basic", kProxyHttp, "localhost", {basic, established}, true, {connect, with_credentials}},
      {"refused credentials", kProxyHttp, "localhost", {basic, basic}, false, {connect, with_credentials}},
      {"digest first", kProxyHttp, "localhost",  // Basic counts only on the line of the first offer
       {answer("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"z\"\r\n"
               "Proxy-Authenticate: Basic realm=\"z\"\r\n\r\n")}, false, {connect}},
      {"largest", kProxyHttp, "localhost", {sized(kMaxHttpAnswerSize)}, true, {connect}},
      {"oversized", kProxyHttp, "localhost", {sized(kMaxHttpAnswerSize + 1)}, false, {connect}},
      {"body cut short", kProxyHttp, "localhost",
       {answer("HTTP/1.1 200 Connection established\r\nContent-Length: 4\r\n\r\nab")}, false, {connect}},
      {"silent", kProxyHttp, "localhost", {{{kThroughHeaderEnd, ""}, {kUntilClosed, ""}}}, false, {connect}},
      {"https basic", kProxyHttps, "localhost", {basic, established}, true, {connect, with_credentials}},
      {"https wrong name", kProxyHttps, "127.0.0.1", {established}, false, {""}},
      {"4 granted", kProxySocks4, "localhost", {{{9, bytes({0, 0x5A, 0, 0, 0, 0, 0, 0})}}}, true, {socks4}},
      {"4 refused", kProxySocks4, "localhost", {{{9, bytes({0, 0x5B, 0, 0, 0, 0, 0, 0})}}}, false, {socks4}},
      {"4 short", kProxySocks4, "localhost", {{{9, bytes({0, 0x5A, 0})}}}, false, {socks4}},
      {"5 granted", kProxySocks5, "localhost", {{{4, bytes({5, 0})}, {10, granted5}}}, true, {greeting + connect5}},
      {"5 password", kProxySocks5, "localhost", {{{4, bytes({5, 2})}, {12, bytes({1, 0})}, {10, granted5}}}, true,
       {greeting + auth + connect5}},
      {"5 password refused", kProxySocks5, "localhost", {{{4, bytes({5, 2})}, {12, bytes({1, 1})}, {kUntilClosed, ""}}},
       false, {greeting + auth}},
      {"5 no method", kProxySocks5, "localhost", {{{4, bytes({5, 0xFF})}}}, false, {greeting}},
      {"5 refused", kProxySocks5, "localhost", {{{4, bytes({5, 0})}, {10, refused5}}}, false, {greeting + connect5}},
      {"5 short", kProxySocks5, "localhost", {{{4, bytes({5, 0})}, {10, bytes({5, 0, 0, 1})}}}, false,
       {greeting + connect5}},
  };
  const CtxPtr ctx = server_ctx(issue("proxy"));
  net_testing::set_broker_step_timeout_ms(500 * ZEL_TEST_TIME_SCALE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t served = 0;
    Peer peer([&](Channel& ch) {
      for (const auto& [count, reply] : served < c.conns.size() ? c.conns[served] : Steps{}) {
        count == kThroughHeaderEnd ? ch.read(0, "\r\n\r\n") : ch.read(count == kUntilClosed ? 0 : count);
        ch.send(reply);
      }
      ++served;
    }, c.type == kProxyHttps ? ctx.get() : nullptr);
    use_proxy(c.type, peer.port());
    std::unique_ptr<connection> conn = open_broker_connection(c.host, 8080, 1);
    EXPECT_EQ(conn != nullptr, c.ok) << log.text();
    if (conn) connection_close(conn.get());
    EXPECT_EQ(peer.finish(), c.got);
  }
  EXPECT_TRUE(log.has("Connection not allowed by ruleset."));  // the reason of "5 refused"
  std::string request;
  EXPECT_EQ(socks5_auth_request(std::string(255, 'u'), "p", &request), 0);
  EXPECT_EQ(request, bytes({1, 255}) + std::string(255, 'u') + bytes({1}) + "p");
  EXPECT_EQ(socks5_auth_request(std::string(256, 'u'), "p", &request), -1);
}

TEST_F(BrokerTest, HttpAnswerIsCompleteAtTheHeaderEndOrAfterItsContentLength) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::vector<std::vector<std::pair<std::string, bool>>> cases = {
      {{ok, false}, {"\r", false}, {"\n", true}},
      {{ok + "Content-Length: 3\r\n", false}, {"\r\nab", false}, {"c", true}},
      {{ok + "CONTENT-LENGTH: 19\r\n\r\nContent-Length: 9", false}, {"\r\n", true}},
      {{ok + "content-length: 2\r\n\r\n", true}},  // two spellings only
      {{ok + "\r\nCONTENT-LENGTH: 99\r\n", true}},  // only a header counts
      {{ok + "Content-Length: -4\r\n\r\n", true}},
      {{ok + "Content-Length: 99999999999999999999\r\n\r\n", false}, {std::string(kMaxHttpAnswerSize, 'x'), false}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    std::string answer;
    http_answer_scan scan;
    for (const auto& [piece, complete] : cases[i]) EXPECT_EQ(http_answer_complete(answer += piece, &scan), complete);
  }
}

// The proxy program and its arguments, where "PORT" stands for its port and
// "CONFIG" for its configuration file, which holds `config` ("PORT" again the port).
struct RealProxy { std::string name; std::vector<std::string> argv; std::string config; ProxyType type; };
void PrintTo(const RealProxy& proxy, std::ostream* out) { *out << proxy.name; }

class RealProxyTest : public BrokerTest, public ::testing::WithParamInterface<RealProxy> {};

TEST_P(RealProxyTest, CarriesTheBrokerLink) {
  RealProxy p = GetParam();
  if (::access(p.argv[0].c_str(), X_OK) != 0) GTEST_SKIP() << p.argv[0] << " is not installed";
  std::uint16_t port = 0;
  zeltest::listen_loopback(&port);  // a free port, closed again at once
  const std::string config = dir.file("proxy.conf"), output = dir.file("proxy.out");
  for (std::string& arg : p.argv) arg = arg == "PORT" ? std::to_string(port) : arg == "CONFIG" ? config : arg;
  const std::size_t at = p.config.find("PORT");
  if (at != std::string::npos) p.config.replace(at, 4, std::to_string(port));
  zeltest::write_file(config, p.config);
  zeltest::Process proxy(p.argv, output, output);
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::connect_loopback(port).valid(); }))
      << zeltest::read_file(output);
  zelsim::BrokerServer broker([] { zelsim::BrokerServer::Options plain; plain.tls = false; return plain; }());
  use_proxy(p.type, port);
  std::unique_ptr<connection> conn = open_broker_connection("127.0.0.1", broker.port(), 1);
  ASSERT_NE(conn, nullptr) << log.text() << zeltest::read_file(output);
  EXPECT_EQ(conn->ssl, nullptr);
  EXPECT_EQ(send_hello(conn.get(), reinterpret_cast<const std::uint8_t*>("tok"), 3), 7);
  ASSERT_TRUE(broker.wait_for_packets(1));
  EXPECT_EQ(broker.packets()[0].parts, std::vector<std::string>{"tok"});
  EXPECT_TRUE(broker.send_raw("pong"));
  std::string back(4, '\0');
  EXPECT_EQ(read_exact(conn.get(), back.data(), 4), 4);
  EXPECT_EQ(back, "pong");
  connection_close(conn.get());
  proxy.signal(SIGTERM);
  EXPECT_TRUE(proxy.wait_exit().has_value());
}

const std::string kTinyproxy = "Port PORT\nListen 127.0.0.1\nAllow 127.0.0.1\nUser nobody\nGroup nogroup\n";
const std::string kDante =
    "logoutput: stderr\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\nuser.privileged: root\n"
    "user.unprivileged: nobody\ninternal: 127.0.0.1 port = PORT\n"
    "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\nsocks pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n";
INSTANTIATE_TEST_SUITE_P(
    Programs, RealProxyTest,
    ::testing::Values(
        RealProxy{"tinyproxy_basic", {"/usr/bin/tinyproxy", "-d", "-c", "CONFIG"},
                  kTinyproxy + "BasicAuth zel s3cret\n", kProxyHttp},
        RealProxy{"microsocks_password",
                  {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", "PORT", "-u", "zel", "-P", "s3cret"}, "",
                  kProxySocks5},
        RealProxy{"danted_socks4", {"/usr/sbin/danted", "-f", "CONFIG", "-N", "1"}, kDante, kProxySocks4}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace brokertest
