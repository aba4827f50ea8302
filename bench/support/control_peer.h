// A scripted control listener on 127.0.0.1:14369 for the control tool's
// benchmark: like the agent's listener it serves one connection at a time,
// reads the request to the end of the stream (bounded), writes one fixed
// reply in one piece and closes. Nothing of the agent runs behind it, so a
// run of the tool against it measures the tool's own cost.
//
//   zelbench::ControlPeer peer;                 // binds and serves
//   ... run zelagent_control -c pause_connections ...
//   peer.wait_for_requests(1);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "common/unique_fd.h"

namespace zelbench {

class ControlPeer {
 public:
  // Binds 127.0.0.1:`port` (SO_REUSEADDR) and starts serving; throws
  // std::runtime_error when the port cannot be bound.
  explicit ControlPeer(std::string reply = "{\"result\":0}", std::uint16_t port = 14369);
  ~ControlPeer();
  ControlPeer(const ControlPeer&) = delete;
  ControlPeer& operator=(const ControlPeer&) = delete;

  std::uint16_t port() const { return port_; }
  // Connections served so far (answered or not).
  std::size_t served() const;
  bool wait_for_requests(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

 private:
  void serve();
  void serve_connection(UniqueFd conn);

  const std::string reply_;
  std::uint16_t port_;
  UniqueFd listener_;
  UniqueFd stop_read_;
  UniqueFd stop_write_;
  mutable std::mutex mutex_;  // guards served_
  mutable std::condition_variable changed_;
  std::size_t served_ = 0;
  std::thread thread_;  // started last, joined first
};

}  // namespace zelbench
