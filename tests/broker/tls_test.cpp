// The TLS side of the broker link: host-name validation against generated
// certificates, and the client handshake against an in-test TLS server that
// answers or stays silent.
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

// Certificates that fail the checks (name, issuer, dates) are the simulator test's
// (Simulator.TheAgentRefusesEachFaultyCertificate): here the session itself.
TEST_F(BrokerTest, HandshakeGivesATls12SessionOrEndsAtTheStepLimit) {
  const CtxPtr ctx = server_ctx(issue("good"));
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent" : "good");
    net_testing::set_broker_step_timeout_ms(silent ? 200 : 3000 * ZEL_TEST_TIME_SCALE);
    Peer peer([&](Channel& ch) { silent ? ch.read(0) : (ch.read(4), ch.send("pong")); },  // silent: no TLS
              silent ? nullptr : ctx.get());
    connection conn;
    conn.sock = zeltest::connect_loopback(peer.port());
    ASSERT_EQ(ssl_connect(&conn, "localhost") == 0, !silent) << log.text();
    if (!silent) {
      EXPECT_EQ(SSL_version(conn.ssl.get()), TLS1_2_VERSION);  // though the server offers TLS 1.3 too
      EXPECT_EQ(connection_write(&conn, "ping", 4), 4);
      std::string back(4, '\0');
      EXPECT_EQ(read_exact(&conn, back.data(), 4), 4);
      EXPECT_EQ(back, "pong");
    }
    EXPECT_EQ(log.has("Timed out after 200 ms waiting for TLS handshake."), silent);
    connection_close(&conn);
    if (!silent) { EXPECT_EQ(peer.finish().at(0), "ping"); }
  }
}

}  // namespace
}  // namespace brokertest
