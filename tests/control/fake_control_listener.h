// A scripted control listener on a loopback port (127.0.0.1:14369 by
// default) for the control tool's tests, its benchmark and the demo. Like the
// agent's listener it serves one connection at a time: it reads the request
// to the end of the stream, then writes the scripted reply in one piece and
// closes. It records every request byte for byte and whether the client
// half-closed, so tests can check exactly what went over the wire.
//
//   zeltest::FakeControlListener listener;            // binds and starts serving
//   listener.set_reply("{\"result\":-10}");
//   ... run zelagent_control ...
//   ASSERT_TRUE(listener.wait_for_requests(1));
//   EXPECT_EQ(listener.requests()[0].text, "{\"command\":\"pause_connections\"}");
//
// All member functions may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zeltest {

class FakeControlListener {
 public:
  enum class Behaviour {
    kReply,             // read to the end of the stream, write the reply, close
    kCloseWithoutReply, // read to the end of the stream, close without writing
    kReset,             // accept and reset the connection at once (no reading)
  };

  struct Request {
    std::string text;
    bool half_closed = false;  // the end of the stream arrived before the deadline
  };

  // Binds 127.0.0.1:`port` (SO_REUSEADDR) and starts the serving thread.
  // Throws std::runtime_error when the port cannot be bound.
  explicit FakeControlListener(std::uint16_t port = 14369);
  ~FakeControlListener();
  FakeControlListener(const FakeControlListener&) = delete;
  FakeControlListener& operator=(const FakeControlListener&) = delete;

  void set_reply(const std::string& reply);
  void set_behaviour(Behaviour behaviour);
  // Computes each reply from the request text (overrides set_reply).
  void set_responder(std::function<std::string(const std::string&)> responder);
  // How long a request may take to reach its end before the listener gives
  // up on it (records half_closed = false and closes). Default 10 s.
  void set_read_deadline(std::chrono::milliseconds deadline);

  // Waits until at least `count` requests were served (or the timeout passed).
  bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::vector<Request> requests() const;
  std::uint16_t port() const { return port_; }

 private:
  void serve();
  void serve_connection(int fd);

  std::uint16_t port_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable served_;
  std::string reply_ = "{\"result\":0}";
  Behaviour behaviour_ = Behaviour::kReply;
  std::function<std::string(const std::string&)> responder_;
  std::chrono::milliseconds read_deadline_{std::chrono::seconds(10)};
  std::vector<Request> requests_;

  std::thread thread_;  // started last, joined first
};

// Runs a program to its end and collects its standard output and error.
struct ProgramResult {
  int exit_status = -1;  // the low 8 bits a shell sees; -1 if it did not exit normally
  std::string out;
  std::string err;
};
ProgramResult run_program(const std::vector<std::string>& argv);

}  // namespace zeltest
