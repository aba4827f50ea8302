// The simulator's zelCloud, also used alone by tests and benchmarks: an
// in-process HTTPS (or plain HTTP) server on an ephemeral loopback port that
// answers every request as its user programs it and records every request.
//
// Usage:
//
//   zelsim::CloudServer cloud(certs_dir + "/server.pem", certs_dir + "/server.key");
//   cloud.answer("POST", "/register", {.status = 201, .body = R"({"deviceId":"A1","claimCode":"c"})"});
//   ... run the client against cloud.url("/register") ...
//   ASSERT_TRUE(cloud.wait_for_requests(1));
//   auto seen = cloud.requests();          // method, target, headers, body
//   EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
//
// Programming: an answer is chosen for each request by, in this order, the
// handler function (when set), the answer queued first for its method and
// path (each used once), the standing answer for its method and path, the
// default answer. Paths are compared without the query string. Unprogrammed
// requests get 404 with an empty body.
//
// Misbehaviour on command (CloudAnswer::behaviour): close the connection
// without answering, close after the status line and headers, stall until the
// server is stopped or released (a client time-out test), send raw bytes, or
// drip the answer a byte at a time.
//
// TLS: the server keeps a session cache and session tickets, so a client that
// resumes sessions does so; full_handshakes() and resumed_handshakes() count
// what happened on every TLS connection. The server accepts TLS 1.2 and 1.3.
//
// Threading: one accept thread and one thread per connection; every public
// operation may be called from any thread. Requests on one connection are
// answered in order (HTTP/1.1 keep-alive is honoured). The destructor stops
// the server and joins its threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelsim {

// One request as it arrived.
struct RecordedRequest {
  std::string method;                                        // "GET", "POST", ...
  std::string target;                                        // path with query, as sent
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;
  bool tls = false;
  bool tls_resumed = false;                                  // the connection resumed a session

  // Path without the query string.
  std::string path() const;
  // Query string without '?' ("" when none).
  std::string query() const;
  // Value of the first header whose name matches case-insensitively, or nullopt.
  std::optional<std::string> header(const std::string& name) const;
  // Names of all headers in order (to assert order and absence).
  std::vector<std::string> header_names() const;
};

// How the server deals with one request.
enum class CloudBehaviour {
  kAnswer,            // normal answer
  kCloseWithoutAnswer,// read the request, then close the connection
  kCloseAfterHeaders, // send status line and headers (announcing the body), then close
  kStall,             // read the request, then hold it until release_stalled() or stop
  kRaw,               // send `raw` bytes as they are, then close
  kDrip,              // send the answer one byte at a time, `delay` before each (cut short by stop)
};

struct CloudAnswer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // added after the standard ones
  std::string body;
  std::chrono::milliseconds delay{0};  // before answering, or before each byte of kDrip (cut short by stop)
  CloudBehaviour behaviour = CloudBehaviour::kAnswer;
  std::string raw;                     // for kRaw
};

class CloudServer {
 public:
  struct Options {
    bool tls = true;             // false: plain HTTP (for proxy tests and the like)
    std::string cert_file;       // PEM certificate chain (TLS only)
    std::string key_file;        // PEM private key (TLS only)
  };

  // Starts a TLS server with the given certificate and key; throws
  // std::runtime_error when they cannot be loaded or the socket cannot be made.
  CloudServer(const std::string& cert_file, const std::string& key_file);
  explicit CloudServer(const Options& options);
  ~CloudServer();
  CloudServer(const CloudServer&) = delete;
  CloudServer& operator=(const CloudServer&) = delete;

  uint16_t port() const { return port_; }
  // "https://localhost:<port><path>" (or http:// without TLS).
  std::string url(const std::string& path = "") const;
  // Same with another host name (e.g. "127.0.0.1" for a name-mismatch test).
  std::string url_with_host(const std::string& host, const std::string& path = "") const;

  // Programming (any thread, any time).
  void answer(const std::string& method, const std::string& path, CloudAnswer answer);
  void queue_answer(const std::string& method, const std::string& path, CloudAnswer answer);
  void set_default_answer(CloudAnswer answer);
  void set_handler(std::function<CloudAnswer(const RecordedRequest&)> handler);
  // Ends every stalled request (the connection is closed).
  void release_stalled();

  // Observation.
  std::vector<RecordedRequest> requests() const;
  std::size_t request_count() const;
  void clear_requests();
  // Waits until at least `count` requests were recorded; false at the deadline.
  bool wait_for_requests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // TCP connections accepted so far.
  std::size_t connections() const;
  // TLS handshakes completed: full ones and those that resumed a session.
  std::size_t full_handshakes() const;
  std::size_t resumed_handshakes() const;
  // Requests currently held by kStall.
  std::size_t stalled_requests() const;

  // Stops accepting, closes every connection and joins the threads.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  bool tls_ = true;
};

}  // namespace zelsim
