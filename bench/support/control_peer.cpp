#include "support/control_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "zelcloud_sim.h"

namespace zelbench {
namespace {

constexpr int kBacklog = 5;
constexpr std::size_t kChunkSize = 256;
// How long a request may take to reach the end of its stream.
constexpr std::chrono::milliseconds kReadLimit = std::chrono::seconds(10);

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ControlPeer::ControlPeer(std::string reply, std::uint16_t port) : reply_(std::move(reply)), port_(port) {
  listener_ = zelsim::listen_loopback(port_, kBacklog);
  if (!listener_) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " + std::strerror(errno));
  }
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe2()");
  stop_read_.reset(stop[0]);
  stop_write_.reset(stop[1]);
  thread_ = std::thread([this] { serve(); });
}

ControlPeer::~ControlPeer() {
  stop_write_.reset();  // the end of the pipe stops the thread
  thread_.join();
}

std::size_t ControlPeer::served() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return served_;
}

bool ControlPeer::wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return served_ >= count; });
}

void ControlPeer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (conn) serve_connection(std::move(conn));
  }
}

void ControlPeer::serve_connection(UniqueFd conn) {
  const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
  bool half_closed = false;
  char chunk[kChunkSize];
  for (;;) {
    pollfd pfd{conn.get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // the client never ended its request
    const ssize_t n = ::read(conn.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      half_closed = n == 0;
      break;
    }
  }
  if (half_closed && !reply_.empty()) {
    [[maybe_unused]] const ssize_t sent = ::send(conn.get(), reply_.data(), reply_.size(), MSG_NOSIGNAL);
  }
  conn.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++served_;
  }
  changed_.notify_all();
}

}  // namespace zelbench
