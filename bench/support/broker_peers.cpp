#include "support/broker_peers.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "broker/net_helper.h"

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for input on `fd` until `deadline`; true when there is some (or EOF).
bool readable_before(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

SslCtxPtr tls_server_context(const zelsim::CertFiles& cert) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx.get(), cert.chain_path.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), cert.key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_clear_error();
    throw std::runtime_error("TLS server context");
  }
  return ctx;
}

ScriptedPeer::ScriptedPeer(Script script, SSL_CTX* tls) : script_(std::move(script)), tls_(tls) {
  listener_ = zeltest::listen_loopback(&port_, 16);
  if (!listener_) throw std::runtime_error("cannot listen on loopback");
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  stop_read_.reset(stop[0]);
  stop_write_.reset(stop[1]);
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_write_.reset();  // the end of the pipe stops the thread
  thread_.join();
}

void ScriptedPeer::run() {
  for (;;) {
    pollfd entries[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (entries[1].revents != 0) return;
    if (entries[0].revents == 0) continue;
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    accepted_.fetch_add(1);
    serve(std::move(client));
  }
}

void ScriptedPeer::serve(UniqueFd client) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kPeerTimeout);
  const timeval limit{static_cast<time_t>(seconds.count()), 0};
  ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (tls_ == nullptr) {
    script_(client.get(), nullptr);
    return;
  }
  std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(tls_));
  if (!ssl || SSL_set_fd(ssl.get(), client.get()) != 1) {
    ERR_clear_error();
    failed_.fetch_add(1);
    return;
  }
  ScopedSigpipeBlock no_sigpipe;
  if (SSL_accept(ssl.get()) != 1) {
    ERR_clear_error();
    failed_.fetch_add(1);
    return;
  }
  script_(client.get(), ssl.get());
  SSL_shutdown(ssl.get());
  ERR_clear_error();
}

void echo(int fd) {
  const auto deadline = Clock::now() + kPeerTimeout;
  char buffer[4096];
  while (readable_before(fd, deadline)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (send_all(fd, buffer, static_cast<std::size_t>(n)) != n) break;
  }
}

ProxyProgram::ProxyProgram(const std::vector<std::string>& argv, const std::string& log_path, std::uint16_t port)
    : process_(argv, log_path, log_path), port_(port) {
  ready_ = process_.pid() > 0 && wait_for_listener(port_);
}

ProxyProgram::~ProxyProgram() {
  process_.signal(SIGTERM);
  process_.wait_exit(5s);  // the Process kills what is still running
}

std::string find_program(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path != nullptr ? path : "") + ":/usr/sbin:/usr/bin:/sbin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::uint16_t free_loopback_port() {
  std::uint16_t port = 0;
  if (!zeltest::listen_loopback(&port, 1)) throw std::runtime_error("cannot listen on loopback");
  return port;  // the socket is closed again here
}

bool wait_for_listener(std::uint16_t port, std::chrono::milliseconds limit) {
  return zeltest::wait_until([&] { return zeltest::connect_loopback(port).valid(); }, limit);
}

}  // namespace zelbench
