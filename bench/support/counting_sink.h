// A local handler for rate measurements: listens on a loopback TCP port or
// a UNIX socket path, accepts one connection at a time, reads it to its end
// and counts it. The backlog (1024) is above any burst of connections a
// benchmark makes, so that a TCP connection is never dropped and retried
// while the handler catches up (the tests' HandlerSink keeps a shorter one
// and records every payload).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/unique_fd.h"

namespace zelbench {

using namespace std::chrono_literals;

// The longest a benchmark waits for something it caused.
inline constexpr std::chrono::milliseconds kBenchWaitLimit = 30s;

class CountingSink {
 public:
  // Listens on 127.0.0.1 on an ephemeral port.
  static std::unique_ptr<CountingSink> tcp();
  // Listens on the UNIX socket `path` (removed afterwards).
  static std::unique_ptr<CountingSink> unix_socket(const std::string& path);

  ~CountingSink();
  CountingSink(const CountingSink&) = delete;
  CountingSink& operator=(const CountingSink&) = delete;

  // The endpoint text of a handler line: "127.0.0.1:<port>" or the path.
  std::string endpoint() const;
  std::uint16_t port() const { return port_; }  // 0 for a UNIX socket
  const std::string& path() const { return path_; }

  // Connections read to their end so far, and the bytes they carried.
  std::size_t received() const;
  std::size_t bytes() const;
  // Waits until at least `count` connections have been read to their end.
  bool wait_for(std::size_t count, std::chrono::milliseconds limit = kBenchWaitLimit) const;

 private:
  CountingSink(UniqueFd listener, std::uint16_t port, std::string path);
  void run();

  UniqueFd listener_;
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  std::uint16_t port_ = 0;
  std::string path_;
  mutable std::mutex mutex_;  // guards received_ and bytes_
  mutable std::condition_variable changed_;
  std::size_t received_ = 0;
  std::size_t bytes_ = 0;
  std::thread thread_;  // started last, joined first
};

}  // namespace zelbench
