// The tunnels against the proxy programs a device integrator would use
// (Debian's tinyproxy, microsocks and dante-server), each started on a free
// loopback port with a generated configuration; an echo server behind the
// tunnel receives and returns the bytes.
#include <gtest/gtest.h>

#include <string>

#include "broker/proxy.h"
#include "broker_test_util.h"
#include "config/config.h"

namespace {

using namespace brokertest;

class RealProxyTest : public ::testing::Test {
 protected:
  // Starts `program` with `args` (its port already chosen) and waits until
  // it accepts connections; skips the test when it is not installed.
  bool start(const std::string& program, std::vector<std::string> args, std::uint16_t port) {
    std::string path = find_program(program);
    if (path.empty()) return false;
    args.insert(args.begin(), path);
    proxy_ = std::make_unique<ChildProcess>(args, dir_.file(program + ".out"));
    started_ = wait_for_listener(port);
    return true;
  }

  void use_proxy(int type, std::uint16_t port) {
    store_.set(kKeyZelcloudUseProxy, std::to_string(type));
    store_.set(kKeyZelcloudProxyHostname, "127.0.0.1");
    store_.set(kKeyZelcloudProxyPort, std::to_string(port));
  }

  void use_credentials(const std::string& user, const std::string& password) {
    store_.set(kKeyZelcloudProxyUsername, user);
    store_.set(kKeyZelcloudProxyPassword, password);
  }

  // Opens the link to the echo server through the configured proxy and
  // checks that bytes travel both ways.
  void expect_tunnel() {
    std::unique_ptr<connection> conn = open_broker_connection("127.0.0.1", echo_.port(), 1);
    ASSERT_NE(conn, nullptr) << log_.text();
    EXPECT_EQ(conn->ssl, nullptr);
    const std::string message = "through the tunnel";
    EXPECT_EQ(connection_write(conn.get(), message.data(), message.size()),
              static_cast<int>(message.size()));
    std::string back(message.size(), '\0');
    EXPECT_EQ(read_exact(conn.get(), back.data(), back.size()), static_cast<int>(back.size()));
    EXPECT_EQ(back, message);
    connection_close(conn.get());
  }

  std::string output(const std::string& program) const {
    return zeltest::read_file(dir_.file(program + ".out"));
  }

  zeltest::TempDir dir_;
  LogCapture log_{dir_.file("broker_test.log")};
  ConfigStore store_{dir_.path()};
  BrokerRunning running_;
  ScriptedPeer echo_{[](int fd, std::string*) { echo(fd); }};
  std::unique_ptr<ChildProcess> proxy_;
  bool started_ = false;
};

std::string tinyproxy_config(std::uint16_t port, const std::string& basic_auth) {
  std::string config = "Port " + std::to_string(port) +
                       "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nAllow 127.0.0.1\n"
                       // As root tinyproxy drops to an ordinary user.
                       "User nobody\nGroup nogroup\nLogLevel Info\n";
  if (!basic_auth.empty()) config += "BasicAuth " + basic_auth + "\n";
  return config;
}

TEST_F(RealProxyTest, TinyproxyConnectTunnel) {
  const std::uint16_t port = free_loopback_port();
  zeltest::write_file(dir_.file("tinyproxy.conf"), tinyproxy_config(port, ""));
  if (!start("tinyproxy", {"-d", "-c", dir_.file("tinyproxy.conf")}, port)) {
    GTEST_SKIP() << "tinyproxy is not installed";
  }
  ASSERT_TRUE(started_) << output("tinyproxy");
  use_proxy(kProxyHttp, port);
  expect_tunnel();
}

TEST_F(RealProxyTest, TinyproxyBasicAuthenticationThroughThe407) {
  const std::uint16_t port = free_loopback_port();
  zeltest::write_file(dir_.file("tinyproxy.conf"), tinyproxy_config(port, "zeluser zel-secret"));
  if (!start("tinyproxy", {"-d", "-c", dir_.file("tinyproxy.conf")}, port)) {
    GTEST_SKIP() << "tinyproxy is not installed";
  }
  ASSERT_TRUE(started_) << output("tinyproxy");
  use_proxy(kProxyHttp, port);
  use_credentials("zeluser", "zel-secret");
  expect_tunnel();
  EXPECT_TRUE(log_.contains("Autentification required.\n"));
  EXPECT_TRUE(log_.contains("found basic authentification.\n"));
  EXPECT_TRUE(log_.contains("Connected to server.\n"));

  use_credentials("zeluser", "wrong");
  EXPECT_EQ(open_broker_connection("127.0.0.1", echo_.port(), 1), nullptr);
  // tinyproxy answers wrong credentials with 401 rather than another 407.
  EXPECT_TRUE(log_.contains("Received after autorization: HTTP/1.0 401 Unauthorized"));
  EXPECT_TRUE(log_.contains("Cannot connect to server using proxy.\n"));
}

TEST_F(RealProxyTest, MicrosocksWithoutAuthentication) {
  const std::uint16_t port = free_loopback_port();
  if (!start("microsocks", {"-i", "127.0.0.1", "-p", std::to_string(port)}, port)) {
    GTEST_SKIP() << "microsocks is not installed";
  }
  ASSERT_TRUE(started_) << output("microsocks");
  use_proxy(kProxySocks5, port);
  expect_tunnel();
}

TEST_F(RealProxyTest, MicrosocksWithUserNameAndPassword) {
  const std::uint16_t port = free_loopback_port();
  if (!start("microsocks",
             {"-i", "127.0.0.1", "-p", std::to_string(port), "-u", "zeluser", "-P", "zel-secret"},
             port)) {
    GTEST_SKIP() << "microsocks is not installed";
  }
  ASSERT_TRUE(started_) << output("microsocks");
  use_proxy(kProxySocks5, port);
  use_credentials("zeluser", "zel-secret");
  expect_tunnel();
  EXPECT_TRUE(log_.contains("Registered on SOCKS5 server.\n"));

  use_credentials("zeluser", "wrong");
  EXPECT_EQ(open_broker_connection("127.0.0.1", echo_.port(), 1), nullptr);
  EXPECT_TRUE(log_.contains("Error during autorization : "));
}

TEST_F(RealProxyTest, DanteSocks4) {
  const std::uint16_t port = free_loopback_port();
  zeltest::write_file(dir_.file("danted.conf"),
                      "logoutput: stderr\n"
                      "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
                      "external: 127.0.0.1\n"
                      "socksmethod: none\n"
                      "clientmethod: none\n"
                      "user.privileged: root\n"
                      "user.unprivileged: nobody\n"
                      "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                      "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                      "  command: connect\n  protocol: tcp\n}\n");
  if (!start("danted", {"-f", dir_.file("danted.conf"), "-N", "1"}, port)) {
    GTEST_SKIP() << "dante-server is not installed";
  }
  ASSERT_TRUE(started_) << output("danted");
  use_proxy(kProxySocks4, port);
  expect_tunnel();
  EXPECT_TRUE(log_.contains("Connected to SOCKS4 proxy.\n"));
}

}  // namespace
