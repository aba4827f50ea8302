// Helpers for the broker link's tests: scripted peers on loopback (plain and
// TLS), the log captured into a temporary file, a private configuration
// store, and real proxy programs started on free loopback ports.
#pragma once

#include <openssl/ssl.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/net_helper.h"
#include "fakes/test_certs.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace brokertest {

using namespace std::chrono_literals;

// Bounds every blocking call a fake peer makes, so a broken test fails
// instead of hanging.
inline constexpr std::chrono::milliseconds kPeerTimeout = 10s;

// A TCP connection to 127.0.0.1:port (blocking); -1 inside on failure.
UniqueFd connect_loopback(std::uint16_t port);

// A port on 127.0.0.1 that was free a moment ago (for programs that take a
// port number rather than an open socket).
std::uint16_t free_loopback_port();

// Receive helpers for fake peers, all bounded by kPeerTimeout. They return
// what arrived (possibly less than asked when the peer closed or time ran out).
std::string recv_exactly(int fd, std::size_t count);
std::string recv_until(int fd, const std::string& terminator);
std::string recv_until_closed(int fd);
bool send_bytes(int fd, const std::string& bytes);

// A listener on 127.0.0.1 with an ephemeral port whose own thread accepts
// connections one after the other and hands each to `handler` (on that
// thread). Destruction stops accepting, wakes wait_for_stop and joins.
class LoopbackServer {
 public:
  using Handler = std::function<void(UniqueFd client)>;
  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  // For handlers that must hold a connection open in silence: returns when
  // the server running the calling handler is being destroyed.
  static void hold_until_stopped();

 private:
  void run();
  Handler handler_;
  UniqueFd listener_;
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  std::uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// What a TLS test server offers.
struct TlsServerOptions {
  std::string chain_path;
  std::string key_path;
  int min_version = TLS1_2_VERSION;
  int max_version = TLS1_3_VERSION;
};

// A LoopbackServer that runs a TLS handshake on each connection and then
// `handler` with the session (on the server thread). A failed handshake is
// counted and the connection dropped.
class TlsServer {
 public:
  using Handler = std::function<void(SSL* ssl)>;
  TlsServer(const TlsServerOptions& options, Handler handler);
  ~TlsServer();
  std::uint16_t port() const { return server_->port(); }
  int handshakes_failed() const { return failed_.load(); }
  int handshakes_done() const { return done_.load(); }

 private:
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx_;
  Handler handler_;
  std::atomic<int> failed_{0};
  std::atomic<int> done_{0};
  std::unique_ptr<LoopbackServer> server_;
};

// A scripted peer: each accepted connection runs `script` on the server
// thread, which appends what it reads to `received`; the connection is closed
// when the script returns. What every connection received is kept in order.
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd, std::string* received)>;
  explicit ScriptedPeer(Script script);
  ~ScriptedPeer();
  std::uint16_t port() const { return server_->port(); }
  // Waits until `count` connections have run their script to the end.
  bool wait_finished(int count) const;
  // What connection `index` received (copy); "" when there is no such one.
  std::string received(int index = 0) const;
  int finished() const { return finished_.load(); }
  int accepted() const { return server_->accepted(); }

 private:
  Script script_;
  mutable std::mutex mutex_;
  std::vector<std::string> received_;  // guarded by mutex_
  std::atomic<int> finished_{0};
  std::unique_ptr<LoopbackServer> server_;
};

// Echoes every byte back until the peer closes (bounded by kPeerTimeout).
void echo(int fd);

using zeltest::LogCapture;

// Points the configuration store at a folder of its own (PVO_STORE) for the
// life of the object; the previous setting comes back afterwards. set()
// writes to whichever store is current.
class ConfigStore {
 public:
  explicit ConfigStore(const std::string& dir);
  ~ConfigStore();
  void set(const char* key, const std::string& value);

 private:
  bool had_previous_ = false;
  std::string previous_;
};

// keep_connection at 1 (as inside a running broker thread) for the life of
// the object, 0 again afterwards.
class BrokerRunning {
 public:
  BrokerRunning();
  ~BrokerRunning();
};

// A program started with fork/exec and killed (SIGTERM, then SIGKILL) and
// reaped when destroyed. Its standard output and error go to `log_path`.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& log_path);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t pid() const { return pid_; }
  bool running();

 private:
  pid_t pid_ = -1;
};

// The full path of an executable `program` found in PATH, /usr/sbin or
// /usr/bin; "" when it is not installed.
std::string find_program(const std::string& program);

// Waits until 127.0.0.1:port accepts a connection.
bool wait_for_listener(std::uint16_t port);

}  // namespace brokertest
