// The simulator's zelCloud transport: an HTTPS server on an ephemeral
// loopback port that hands every request to one function, writes the answer
// it returns (or misbehaves as that answer says) and records the requests.
//
//   zelsim::HttpsServer cloud(cert.chain_path, cert.key_path);
//   cloud.set_handler([](const zelsim::RecordedRequest& request) {
//     zelsim::CloudAnswer answer;
//     answer.body = request.path() == "/advisor/v2" ? R"({"_type":"ActionWait","period":60})" : "";
//     return answer;
//   });
//   ... the agent's URLs point at cloud.url("/register") ...
//   cloud.requests();        // method, target, headers, body of each, in order
//
// Misbehaviour (CloudAnswer::behaviour, the simulator's "fault" command):
// close the connection without answering, close after the status line and
// headers, stall until release_stalled() or stop, or send raw bytes; any
// answer may wait `delay` first ("fault slow").
//
// TLS 1.2 and 1.3 with a session cache and session tickets, so a client that
// resumes sessions does so; full_handshakes() and resumed_handshakes() count
// what happened (the simulator's "status" command).
//
// Threading: one accept thread and one thread per connection; every public
// operation may be called from any thread, and the handler is called from
// the connection threads. Requests on one connection are answered in order
// (HTTP/1.1 keep-alive). The destructor stops the server and joins its
// threads.
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

  // Path without the query string.
  std::string path() const;
  // Query string without '?' ("" when none).
  std::string query() const;
  // Value of the first header whose name matches case-insensitively, or nullopt.
  std::optional<std::string> header(const std::string& name) const;
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

class HttpsServer {
 public:
  using Handler = std::function<CloudAnswer(const RecordedRequest&)>;

  // Serves the given PEM certificate chain and key; throws std::runtime_error
  // when they cannot be loaded or the socket cannot be made.
  HttpsServer(const std::string& cert_file, const std::string& key_file);
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  uint16_t port() const { return port_; }
  // "https://localhost:<port><path>".
  std::string url(const std::string& path = "") const;

  // Answers every later request; until one is set, requests get 404.
  void set_handler(Handler handler);
  // Ends every stalled request (the connection is closed).
  void release_stalled();
  // Requests held by a stall now.
  std::size_t stalled_requests() const;

  // Every request so far, oldest first; clear_requests() forgets them.
  std::vector<RecordedRequest> requests() const;
  std::size_t request_count() const;
  void clear_requests();
  // TLS handshakes completed: full ones and those that resumed a session.
  std::size_t full_handshakes() const;
  std::size_t resumed_handshakes() const;

  // Stops accepting, closes every connection and joins the threads.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
};

}  // namespace zelsim
