// Local handlers for the delivery tests and benchmarks.
//
// HandlerSink listens on a loopback TCP port or a UNIX socket path, accepts
// one connection at a time, reads it to its end and records the bytes.
// Connections are taken in the order the kernel queued them, so messages
// delivered one after another are recorded in that order.
//
// SilentListener listens and never accepts: a connection waits in its
// backlog, unread, which lets a test see whether anyone connected and gives
// a handler that has stopped reading.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {

class HandlerSink {
 public:
  // Listens on 127.0.0.1 on an ephemeral port.
  static std::unique_ptr<HandlerSink> tcp();
  // Listens on the UNIX socket `path` (removed on destruction).
  static std::unique_ptr<HandlerSink> unix_socket(const std::string& path);

  HandlerSink(int listen_fd, std::uint16_t port, std::string path);
  ~HandlerSink();
  HandlerSink(const HandlerSink&) = delete;
  HandlerSink& operator=(const HandlerSink&) = delete;

  // The endpoint text of a handler line: "127.0.0.1:<port>" or the path.
  std::string endpoint() const;
  std::uint16_t port() const { return port_; }

  // Waits until at least `count` connections have been read to their end.
  bool wait_for(std::size_t count,
                std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  std::vector<std::string> payloads() const;
  std::size_t received() const;

 private:
  void run();

  int listen_fd_;
  int wake_pipe_[2] = {-1, -1};
  std::uint16_t port_;
  std::string path_;
  mutable std::mutex mutex_;  // guards payloads_
  mutable std::condition_variable changed_;
  std::vector<std::string> payloads_;
  std::thread thread_;
};

class SilentListener {
 public:
  SilentListener();                                // TCP on 127.0.0.1, ephemeral port
  // UNIX socket; a backlog of 0 holds one connection and refuses the next.
  explicit SilentListener(const std::string& path, int backlog = -1);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  std::string endpoint() const;
  // True when a connection waits in the backlog (checked without blocking).
  bool contacted() const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::string path_;
};

// Binds a listening socket; returns the descriptor (-1 on failure) and the
// port through `port` for TCP.
int listen_tcp_loopback(std::uint16_t* port);
// A negative backlog means a large one.
int listen_unix(const std::string& path, int backlog = -1);

}  // namespace zeltest
