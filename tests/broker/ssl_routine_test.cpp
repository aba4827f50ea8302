#include "broker/ssl_routine.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>

#include "broker_test_util.h"

namespace {

using namespace brokertest;

// Echoes decrypted bytes until the client closes.
void tls_echo(SSL* ssl) {
  char buffer[4096];
  for (;;) {
    int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) return;
    if (SSL_write(ssl, buffer, n) != n) return;
  }
}

class SslRoutineTest : public ::testing::Test {
 protected:
  SslRoutineTest() { ca_file = ca_.ca_cert_path(); }
  ~SslRoutineTest() override {
    ca_file.clear();
    ca_path.clear();
    net_testing::set_broker_step_timeout_ms(0);
  }

  zeltest::CertFiles issue(const std::string& name, const std::string& common_name,
                           std::vector<std::string> dns_names = {}) {
    zeltest::CertOptions options;
    options.name = name;
    options.common_name = common_name;
    options.dns_names = std::move(dns_names);
    return ca_.issue(options);
  }

  TlsServerOptions serve(const zeltest::CertFiles& files) {
    TlsServerOptions options;
    options.chain_path = files.chain_path;
    options.key_path = files.key_path;
    return options;
  }

  // A connection whose socket is connected to 127.0.0.1:port.
  static std::unique_ptr<connection> connect_to(std::uint16_t port) {
    auto conn = std::make_unique<connection>();
    conn->sock = connect_loopback(port);
    return conn;
  }

  zeltest::TempDir dir_;
  zeltest::TestCa ca_{dir_.file("certs")};
  LogCapture log_{dir_.file("broker_test.log")};
  BrokerRunning running_;
};

TEST_F(SslRoutineTest, HostnameValidationFollowsSubjectAltNameThenCommonName) {
  struct Case {
    const char* what;
    std::string common_name;
    std::vector<std::string> dns_names;
    const char* host;
    int expected;
  } cases[] = {
      {"altname matches", "other.test", {"a.test", "broker.test"}, "broker.test", 1},
      {"altname ignores case", "", {"Broker.TEST"}, "broker.test", 1},
      {"altname lists only another name", "broker.test", {"other.test"}, "broker.test", -1},
      {"no altname, common name in other case", "BROKER.Test", {}, "broker.test", 1},
      {"no altname, common name differs", "other.test", {}, "broker.test", -1},
      {"no altname, no common name", "", {}, "broker.test", -1},
      {"embedded NUL stops the search",
       "broker.test",
       {std::string("broker.test\0.evil", 17), "broker.test"},
       "broker.test",
       -1},
      {"wildcard is not expanded", "", {"*.example.test"}, "broker.example.test", -1},
      {"wildcard matches only itself", "", {"*.example.test"}, "*.example.test", 1},
      {"common name with embedded NUL", std::string("broker.test\0x", 13), {}, "broker.test", -1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zeltest::CertFiles files = issue("case" + std::to_string(n++), c.common_name, c.dns_names);
    zeltest::X509Ptr cert = zeltest::load_certificate(files.cert_path);
    ASSERT_TRUE(cert);
    EXPECT_EQ(validate_hostname(c.host, cert.get()), c.expected);
  }
}

TEST_F(SslRoutineTest, MatchFunctionsReportTheirOwnResults) {
  zeltest::X509Ptr no_altname =
      zeltest::load_certificate(issue("plain", "broker.test").cert_path);
  EXPECT_EQ(match_subject_alt_name("broker.test", no_altname.get()), 0);
  EXPECT_EQ(match_common_name("broker.test", no_altname.get()), 1);

  zeltest::CertOptions ip_only;
  ip_only.name = "ip";
  ip_only.common_name = "127.0.0.1";
  ip_only.ip_addresses = {"127.0.0.1"};
  zeltest::X509Ptr ip_cert = zeltest::load_certificate(ca_.issue(ip_only).cert_path);
  // The extension exists, so the common name is never consulted.
  EXPECT_EQ(match_subject_alt_name("127.0.0.1", ip_cert.get()), -1);
  EXPECT_EQ(validate_hostname("127.0.0.1", ip_cert.get()), -1);

  EXPECT_EQ(validate_hostname(nullptr, no_altname.get()), -1);
  EXPECT_EQ(validate_hostname("broker.test", nullptr), -1);
}

TEST_F(SslRoutineTest, ConnectsWithTls12WithoutServerNameAndCarriesBytes) {
  std::mutex mutex;
  std::string server_name = "unset";
  int version = 0;
  TlsServer server(serve(issue("srv", "localhost", {"localhost"})), [&](SSL* ssl) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
      server_name = name ? name : "";
      version = SSL_version(ssl);
    }
    tls_echo(ssl);
  });
  auto conn = connect_to(server.port());
  ASSERT_EQ(ssl_connect(conn.get(), "localhost"), 0);
  ASSERT_NE(conn->ssl, nullptr);
  EXPECT_EQ(SSL_version(conn->ssl.get()), TLS1_2_VERSION);

  const std::string message = "hello over tls";
  EXPECT_EQ(connection_write(conn.get(), message.data(), message.size()),
            static_cast<int>(message.size()));
  std::string echoed;
  char buffer[64];
  while (echoed.size() < message.size()) {
    int n = connection_read(conn.get(), buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    echoed.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(echoed, message);
  EXPECT_EQ(connection_pending(conn.get()), 0);
  EXPECT_EQ(connection_close(conn.get()), 0);
  EXPECT_EQ(conn->sock.get(), -1);
  EXPECT_EQ(conn->ssl, nullptr);
  EXPECT_EQ(conn->ctx, nullptr);

  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(server_name, "");
  EXPECT_EQ(version, TLS1_2_VERSION);
}

TEST_F(SslRoutineTest, TrustDirectoryWorksInsteadOfFile) {
  ca_file.clear();
  ca_path = ca_.write_hashed_ca_dir();
  TlsServer server(serve(issue("srv", "localhost")), tls_echo);
  auto conn = connect_to(server.port());
  EXPECT_EQ(ssl_connect(conn.get(), "localhost"), 0);
  connection_close(conn.get());
}

TEST_F(SslRoutineTest, RefusedHandshakesLeaveAPlainConnection) {
  zeltest::CertOptions untrusted;
  untrusted.name = "untrusted";
  untrusted.common_name = "localhost";
  untrusted.untrusted_issuer = true;
  zeltest::CertOptions self_signed = untrusted;
  self_signed.name = "self";
  self_signed.untrusted_issuer = false;
  self_signed.self_signed = true;
  zeltest::CertOptions expired;
  expired.name = "expired";
  expired.common_name = "localhost";
  expired.not_before_days = -10;
  expired.valid_days = 5;

  struct Case {
    const char* what;
    TlsServerOptions options;
    const char* message;
  } cases[] = {
      {"untrusted chain", serve(ca_.issue(untrusted)), "Could not connect to SSL server 1.\n"},
      {"self-signed", serve(ca_.issue(self_signed)), "Could not connect to SSL server 1.\n"},
      {"expired", serve(ca_.issue(expired)), "Could not connect to SSL server 1.\n"},
      {"TLS 1.3 only", serve(issue("tls13", "localhost")), "Could not connect to SSL server 1.\n"},
      {"other host name", serve(issue("other", "other.test", {"other.test"})),
       "Hostname validation failed.\n"},
  };
  cases[3].options.min_version = TLS1_3_VERSION;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TlsServer server(c.options, tls_echo);
    auto conn = connect_to(server.port());
    int before = log_.count(c.message);
    EXPECT_EQ(ssl_connect(conn.get(), "localhost"), -1);
    EXPECT_EQ(log_.count(c.message), before + 1);
    EXPECT_EQ(conn->ssl, nullptr);
    EXPECT_EQ(conn->ctx, nullptr);
    EXPECT_EQ(connection_close(conn.get()), 0);
  }
  EXPECT_TRUE(log_.contains("openssl error: '"));
}

TEST_F(SslRoutineTest, UnreadableTrustFileIsReported) {
  ca_file = dir_.file("missing.pem");
  TlsServer server(serve(issue("srv", "localhost")), tls_echo);
  auto conn = connect_to(server.port());
  EXPECT_EQ(ssl_connect(conn.get(), "localhost"), -1);
  EXPECT_TRUE(log_.contains("Cannot load SSL certificate chain : " + dir_.file("missing.pem") +
                            ". (null).\n"));
  // The context stays in the record until the close releases it.
  EXPECT_NE(conn->ctx, nullptr);
  EXPECT_EQ(connection_close(conn.get()), 0);
  EXPECT_EQ(conn->ctx, nullptr);
}

TEST_F(SslRoutineTest, SilentServerMakesTheHandshakeTimeOut) {
  net_testing::set_broker_step_timeout_ms(200);
  LoopbackServer silent([](UniqueFd) { LoopbackServer::hold_until_stopped(); });
  auto conn = connect_to(silent.port());
  EXPECT_EQ(ssl_connect(conn.get(), "localhost"), -1);
  EXPECT_TRUE(log_.contains("Timed out after 200 ms waiting for TLS handshake.\n"));
  EXPECT_TRUE(log_.contains("Could not connect to SSL server 2.\n"));
  // The socket is back in blocking mode for its owner.
  EXPECT_EQ(fcntl(conn->sock.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(SslRoutineTest, ReadsTellNeedMoreInputFromAClosedPeer) {
  std::atomic<bool> release{false};
  TlsServer server(serve(issue("srv", "localhost")), [&](SSL* ssl) {
    SSL_write(ssl, "ping", 4);
    zeltest::wait_until([&] { return release.load(); });
  });
  auto conn = connect_to(server.port());
  ASSERT_EQ(ssl_connect(conn.get(), "localhost"), 0);
  ASSERT_GE(set_nonblocking(conn.get()), 0);
  EXPECT_NE(fcntl(conn->sock.get(), F_GETFL) & O_NONBLOCK, 0);

  char buffer[16];
  ASSERT_TRUE(zeltest::wait_until([&] { return connection_read(conn.get(), buffer, 4) == 4; }));
  EXPECT_EQ(std::string(buffer, 4), "ping");
  int events_before = log_.count("SSL_read < 0 errno: '");
  errno = 0;
  EXPECT_EQ(connection_read(conn.get(), buffer, sizeof buffer), 0);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(log_.count("SSL_read < 0 errno: '"), events_before + 1);
  EXPECT_FALSE(log_.contains("openssl read error"));

  release.store(true);  // the server sends its close notify and goes
  ASSERT_TRUE(zeltest::wait_until([&] {
    errno = 0;
    return connection_read(conn.get(), buffer, sizeof buffer) == 0 && errno != EAGAIN;
  }));
  EXPECT_TRUE(log_.contains("SSL_read == 0 errno: '"));
  connection_close(conn.get());
}

TEST_F(SslRoutineTest, PlainConnectionReadsAndShortWrites) {
  LoopbackServer sink([](UniqueFd client) {
    send_bytes(client.get(), "abc");
    LoopbackServer::hold_until_stopped();  // never reads: the client's buffers fill up
  });
  auto conn = connect_to(sink.port());
  char buffer[8];
  EXPECT_EQ(connection_read(conn.get(), buffer, sizeof buffer), 3);

  ASSERT_GE(set_nonblocking(conn.get()), 0);
  std::string big(32 * 1024 * 1024, 'z');
  int sent = connection_write(conn.get(), big.data(), big.size());
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, static_cast<int>(big.size()));
  EXPECT_TRUE(log_.contains("Wroted less then needed: " + std::to_string(sent) + "\n"));
  EXPECT_EQ(connection_pending(conn.get()), 0);
}

TEST_F(SslRoutineTest, NullAndClosedConnections) {
  char buffer[4];
  EXPECT_EQ(connection_read(nullptr, buffer, sizeof buffer), -1);
  EXPECT_EQ(connection_write(nullptr, buffer, sizeof buffer), -1);
  EXPECT_EQ(connection_close(nullptr), -1);
  EXPECT_EQ(connection_pending(nullptr), 0);
  EXPECT_EQ(ssl_connect(nullptr, "localhost"), -1);

  connection never_opened;
  EXPECT_EQ(ssl_connect(&never_opened, "localhost"), -1);
  EXPECT_EQ(connection_close(&never_opened), 0);
  EXPECT_EQ(connection_close(&never_opened), 0);
  EXPECT_EQ(never_opened.sock.get(), -1);
}

TEST_F(SslRoutineTest, ErrorCodesAreNamed) {
  struct Case {
    int code;
    std::string line;
  } cases[] = {
      {SSL_ERROR_NONE, "openssl read error: 'SSL_ERROR_NONE', errno: '"},
      {SSL_ERROR_SSL, "openssl read error: 'SSL_ERROR_SSL', errno: '"},
      {SSL_ERROR_WANT_X509_LOOKUP, "openssl read error: 'SSL_ERROR_WANT_X509_LOOKUP', errno: '"},
      {SSL_ERROR_SYSCALL, "openssl read error: 'SSL_ERROR_SYSCALL', errno: '"},
      {SSL_ERROR_ZERO_RETURN, "openssl read error: 'SSL_ERROR_ZERO_RETURN', errno: '"},
      {SSL_ERROR_WANT_WRITE, "openssl read error: '3', errno: '"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    log_ssl_error_code(c.code, ECONNRESET);
    EXPECT_TRUE(log_.contains(c.line + std::strerror(ECONNRESET) + "'.\n"));
  }
  ERR_raise(ERR_LIB_SSL, SSL_R_BAD_LENGTH);
  EXPECT_EQ(log_openssl_errors(), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
  EXPECT_TRUE(log_.contains("openssl error: 'error:"));
}

}  // namespace
