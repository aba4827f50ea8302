// Peers for measuring the set-up of a broker link on loopback: a scripted
// peer (plain or TLS) whose thread takes the connections one after the
// other, an echo script for the far end of a tunnel, and real proxy
// programs started on free loopback ports when they are installed.
//
//   zelbench::SslCtxPtr tls = zelbench::tls_server_context(cert);
//   zelbench::ScriptedPeer broker([](int, SSL*) {}, tls.get());   // handshake only
//   zelbench::ScriptedPeer target([](int fd, SSL*) { zelbench::echo(fd); });
//   zelbench::ProxyProgram proxy({path, "-p", port_text}, log_path, port);
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "broker/ssl_routine.h"
#include "cert_authority.h"
#include "common/unique_fd.h"
#include "support/test_support.h"

namespace zelbench {

using namespace std::chrono_literals;

// Bounds every blocking call a peer makes, so that a broken run ends
// instead of hanging.
inline constexpr std::chrono::milliseconds kPeerTimeout = 10s;

using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// A TLS server context serving `cert` (its chain and key), TLS 1.2 and 1.3;
// throws std::runtime_error when they cannot be loaded.
SslCtxPtr tls_server_context(const zelsim::CertFiles& cert);

// A listener on 127.0.0.1 with an ephemeral port. Its own thread accepts the
// connections one after the other; with `tls` it runs the server handshake
// first (a failed one is counted and the connection dropped), then `script`
// with the socket and the session (null without TLS). The connection is
// closed (after a TLS close notify) when the script returns. Every blocking
// call on the connection is bounded by kPeerTimeout. The destructor stops
// accepting and joins the thread.
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd, SSL* ssl)>;
  explicit ScriptedPeer(Script script, SSL_CTX* tls = nullptr);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  int handshakes_failed() const { return failed_.load(); }

 private:
  void run();
  void serve(UniqueFd client);

  Script script_;
  SSL_CTX* tls_;
  UniqueFd listener_;
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  std::uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<int> failed_{0};
  std::thread thread_;  // started last, joined first
};

// Sends every byte back until the other side closes (bounded by kPeerTimeout).
void echo(int fd);

// A proxy program started with its output in `log_path`; once it accepts
// connections on 127.0.0.1:`port`, ready() holds. The destructor asks it to
// end (SIGTERM) and waits a bounded time before the process is killed.
class ProxyProgram {
 public:
  ProxyProgram(const std::vector<std::string>& argv, const std::string& log_path, std::uint16_t port);
  ~ProxyProgram();
  ProxyProgram(const ProxyProgram&) = delete;
  ProxyProgram& operator=(const ProxyProgram&) = delete;

  bool ready() const { return ready_; }
  std::uint16_t port() const { return ready_ ? port_ : 0; }

 private:
  zeltest::Process process_;
  std::uint16_t port_;
  bool ready_ = false;
};

// The full path of the executable `program` in PATH, /usr/sbin or /usr/bin;
// "" when it is not installed.
std::string find_program(const std::string& program);

// A port on 127.0.0.1 that was free a moment ago (for programs that take a
// port number rather than an open socket).
std::uint16_t free_loopback_port();

// Waits until 127.0.0.1:port accepts a connection.
bool wait_for_listener(std::uint16_t port, std::chrono::milliseconds limit = 10s);

}  // namespace zelbench
