#include "broker_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "broker/zelbroker_connection.h"
#include "config/config.h"

namespace brokertest {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for input on `fd` until `deadline`; true when there is some (or EOF).
bool readable_before(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, remaining_ms(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

UniqueFd connect_loopback(std::uint16_t port) {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(port);
  if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return sock;
}

std::uint16_t free_loopback_port() {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind");
  }
  socklen_t size = sizeof address;
  ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

std::string recv_exactly(int fd, std::size_t count) {
  const auto deadline = Clock::now() + kPeerTimeout;
  std::string got;
  char buffer[4096];
  while (got.size() < count && readable_before(fd, deadline)) {
    std::size_t want = std::min(sizeof buffer, count - got.size());
    ssize_t n = ::recv(fd, buffer, want, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

std::string recv_until(int fd, const std::string& terminator) {
  const auto deadline = Clock::now() + kPeerTimeout;
  std::string got;
  char byte = 0;
  // One byte at a time: nothing behind the terminator is taken from the stream.
  while (got.find(terminator) == std::string::npos && readable_before(fd, deadline)) {
    if (::recv(fd, &byte, 1, 0) != 1) break;
    got += byte;
  }
  return got;
}

std::string recv_until_closed(int fd) {
  const auto deadline = Clock::now() + kPeerTimeout;
  std::string got;
  char buffer[4096];
  while (readable_before(fd, deadline)) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

bool send_bytes(int fd, const std::string& bytes) {
  return send_all(fd, bytes.data(), bytes.size()) == static_cast<int>(bytes.size());
}

void echo(int fd) {
  const auto deadline = Clock::now() + kPeerTimeout;
  char buffer[4096];
  while (readable_before(fd, deadline)) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    if (send_all(fd, buffer, static_cast<std::size_t>(n)) != n) break;
  }
}

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 16) != 0) {
    throw std::runtime_error("listen");
  }
  socklen_t size = sizeof address;
  ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  stop_read_.reset(pipe_fds[0]);
  stop_write_.reset(pipe_fds[1]);
  thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer() {
  char byte = 's';
  (void)!::write(stop_write_.get(), &byte, 1);
  thread_.join();
}

namespace {
// The server whose handler runs on this thread.
thread_local const LoopbackServer* current_server = nullptr;
}  // namespace

void LoopbackServer::hold_until_stopped() {
  if (current_server == nullptr) return;
  pollfd entry{current_server->stop_read_.get(), POLLIN, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

void LoopbackServer::run() {
  current_server = this;
  for (;;) {
    pollfd entries[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (entries[1].revents != 0) return;
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    accepted_.fetch_add(1);
    handler_(std::move(client));
  }
}

ScriptedPeer::ScriptedPeer(Script script) : script_(std::move(script)) {
  server_ = std::make_unique<LoopbackServer>([this](UniqueFd client) {
    std::string got;
    script_(client.get(), &got);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(std::move(got));
    }
    client.reset();
    finished_.fetch_add(1);
  });
}

ScriptedPeer::~ScriptedPeer() { server_.reset(); }

bool ScriptedPeer::wait_finished(int count) const {
  return zeltest::wait_until([&] { return finished_.load() >= count; });
}

std::string ScriptedPeer::received(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || static_cast<std::size_t>(index) >= received_.size()) return "";
  return received_[static_cast<std::size_t>(index)];
}

TlsServer::TlsServer(const TlsServerOptions& options, Handler handler)
    : ctx_(SSL_CTX_new(TLS_server_method()), SSL_CTX_free), handler_(std::move(handler)) {
  if (!ctx_ || SSL_CTX_set_min_proto_version(ctx_.get(), options.min_version) != 1 ||
      SSL_CTX_set_max_proto_version(ctx_.get(), options.max_version) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx_.get(), options.chain_path.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_.get(), options.key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("TLS server context");
  }
  server_ = std::make_unique<LoopbackServer>([this](UniqueFd client) {
    timeval limit{static_cast<time_t>(kPeerTimeout.count() / 1000), 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::unique_ptr<SSL, void (*)(SSL*)> ssl(SSL_new(ctx_.get()), SSL_free);
    SSL_set_fd(ssl.get(), client.get());
    ScopedSigpipeBlock no_sigpipe;
    if (SSL_accept(ssl.get()) != 1) {
      ERR_clear_error();
      failed_.fetch_add(1);
      return;
    }
    done_.fetch_add(1);
    handler_(ssl.get());
    SSL_shutdown(ssl.get());
    ERR_clear_error();
  });
}

TlsServer::~TlsServer() { server_.reset(); }

ConfigStore::ConfigStore(const std::string& dir) {
  if (const char* previous = ::getenv("PVO_STORE")) {
    had_previous_ = true;
    previous_ = previous;
  }
  ::setenv("PVO_STORE", (dir + "/pvo").c_str(), 1);
}

ConfigStore::~ConfigStore() {
  if (had_previous_) {
    ::setenv("PVO_STORE", previous_.c_str(), 1);
  } else {
    ::unsetenv("PVO_STORE");
  }
}

void ConfigStore::set(const char* key, const std::string& value) { config_set(key, value.c_str()); }

BrokerRunning::BrokerRunning() { keep_connection.store(1); }
BrokerRunning::~BrokerRunning() { keep_connection.store(0); }

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& log_path) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    int out = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("fork");
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  bool reaped = zeltest::wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                                    std::chrono::milliseconds(5000));
  if (!reaped) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
}

std::string find_program(const std::string& program) {
  std::string dirs = ::getenv("PATH") ? ::getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/bin:/sbin:/bin";
  std::stringstream list(dirs);
  std::string dir;
  while (std::getline(list, dir, ':')) {
    if (dir.empty()) continue;
    std::string path = dir + "/" + program;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

bool wait_for_listener(std::uint16_t port) {
  return zeltest::wait_until([&] { return static_cast<bool>(connect_loopback(port)); },
                             std::chrono::milliseconds(10000));
}

}  // namespace brokertest
