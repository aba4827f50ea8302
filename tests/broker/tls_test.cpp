// The TLS side of the broker link: host-name validation against generated
// certificates, and the client handshake against an in-test TLS server that
// presents good and bad certificates, offers only TLS 1.3, or stays silent.
#include "broker/broker_fixture.h"
#include "support/certificates.h"

namespace brokertest {
namespace {

TEST_F(BrokerTest, HostNameValidation) {
  struct Case { std::vector<std::string> dns_names; std::string common_name; const char* host; int expected; };
  const std::string nul_name("evil.test\0.broker.test", 22);
  const std::vector<Case> cases = {
      {{"broker.test", "Other.Example"}, "cn.test", "broker.test", 1},
      {{"broker.test", "Other.Example"}, "cn.test", "OTHER.example", 1},
      {{"broker.test", "Other.Example"}, "cn.test", "cn.test", -1},  // no fallback with alt names
      {{"broker.test"}, "", "broker.tes", -1},
      {{"broker.test"}, "", "broker.test.evil", -1},
      {{"*.wild.test"}, "", "a.wild.test", -1},  // no wildcard matching
      {{nul_name}, "", "evil.test", -1},
      {{nul_name, "broker.test"}, "", "broker.test", -1},  // the search stops at a forged name
      {{}, "Broker.Test", "broker.test", 1},
      {{}, "Broker.Test", "other.test", -1},
      {{}, std::string("evil.test\0x", 11), "evil.test", -1},
  };
  for (const Case& c : cases) {
    const std::string name = "c" + std::to_string(&c - cases.data());
    SCOPED_TRACE(name);
    const auto cert = issue(name, [&](auto& o) { o.dns_names = c.dns_names, o.common_name = c.common_name; });
    EXPECT_EQ(validate_hostname(c.host, zelsim::load_certificate(cert.cert_path).get()), c.expected);
  }
}

TEST_F(BrokerTest, HandshakeAcceptsOnlyAVerifiedTls12PeerOfTheRightName) {
  using Change = std::function<void(zelsim::CertOptions&)>;
  struct Case { const char* name; Change change; const char* host; int min_version; bool silent; bool accepted; };
  const std::vector<Case> cases = {
      {"good", {}, "localhost", TLS1_2_VERSION, false, true},
      {"wrong_name", {}, "broker.test", TLS1_2_VERSION, false, false},
      {"untrusted", [](auto& o) { o.untrusted_issuer = true; }, "localhost", TLS1_2_VERSION, false, false},
      {"expired", [](auto& o) { o.not_before_days = -10, o.valid_days = 2; }, "localhost", TLS1_2_VERSION, 0, 0},
      {"self_signed", [](auto& o) { o.self_signed = true; }, "localhost", TLS1_2_VERSION, false, false},
      {"tls13_only", {}, "localhost", TLS1_3_VERSION, false, false},
      {"silent", {}, "localhost", TLS1_2_VERSION, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CtxPtr ctx = server_ctx(issue(c.name, c.change), c.min_version);
    net_testing::set_broker_step_timeout_ms(c.silent ? 200 : 3000 * ZEL_TEST_TIME_SCALE);
    Peer peer([&](Channel& ch) { c.silent ? ch.read(0) : (ch.read(4), ch.send("pong")); },  // silent: no TLS
              c.silent ? nullptr : ctx.get());
    connection conn;
    conn.sock = zeltest::connect_loopback(peer.port());
    ASSERT_EQ(ssl_connect(&conn, c.host) == 0, c.accepted) << log.text();
    if (c.accepted) {
      EXPECT_EQ(SSL_version(conn.ssl.get()), TLS1_2_VERSION);
      EXPECT_EQ(connection_write(&conn, "ping", 4), 4);
      std::string back(4, '\0');
      EXPECT_EQ(read_exact(&conn, back.data(), 4), 4);
      EXPECT_EQ(back, "pong");
    }
    EXPECT_EQ(log.has("Timed out after 200 ms waiting for TLS handshake."), c.silent);
    connection_close(&conn);
    if (c.accepted) { EXPECT_EQ(peer.finish().at(0), "ping"); }
  }
}

}  // namespace
}  // namespace brokertest
