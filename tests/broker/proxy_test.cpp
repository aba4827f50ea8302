// Opening the broker link: the answer reader, the HTTP(S) CONNECT exchanges
// against scripted proxies, the five paths of open_broker_connection, name
// lookup failures, address choice and the bounded waits.
#include "broker/proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "broker/zelbroker_connection.h"
#include "broker_test_util.h"
#include "config/config.h"

namespace {

using namespace brokertest;
using namespace std::string_literals;

const std::string kConnectRequest =
    "CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1\r\nProxy-Connection: Keep-Alive\r\n\r\n";
// base64 of "user:secret".
const std::string kConnectWithCredentials =
    "CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    "Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\nProxy-Connection: Keep-Alive\r\n\r\n";
const std::string kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";
const std::string k407Basic =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"zel\"\r\nContent-Length: 0\r\n\r\n";

class ProxyTest : public ::testing::Test {
 protected:
  ~ProxyTest() override { net_testing::set_broker_step_timeout_ms(0); }

  void use_proxy(int type, std::uint16_t port) {
    store_.set(kKeyZelcloudUseProxy, std::to_string(type));
    store_.set(kKeyZelcloudProxyHostname, "127.0.0.1");
    store_.set(kKeyZelcloudProxyPort, std::to_string(port));
  }
  void use_credentials() {
    store_.set(kKeyZelcloudProxyUsername, "user");
    store_.set(kKeyZelcloudProxyPassword, "secret");
  }

  zeltest::TempDir dir_;
  LogCapture log_{dir_.file("broker_test.log")};
  ConfigStore store_{dir_.path()};
  BrokerRunning running_;
};

// --- The answer reader ------------------------------------------------------

TEST(HttpAnswerScan, CompleteAtHeaderEndOrAfterTheAnnouncedBody) {
  struct Case {
    const char* what;
    std::string answer;
    bool complete;
  } cases[] = {
      {"header not ended", "HTTP/1.1 200 Connection established\r\n", false},
      {"header end split", "HTTP/1.1 200 OK\r\n\r", false},
      {"no length", "HTTP/1.1 200 OK\r\n\r\n", true},
      {"length, body missing", "HTTP/1.1 407 X\r\nContent-Length: 10\r\n\r\n01234", false},
      {"length, body in", "HTTP/1.1 407 X\r\nContent-Length: 10\r\n\r\n0123456789", true},
      {"upper-case name", "HTTP/1.1 407 X\r\nCONTENT-LENGTH: 3\r\n\r\nab", false},
      {"upper-case name, body in", "HTTP/1.1 407 X\r\nCONTENT-LENGTH: 3\r\n\r\nabc", true},
      {"lower-case name not recognised", "HTTP/1.1 407 X\r\ncontent-length: 10\r\n\r\n", true},
      {"leading blanks", "HTTP/1.1 407 X\r\nContent-Length:    2\r\n\r\nx", false},
      {"zero length", "HTTP/1.1 407 X\r\nContent-Length: 0\r\n\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    http_answer_scan scan;
    EXPECT_EQ(http_answer_complete(c.answer, &scan), c.complete);
  }
}

TEST(HttpAnswerScan, KeepsWhatItLearntAcrossCalls) {
  http_answer_scan scan;
  std::string answer = "HTTP/1.1 407 X\r\nContent-Length: 4\r\n\r";
  EXPECT_FALSE(http_answer_complete(answer, &scan));
  EXPECT_FALSE(scan.header_end_found);
  answer += "\n";
  EXPECT_FALSE(http_answer_complete(answer, &scan));
  EXPECT_TRUE(scan.header_end_found);
  EXPECT_TRUE(scan.has_length);
  EXPECT_EQ(scan.expected_total, static_cast<long long>(answer.size()) + 4);
  answer += "body";
  EXPECT_TRUE(http_answer_complete(answer, &scan));
}

TEST_F(ProxyTest, ReadHttpAnswerWaitsForPiecesAndTheAnnouncedBody) {
  std::atomic<int> step{0};
  // Each piece is sent only after the previous one has been read, so every
  // piece arrives in a read of its own.
  const std::vector<std::string> pieces = {"HTTP/1.1 407 X\r\nContent-Length: 10\r\n\r",
                                           "\n01234", "56789"};
  ScriptedPeer peer([&](int fd, std::string*) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      send_bytes(fd, pieces[i]);
      zeltest::wait_until([&] { return step.load() > static_cast<int>(i); });
    }
    LoopbackServer::hold_until_stopped();
  });
  connection conn;
  conn.sock = connect_loopback(peer.port());
  std::optional<std::string> answer;
  std::thread reader([&] { answer = read_http_answer(&conn); });
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    ASSERT_TRUE(zeltest::wait_until([&] {
      return log_.contains("readed " + std::to_string(pieces[i].size()) + " bytes");
    }));
    step.store(static_cast<int>(i) + 1);
  }
  reader.join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, pieces[0] + pieces[1] + pieces[2]);
  EXPECT_TRUE(log_.contains("Found header end\n"));
  EXPECT_TRUE(log_.contains("Found content lenght.\n"));
}

TEST_F(ProxyTest, ReadHttpAnswerLengthSpellings) {
  net_testing::set_broker_step_timeout_ms(3000);
  struct Case {
    std::string answer;
    bool returned;  // false: waited for a body that never came, then saw the close
  } cases[] = {
      {"HTTP/1.1 407 X\r\ncontent-length: 10\r\n\r\n", true},
      {"HTTP/1.1 407 X\r\nCONTENT-LENGTH: 10\r\n\r\n01234", false},
      {"HTTP/1.1 407 X\r\nContent-Length: 10\r\n\r\n01234", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    std::atomic<bool> client_done{false};
    ScriptedPeer peer([&](int fd, std::string*) {
      send_bytes(fd, c.answer);
      // An answer taken as complete is returned while the peer is still
      // there; otherwise the close ends the wait.
      if (c.returned) zeltest::wait_until([&] { return client_done.load(); });
    });
    connection conn;
    conn.sock = connect_loopback(peer.port());
    std::optional<std::string> answer = read_http_answer(&conn);
    client_done.store(true);
    EXPECT_EQ(answer.has_value(), c.returned);
    if (answer) {
      EXPECT_EQ(*answer, c.answer);
    } else {
      EXPECT_TRUE(log_.contains("Connection closed. \n"));
    }
  }
}

TEST_F(ProxyTest, ReadHttpAnswerRefusesAnEndlessAnswer) {
  ScriptedPeer peer([](int fd, std::string*) {
    std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    send_bytes(fd, "HTTP/1.1 200 OK\r\n");
    for (int i = 0; i < 100; ++i) {
      if (!send_bytes(fd, line)) break;
    }
  });
  connection conn;
  conn.sock = connect_loopback(peer.port());
  EXPECT_FALSE(read_http_answer(&conn).has_value());
  EXPECT_TRUE(log_.contains("Proxy answer is longer than 65536 bytes.\n"));
}

// --- CONNECT exchanges ---------------------------------------------------------

TEST_F(ProxyTest, ConnectRequestIsExactlyTheFormattedText) {
  std::atomic<bool> tunnel_open{false};
  ScriptedPeer proxy([&](int fd, std::string* got) {
    *got = recv_until(fd, "\r\n\r\n");
    send_bytes(fd, kEstablished);
    // Tunnelled bytes follow once the answer has been taken.
    zeltest::wait_until([&] { return tunnel_open.load(); });
    send_bytes(fd, "from broker");
    *got += recv_until_closed(fd);
  });
  connection conn;
  conn.sock = connect_loopback(proxy.port());
  ASSERT_EQ(http_proxy_connect(&conn, "127.0.0.1", 443, nullptr), 0);
  tunnel_open.store(true);
  char buffer[32];
  std::string tunnelled;
  while (tunnelled.size() < 11) {
    int n = connection_read(&conn, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    tunnelled.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(tunnelled, "from broker");
  connection_close(&conn);
  ASSERT_TRUE(proxy.wait_finished(1));
  EXPECT_EQ(proxy.received(), kConnectRequest);  // no trailing NUL, nothing more
}

TEST_F(ProxyTest, AnswersOtherThanAnEstablishedTunnelAreRefused) {
  const std::string answers[] = {
      "HTTP/1.1 200 OK\r\n\r\n",
      "HTTP/1.1 403 Forbidden\r\n\r\n",
      "HTTP/1.1 502 Connection established failed\r\n\r\n",
  };
  for (const std::string& reply : answers) {
    SCOPED_TRACE(reply);
    ScriptedPeer proxy([&](int fd, std::string* got) {
      *got = recv_until(fd, "\r\n\r\n");
      send_bytes(fd, reply);
    });
    connection conn;
    conn.sock = connect_loopback(proxy.port());
    EXPECT_EQ(http_proxy_connect(&conn, "127.0.0.1", 443, nullptr), -1);
  }
}

TEST_F(ProxyTest, BasicAuthenticationRetriesOnANewSocket) {
  use_credentials();
  ScriptedPeer proxy([](int fd, std::string* got) {
    *got = recv_until(fd, "\r\n\r\n");
    if (got->find("Proxy-Authorization") == std::string::npos) {
      send_bytes(fd, k407Basic);
      return;  // and close, as proxies do after a 407
    }
    send_bytes(fd, kEstablished);
    echo(fd);
  });
  use_proxy(kProxyHttp, proxy.port());
  std::unique_ptr<connection> conn = open_broker_connection("127.0.0.1", 443, 1);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->ssl, nullptr);  // the tunnel carries the packets without TLS
  EXPECT_EQ(connection_write(conn.get(), "ping", 4), 4);
  char buffer[4];
  EXPECT_EQ(read_exact(conn.get(), buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  connection_close(conn.get());
  ASSERT_TRUE(proxy.wait_finished(2));
  EXPECT_EQ(proxy.received(0), kConnectRequest);
  EXPECT_EQ(proxy.received(1), kConnectWithCredentials);
  EXPECT_TRUE(log_.contains("Autentification required.\n"));
  EXPECT_TRUE(log_.contains("found basic authentification.\n"));
  EXPECT_TRUE(log_.contains("Connected to server.\n"));
}

TEST_F(ProxyTest, AuthenticationRefusals) {
  struct Case {
    const char* what;
    std::string first_answer;
    bool credentials;
    int connections;
    std::string message;
  } cases[] = {
      {"no Proxy-Authenticate", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", true, 1,
       "Cannot find proxy auth method.\n"},
      {"Basic only on the second offer",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"x\"\r\n"
       "Proxy-Authenticate: Basic realm=\"x\"\r\n\r\n",
       true, 1, "Could not find appropriate method to authentificate on proxy.\n"},
      {"credentials refused", k407Basic, true, 2,
       "Could not connect to server with given credentials.\n"},
      {"no credentials configured", k407Basic, false, 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigStore store(dir_.file(std::string("store-") + std::to_string(&c - cases)));
    if (c.credentials) use_credentials();
    ScriptedPeer proxy([&](int fd, std::string* got) {
      *got = recv_until(fd, "\r\n\r\n");
      send_bytes(fd, got->empty() ? "" : c.first_answer);
    });
    use_proxy(kProxyHttp, proxy.port());
    EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 0), nullptr);
    EXPECT_TRUE(proxy.wait_finished(c.connections));
    EXPECT_EQ(proxy.finished(), c.connections);
    if (!c.message.empty()) {
      EXPECT_TRUE(log_.contains(c.message));
    }
    if (c.connections == 2) {
      EXPECT_EQ(proxy.received(1), c.credentials ? kConnectWithCredentials : "");
    }
    EXPECT_TRUE(log_.contains("Cannot connect using HTTP proxy.\n"));
  }
}

TEST_F(ProxyTest, OverlongCredentialsAreRefusedBeforeSending) {
  ScriptedPeer proxy([](int fd, std::string* got) { *got = recv_until_closed(fd); });
  connection conn;
  conn.sock = connect_loopback(proxy.port());
  const std::string long_name(256, 'u');
  EXPECT_EQ(http_proxy_connect_basic(&conn, "127.0.0.1", 443, long_name.c_str(), "p"), -1);
  EXPECT_EQ(http_proxy_connect_basic(&conn, "127.0.0.1", 443, "u", long_name.c_str()), -1);
  connection_close(&conn);
  ASSERT_TRUE(proxy.wait_finished(1));
  EXPECT_EQ(proxy.received(), "");
  EXPECT_EQ(log_.count("Proxy user name or password is longer than 255 bytes.\n"), 2);
}

// --- open_broker_connection -------------------------------------------------------

class OpenBrokerConnectionTest : public ProxyTest {
 protected:
  OpenBrokerConnectionTest() { ca_file = ca_.ca_cert_path(); }
  ~OpenBrokerConnectionTest() override { ca_file.clear(); }

  TlsServerOptions tls_options() {
    zeltest::CertOptions options;
    options.common_name = "localhost";
    options.dns_names = {"localhost"};
    zeltest::CertFiles files = ca_.issue(options);
    TlsServerOptions tls;
    tls.chain_path = files.chain_path;
    tls.key_path = files.key_path;
    return tls;
  }

  zeltest::TestCa ca_{dir_.file("certs")};
};

TEST_F(OpenBrokerConnectionTest, DirectWithAndWithoutTls) {
  TlsServer broker(tls_options(), [](SSL* ssl) {
    char buffer[16];
    int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n > 0) SSL_write(ssl, buffer, n);
  });
  std::unique_ptr<connection> conn = open_broker_connection("localhost", broker.port(), 1);
  ASSERT_NE(conn, nullptr);
  ASSERT_NE(conn->ssl, nullptr);
  int keepalive = 0;
  socklen_t size = sizeof keepalive;
  getsockopt(conn->sock.get(), SOL_SOCKET, SO_KEEPALIVE, &keepalive, &size);
  EXPECT_EQ(keepalive, 1);
  EXPECT_NE(fcntl(conn->sock.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(connection_write(conn.get(), "tls", 3), 3);
  char buffer[3];
  EXPECT_EQ(read_exact(conn.get(), buffer, 3), 3);
  connection_close(conn.get());

  ScriptedPeer plain([](int fd, std::string*) { echo(fd); });
  conn = open_broker_connection("localhost", plain.port(), 0);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(conn->ssl, nullptr);
  EXPECT_EQ(connection_write(conn.get(), "raw", 3), 3);
  EXPECT_EQ(read_exact(conn.get(), buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "raw");
  connection_close(conn.get());
}

TEST_F(OpenBrokerConnectionTest, DirectTlsFailureClosesEverything) {
  TlsServer broker(tls_options(), [](SSL*) {});
  EXPECT_EQ(open_broker_connection("127.0.0.1", broker.port(), 1), nullptr);
  EXPECT_TRUE(log_.contains("Hostname validation failed.\n"));
  EXPECT_TRUE(log_.contains("Cannot create ssl connection to broker.\n"));
}

TEST_F(OpenBrokerConnectionTest, HttpsProxyChecksTheProxyAndAuthenticatesWithANewSession) {
  use_credentials();
  TlsServer proxy(tls_options(), [](SSL* ssl) {
    std::string request;
    char byte;
    while (request.find("\r\n\r\n") == std::string::npos && SSL_read(ssl, &byte, 1) == 1) {
      request += byte;
    }
    if (request.find("Proxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n") == std::string::npos) {
      SSL_write(ssl, k407Basic.data(), static_cast<int>(k407Basic.size()));
      return;
    }
    SSL_write(ssl, kEstablished.data(), static_cast<int>(kEstablished.size()));
    char buffer[16];
    int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n > 0) SSL_write(ssl, buffer, n);
  });
  use_proxy(kProxyHttps, proxy.port());
  std::unique_ptr<connection> conn = open_broker_connection("localhost", 443, 0);
  ASSERT_NE(conn, nullptr);
  ASSERT_NE(conn->ssl, nullptr);  // the session with the proxy
  EXPECT_EQ(proxy.handshakes_done(), 2);
  EXPECT_EQ(connection_write(conn.get(), "via", 3), 3);
  char buffer[3];
  EXPECT_EQ(read_exact(conn.get(), buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "via");
  connection_close(conn.get());

  // The proxy's certificate is checked against the zelbroker's name.
  EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 0), nullptr);
  EXPECT_TRUE(log_.contains("Cannot create ssl connection to HTTPS proxy.\n"));
}

TEST_F(OpenBrokerConnectionTest, SocksPathsTunnelWithoutTls) {
  for (int type : {kProxySocks4, kProxySocks5}) {
    SCOPED_TRACE(type);
    ScriptedPeer proxy([&](int fd, std::string*) {
      if (type == kProxySocks4) {
        recv_exactly(fd, 9);
        send_bytes(fd, "\x00\x5a\x00\x00\x00\x00\x00\x00"s);
      } else {
        recv_exactly(fd, 4);
        send_bytes(fd, "\x05\x00"s);
        recv_exactly(fd, 10);
        send_bytes(fd, "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00"s);
      }
      echo(fd);
    });
    use_proxy(type, proxy.port());
    std::unique_ptr<connection> conn = open_broker_connection("127.0.0.1", 443, 1);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->ssl, nullptr);
    EXPECT_EQ(connection_write(conn.get(), "sox", 3), 3);
    char buffer[3];
    EXPECT_EQ(read_exact(conn.get(), buffer, 3), 3);
    connection_close(conn.get());
  }
}

TEST_F(OpenBrokerConnectionTest, ConfigurationAndConnectFailures) {
  ScriptedPeer proxy([](int fd, std::string* got) { *got = recv_until_closed(fd); });
  const std::uint16_t closed_port = free_loopback_port();

  use_proxy(kProxyHttp, 0);
  store_.set(kKeyZelcloudProxyPort, "65536");
  EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Could not found proxy port. \n"));

  ConfigStore no_host(dir_.file("nohost"));
  store_.set(kKeyZelcloudUseProxy, "1");
  store_.set(kKeyZelcloudProxyPort, std::to_string(proxy.port()));
  EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Could not find proxy server address.\n"));

  use_proxy(7, proxy.port());
  EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Unrecognized proxy type"));
  ASSERT_TRUE(proxy.wait_finished(1));
  EXPECT_EQ(proxy.received(), "");

  use_proxy(kProxySocks5, closed_port);
  EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Can't connect to proxy server, errno=111 - "));

  use_proxy(kProxyNone, 0);
  EXPECT_EQ(open_broker_connection("127.0.0.1", closed_port, 1), nullptr);
  EXPECT_TRUE(log_.contains("Can't connect to '127.0.0.1':" + std::to_string(closed_port) +
                            ", errno=111 - "));
}

TEST_F(OpenBrokerConnectionTest, FailedLookupLogsTheResolverConfiguration) {
  // Blanks make the name invalid before any resolver traffic.
  EXPECT_EQ(open_broker_connection("no such host", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Can't resolve host 'no such host'. getaddrinfo returned "));
  EXPECT_TRUE(log_.contains("system has "));
  EXPECT_TRUE(log_.contains(" DNS servers\n"));
  std::ifstream conf("/etc/resolv.conf");
  std::string line;
  while (std::getline(conf, line)) {
    if (conf.eof()) break;  // a last line without a line feed is not logged
    SCOPED_TRACE(line);
    EXPECT_TRUE(log_.contains("resolv conf file has following values: '" + line + "\n'\n"));
  }
}

TEST_F(OpenBrokerConnectionTest, IPv6OnlyNameIsReachedOverItsFirstAddress) {
  UniqueFd listener(socket(AF_INET6, SOCK_STREAM, 0));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 4) != 0) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  socklen_t size = sizeof address;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
  std::unique_ptr<connection> conn = open_broker_connection("::1", ntohs(address.sin6_port), 0);
  ASSERT_NE(conn, nullptr);
  sockaddr_storage peer{};
  size = sizeof peer;
  getpeername(conn->sock.get(), reinterpret_cast<sockaddr*>(&peer), &size);
  EXPECT_EQ(peer.ss_family, AF_INET6);
}

TEST(PickBrokerAddress, FirstIPv4EntryElseTheFirst) {
  addrinfo v6a{}, v6b{}, v4{};
  v6a.ai_family = AF_INET6;
  v6b.ai_family = AF_INET6;
  v4.ai_family = AF_INET;
  v6a.ai_next = &v6b;
  v6b.ai_next = &v4;
  EXPECT_EQ(pick_broker_address(&v6a), &v4);
  v6b.ai_next = nullptr;
  EXPECT_EQ(pick_broker_address(&v6a), &v6a);
  EXPECT_EQ(pick_broker_address(nullptr), nullptr);
}

// --- Bounded waits --------------------------------------------------------------------

TEST_F(OpenBrokerConnectionTest, SilentPeersTimeOutAtEachStep) {
  net_testing::set_broker_step_timeout_ms(300);
  ScriptedPeer silent([](int fd, std::string* got) { *got = recv_until_closed(fd); });

  EXPECT_EQ(open_broker_connection("localhost", silent.port(), 1), nullptr);
  EXPECT_TRUE(log_.contains("Timed out after 300 ms waiting for TLS handshake.\n"));

  use_proxy(kProxyHttp, silent.port());
  EXPECT_EQ(open_broker_connection("localhost", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Timed out after 300 ms waiting for HTTP proxy answer.\n"));

  use_proxy(kProxySocks4, silent.port());
  EXPECT_EQ(open_broker_connection("127.0.0.1", 443, 1), nullptr);
  EXPECT_TRUE(log_.contains("Timed out after 300 ms waiting for SOCKS4 reply.\n"));
}

TEST_F(OpenBrokerConnectionTest, ConnectToAListenerWithAFullQueueTimesOut) {
  // A listener that never accepts, its queue filled: further SYNs go
  // unanswered and the connect stays pending.
  UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  socklen_t size = sizeof address;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 8; ++i) {
    fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  net_testing::set_broker_step_timeout_ms(300);
  EXPECT_EQ(open_broker_connection("127.0.0.1", ntohs(address.sin_port), 0), nullptr);
  EXPECT_TRUE(log_.contains("Timed out after 300 ms waiting for TCP connect.\n"));
  EXPECT_TRUE(log_.contains("Can't connect to '127.0.0.1':"));
}

TEST_F(OpenBrokerConnectionTest, StopOfTheBrokerThreadEndsAWaitAtOnce) {
  zeltest::install_interrupting_handler(SIGUSR1);

  // The full 30 s limit: only the stop can end this wait early. The peer
  // never answers; once it holds the client's first handshake bytes the
  // opener is past the TCP connect and waits in the TLS handshake.
  std::atomic<bool> hello_received{false};
  ScriptedPeer silent([&](int fd, std::string* got) {
    char first = 0;
    if (::recv(fd, &first, 1, 0) == 1) {
      got->push_back(first);
      hello_received.store(true);
    }
    *got += recv_until_closed(fd);
  });
  std::atomic<bool> done{false};
  std::atomic<bool> started{false};
  pthread_t opener_handle{};
  std::thread opener([&] {
    opener_handle = pthread_self();
    started.store(true);
    EXPECT_EQ(open_broker_connection("localhost", silent.port(), 1), nullptr);
    done.store(true);
  });
  ASSERT_TRUE(zeltest::wait_until([&] { return started.load() && hello_received.load(); }));
  keep_connection.store(0);
  pthread_kill(opener_handle, SIGUSR1);
  opener.join();
  EXPECT_TRUE(done.load());
  EXPECT_TRUE(log_.contains("Broker link is stopping, TLS handshake abandoned.\n"));
  EXPECT_FALSE(log_.contains("Timed out"));
}

}  // namespace
