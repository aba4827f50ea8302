#include "support/counting_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "support/test_support.h"

namespace zelbench {
namespace {
constexpr int kBacklog = 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
}  // namespace

std::unique_ptr<CountingSink> CountingSink::tcp() {
  std::uint16_t port = 0;
  UniqueFd listener = zeltest::listen_loopback(&port, kBacklog);
  if (!listener) throw std::runtime_error("cannot listen on loopback");
  return std::unique_ptr<CountingSink>(new CountingSink(std::move(listener), port, std::string()));
}

std::unique_ptr<CountingSink> CountingSink::unix_socket(const std::string& path) {
  UniqueFd listener = zeltest::listen_unix(path, kBacklog);
  if (!listener) throw std::runtime_error("cannot listen on " + path);
  return std::unique_ptr<CountingSink>(new CountingSink(std::move(listener), 0, path));
}

CountingSink::CountingSink(UniqueFd listener, std::uint16_t port, std::string path)
    : listener_(std::move(listener)), port_(port), path_(std::move(path)) {
  int stop[2];
  if (::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  stop_read_.reset(stop[0]);
  stop_write_.reset(stop[1]);
  thread_ = std::thread([this] { run(); });
}

CountingSink::~CountingSink() {
  stop_write_.reset();  // the end of the pipe stops the thread
  thread_.join();
  if (!path_.empty()) ::unlink(path_.c_str());
}

std::string CountingSink::endpoint() const {
  return path_.empty() ? "127.0.0.1:" + std::to_string(port_) : path_;
}

void CountingSink::run() {
  std::vector<char> chunk(kReadChunk);
  for (;;) {
    pollfd ready[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (ready[1].revents != 0) return;
    if (ready[0].revents == 0) continue;
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) continue;
    std::size_t length = 0;
    for (;;) {
      const ssize_t got = ::read(conn.get(), chunk.data(), chunk.size());
      if (got > 0) {
        length += static_cast<std::size_t>(got);
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
    conn.reset();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++received_;
      bytes_ += length;
    }
    changed_.notify_all();
  }
}

std::size_t CountingSink::received() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

std::size_t CountingSink::bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bytes_;
}

bool CountingSink::wait_for(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, limit, [&] { return received_ >= count; });
}

}  // namespace zelbench
