#include "delivery/handler_sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zeltest {
namespace {
constexpr int kBacklog = 1024;  // above any burst of connections a test or benchmark makes
constexpr std::size_t kReadChunk = 64 * 1024;
}  // namespace

int listen_tcp_loopback(std::uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, kBacklog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int listen_unix(const std::string& path, int backlog) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return -1;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, backlog < 0 ? kBacklog : backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::unique_ptr<HandlerSink> HandlerSink::tcp() {
  std::uint16_t port = 0;
  const int fd = listen_tcp_loopback(&port);
  if (fd < 0) throw std::runtime_error("cannot listen on loopback");
  return std::make_unique<HandlerSink>(fd, port, std::string());
}

std::unique_ptr<HandlerSink> HandlerSink::unix_socket(const std::string& path) {
  const int fd = listen_unix(path);
  if (fd < 0) throw std::runtime_error("cannot listen on " + path);
  return std::make_unique<HandlerSink>(fd, 0, path);
}

HandlerSink::HandlerSink(int listen_fd, std::uint16_t port, std::string path)
    : listen_fd_(listen_fd), port_(port), path_(std::move(path)) {
  if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { run(); });
}

HandlerSink::~HandlerSink() {
  const char stop = 's';
  (void)!::write(wake_pipe_[1], &stop, 1);
  thread_.join();
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
  ::close(listen_fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

std::string HandlerSink::endpoint() const {
  return path_.empty() ? "127.0.0.1:" + std::to_string(port_) : path_;
}

void HandlerSink::run() {
  std::vector<char> chunk(kReadChunk);
  for (;;) {
    pollfd ready[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready[1].revents != 0) return;
    const int conn = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    std::string payload;
    for (;;) {
      const ssize_t got = ::read(conn, chunk.data(), chunk.size());
      if (got > 0) {
        payload.append(chunk.data(), static_cast<std::size_t>(got));
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
    ::close(conn);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      payloads_.push_back(std::move(payload));
    }
    changed_.notify_all();
  }
}

bool HandlerSink::wait_for(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, timeout, [&] { return payloads_.size() >= count; });
}

std::vector<std::string> HandlerSink::payloads() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return payloads_;
}

std::size_t HandlerSink::received() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return payloads_.size();
}

SilentListener::SilentListener() {
  fd_ = listen_tcp_loopback(&port_);
  if (fd_ < 0) throw std::runtime_error("cannot listen on loopback");
}

SilentListener::SilentListener(const std::string& path, int backlog) : path_(path) {
  fd_ = listen_unix(path, backlog);
  if (fd_ < 0) throw std::runtime_error("cannot listen on " + path);
}

SilentListener::~SilentListener() {
  ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

std::string SilentListener::endpoint() const {
  return path_.empty() ? "127.0.0.1:" + std::to_string(port_) : path_;
}

bool SilentListener::contacted() const {
  pollfd ready{fd_, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

}  // namespace zeltest
