// What the broker link's tests share: a private store, log and CA, the link marked as running (as inside the broker
// thread) with short set-up steps, a connection over a socket pair, and a scripted peer on loopback, plain or TLS,
// that runs a script per accepted connection and records what each one received.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "broker/proxy.h"
#include "broker/zelbroker_connection.h"
#include "cert_authority.h"
#include "config/config.h"
#include "delivery/message_sender.h"
#include "support/test_support.h"

namespace brokertest {

using CtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

inline void set(const char* key, const std::string& value) { config_set(key, value.c_str()); }

// A TLS server context with `cert` (any version up to TLS 1.3).
inline CtxPtr server_ctx(const zelsim::CertFiles& cert) {
  CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  SSL_CTX_use_certificate_chain_file(ctx.get(), cert.chain_path.c_str());
  SSL_CTX_use_PrivateKey_file(ctx.get(), cert.key_path.c_str(), SSL_FILETYPE_PEM);
  return ctx;
}

// A plain connection over one end of a socket pair; take() reads what the other end holds already.
struct Pair {
  Pair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    conn.sock.reset(fds[0]);
    other.reset(fds[1]);
  }
  std::string take(std::size_t count) const {
    std::string out(count, '\0');
    out.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::recv(other.get(), out.data(), count, MSG_DONTWAIT))));
    return out;
  }
  connection conn;
  UniqueFd other;
};

// One accepted connection as a script sees it.
struct Channel {
  int fd;
  SSL* ssl;
  std::string* got;  // everything this connection received
  // Receives `count` more bytes, or (count 0) up to and including `end`, or
  // (neither) until the other side closes; less at a close or an error.
  void read(std::size_t count, const std::string& end = "") {
    const std::size_t start = got->size();
    char byte = 0;
    while (count != 0 ? got->size() - start < count : end.empty() || !got->ends_with(end)) {
      if ((ssl ? SSL_read(ssl, &byte, 1) : static_cast<int>(::recv(fd, &byte, 1, 0))) <= 0) return;
      got->push_back(byte);
    }
  }
  void send(const std::string& bytes) {
    if (ssl) SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
    else send_all(fd, bytes.data(), bytes.size());
  }
};

class Peer {
 public:
  explicit Peer(std::function<void(Channel&)> script, SSL_CTX* tls = nullptr)
      : script_(std::move(script)), tls_(tls), listener_(zeltest::listen_loopback(&port_)),
        thread_([this] { run(); }) {}
  ~Peer() { finish(); }
  std::uint16_t port() const { return port_; }
  // Stops accepting, lets the running script end and returns what each
  // connection received (close the test's side of every connection first).
  const std::vector<std::string>& finish() {
    if (thread_.joinable()) {
      ::shutdown(listener_.get(), SHUT_RDWR);  // ends the blocked accept
      thread_.join();
    }
    return got_;
  }

 private:
  void run() {
    for (UniqueFd fd; (fd = UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC))); fd.reset()) {
      const timeval bound{static_cast<time_t>(zeltest::kWaitLimit.count() / 1000), 0};
      for (int name : {SO_RCVTIMEO, SO_SNDTIMEO}) ::setsockopt(fd.get(), SOL_SOCKET, name, &bound, sizeof bound);
      got_.emplace_back();
      std::unique_ptr<SSL, SslDeleter> ssl(tls_ != nullptr ? SSL_new(tls_) : nullptr);
      if (!ssl || (SSL_set_fd(ssl.get(), fd.get()) == 1 && SSL_accept(ssl.get()) == 1)) {
        Channel channel{fd.get(), ssl.get(), &got_.back()};
        script_(channel);
        if (ssl) SSL_shutdown(ssl.get());
      }
      ERR_clear_error();
    }
  }
  std::function<void(Channel&)> script_;
  SSL_CTX* tls_;
  std::uint16_t port_ = 0;
  UniqueFd listener_;
  std::vector<std::string> got_;  // the peer thread's until finish() joins it
  std::thread thread_;
};

class BrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zeltest::install_agent_signal_handlers();
    ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
    ca_file = ca.ca_cert_path();
    keep_connection.store(1);
    net_testing::set_broker_step_timeout_ms(3000 * ZEL_TEST_TIME_SCALE);
  }
  void TearDown() override {
    message_sender_stop();  // a queue a test started
    set_own_handler_hook(nullptr);
    take_delivered();
    keep_connection.store(0);
    net_testing::set_broker_step_timeout_ms(0);
    ca_file.clear();
    ::unsetenv("PVO_STORE");
  }
  // A leaf certificate for "localhost" (name and subjectAltName) unless `change` says otherwise.
  zelsim::CertFiles issue(const std::string& name, const std::function<void(zelsim::CertOptions&)>& change = {}) {
    zelsim::CertOptions options;
    options.name = name;
    options.dns_names = {"localhost"};
    if (change) change(options);
    return ca.issue(options);
  }
  // A proxy of `type` on 127.0.0.1:port, with user "zel" and password "s3cret".
  static void use_proxy(ProxyType type, std::uint16_t port) {
    set(kKeyZelcloudUseProxy, std::to_string(type));
    set(kKeyZelcloudProxyHostname, "127.0.0.1");
    set(kKeyZelcloudProxyPort, std::to_string(port));
    set(kKeyZelcloudProxyUsername, "zel");
    set(kKeyZelcloudProxyPassword, "s3cret");
  }
  static std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values) out.push_back(static_cast<char>(value));
    return out;
  }

  // Starts the message queue with its deliveries recorded (take_delivered) in place of handlers.
  static int start_queue() {
    set_own_handler_hook(record_delivery);
    return message_sender_init();
  }
  // What the queue delivered since the last call: each message's handler name and body.
  static std::vector<std::pair<std::string, std::string>> take_delivered() {
    std::lock_guard<std::mutex> lock(delivered_mutex_);
    return std::exchange(delivered_, {});
  }

  zeltest::TempDir dir;
  zeltest::LogCapture log{dir.file("broker.log")};
  zelsim::CertAuthority ca{dir.path()};

 private:
  static bool record_delivery(const char* name, const void* payload, std::size_t length, int* result) {
    std::lock_guard<std::mutex> lock(delivered_mutex_);
    delivered_.emplace_back(name, length == 0 ? "" : std::string(static_cast<const char*>(payload), length));
    *result = 0;
    return true;
  }
  static inline std::mutex delivered_mutex_;
  static inline std::vector<std::pair<std::string, std::string>> delivered_;  // guarded by delivered_mutex_
};

}  // namespace brokertest
