// Cloud requests through real proxies (Debian's tinyproxy for HTTP with Basic
// authentication, microsocks for SOCKS5 with user name and password), each
// started here on a free loopback port, and the fixed local proxy of mode 2.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cloud_fixture.h"

namespace {

using cloudtest::reply;

constexpr const char* kProxyUser = "zeluser";
constexpr const char* kProxyPassword = "zel-pass";
// SOCKS5 carries user name and password apart: a colon inside must survive.
constexpr const char* kSocksPassword = "zel:pass";
constexpr int kStartAttempts = 5;

bool program_exists(const char* path) { return ::access(path, X_OK) == 0; }

uint16_t free_loopback_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool accepts_connections(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

// A proxy program run by the test, stopped and reaped at the end.
class ProxyProcess {
 public:
  ProxyProcess() = default;
  ~ProxyProcess() { stop(); }
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;

  // Runs `argv` with its output in `log_path`; true once it accepts on `port`.
  bool start(const std::vector<std::string>& argv, uint16_t port, const std::string& log_path) {
    pid_ = ::fork();
    if (pid_ == 0) {
      int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      std::vector<char*> args;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    if (pid_ < 0) return false;
    zeltest::wait_until([&] { return exited() || accepts_connections(port); });
    return !exited();
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  bool exited() {
    if (pid_ <= 0) return true;
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    return false;
  }
  pid_t pid_ = -1;
};

class HttpProxyTest : public cloudtest::CloudTest {
 protected:
  void SetUp() override {
    CloudTest::SetUp();
    cloud_->set_default_answer(reply(200, R"({"via":"proxy"})"));
    set_identity("AB-12", "secret");
  }

  void use_proxy(uint32_t mode, std::optional<uint16_t> port, const char* user, const char* password) {
    config_set(kKeyZelcloudUseProxy, std::to_string(mode).c_str());
    config_set(kKeyZelcloudProxyHostname, port ? "127.0.0.1" : "");
    config_set(kKeyZelcloudProxyPort, port ? std::to_string(*port).c_str() : "");
    config_set(kKeyZelcloudProxyUsername, user ? user : "");
    config_set(kKeyZelcloudProxyPassword, password ? password : "");
  }

  int post() {
    long status = 0;
    http_buffer header, body;
    int rc = http_post_json(cloud_->url("/register"), context_, "{}", status, header, body);
    return rc == kHttpOk ? static_cast<int>(status) : rc;
  }

  // Starts tinyproxy with Basic authentication; the port it listens on.
  std::optional<uint16_t> start_tinyproxy(ProxyProcess& proxy) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
      uint16_t port = free_loopback_port();
      std::string config = dir_.file("tinyproxy.conf");
      zeltest::write_file(config, std::string(::geteuid() == 0 ? "User nobody\nGroup nogroup\n" : "") +
                                      "Port " + std::to_string(port) +
                                      "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nAllow 127.0.0.1\n"
                                      "BasicAuth " + kProxyUser + " " + kProxyPassword +
                                      "\nDisableViaHeader Yes\nLogLevel Info\n");
      if (proxy.start({"/usr/bin/tinyproxy", "-d", "-c", config}, port, dir_.file("tinyproxy.out"))) return port;
      proxy.stop();
    }
    return std::nullopt;
  }

  std::optional<uint16_t> start_microsocks(ProxyProcess& proxy) {
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
      uint16_t port = free_loopback_port();
      if (proxy.start({"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-u", kProxyUser, "-P",
                       kSocksPassword},
                      port, dir_.file("microsocks.out"))) {
        return port;
      }
      proxy.stop();
    }
    return std::nullopt;
  }
};

TEST_F(HttpProxyTest, HttpProxyWithBasicAuthentication) {
  if (!program_exists("/usr/bin/tinyproxy")) GTEST_SKIP() << "tinyproxy is not installed";
  ProxyProcess proxy;
  auto port = start_tinyproxy(proxy);
  ASSERT_TRUE(port) << zeltest::read_file(dir_.file("tinyproxy.out"));

  use_proxy(1, port, kProxyUser, kProxyPassword);
  EXPECT_EQ(post(), 200);
  ASSERT_EQ(cloud_->request_count(), 1u);
  EXPECT_EQ(cloud_->requests()[0].header("Authorization"), "AB-12:secret");

  // A wrong password is refused by the proxy: nothing reaches the cloud.
  use_proxy(1, port, kProxyUser, "wrong");
  EXPECT_NE(post(), 200);
  EXPECT_EQ(cloud_->request_count(), 1u);
}

TEST_F(HttpProxyTest, Socks5ProxyWithUserNameAndPassword) {
  if (!program_exists("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed";
  ProxyProcess proxy;
  auto port = start_microsocks(proxy);
  ASSERT_TRUE(port) << zeltest::read_file(dir_.file("microsocks.out"));

  use_proxy(4, port, kProxyUser, kSocksPassword);
  EXPECT_EQ(post(), 200);
  EXPECT_EQ(cloud_->request_count(), 1u);

  use_proxy(4, port, kProxyUser, "wrong");
  EXPECT_NE(post(), 200);
  EXPECT_EQ(cloud_->request_count(), 1u);
}

TEST_F(HttpProxyTest, ProxyModeWithoutHostOrPortGoesDirect) {
  use_proxy(2, std::nullopt, nullptr, nullptr);
  EXPECT_EQ(post(), 200);
  EXPECT_EQ(cloud_->request_count(), 1u);
  EXPECT_TRUE(logged("Could not get proxy address/proxy port values from config"));
}

// Mode 2 always uses the device's local proxy at 127.0.0.1:3128, whatever
// host and port are configured.
TEST_F(HttpProxyTest, HttpsProxyModeGoesThroughTheLocalProxyPort) {
  constexpr uint16_t kLocalProxyPort = 3128;
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(kLocalProxyPort);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 4) != 0) {
    ::close(listener);
    GTEST_SKIP() << "127.0.0.1:3128 is in use on this machine";
  }
  // The local "proxy" reads the request head and refuses it.
  std::string seen;
  std::thread proxy([&] {
    constexpr int kAcceptDeadlineMs = 10000;  // the client going direct must not hang the test
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, kAcceptDeadlineMs) != 1) return;
    int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    char buffer[1024];
    while (seen.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      seen.append(buffer, static_cast<std::size_t>(n));
    }
    const char refusal[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    ::send(connection, refusal, sizeof(refusal) - 1, MSG_NOSIGNAL);
    ::close(connection);
  });
  use_proxy(2, uint16_t{1}, nullptr, nullptr);  // configured port 1 is not used
  EXPECT_EQ(post(), kHttpOtherFailure);
  proxy.join();
  ::close(listener);
  EXPECT_EQ(seen.rfind("CONNECT localhost:" + std::to_string(cloud_->port()) + " HTTP/1.1\r\n", 0), 0u) << seen;
  EXPECT_EQ(cloud_->request_count(), 0u);
}

}  // namespace
