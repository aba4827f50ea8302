// A zelCloud for tests and benchmarks: the simulator's HTTPS server answering
// from tables the test programs.
//
//   zelsim::CloudServer cloud(cert.chain_path, cert.key_path);
//   cloud.answer("POST", "/register", {201, {}, R"({"deviceId":"A1","claimCode":"c"})", {}, {}, ""});
//   ... run the client against cloud.url("/register") ...
//   EXPECT_EQ(cloud.requests()[0].header("Content-Type"), "application/json");
//
// An answer is chosen for each request by, in this order, the answer queued
// first for its method and path (each used once), the standing answer for its
// method and path, the default answer. Paths are compared without the query
// string. Unprogrammed requests get 404 with an empty body. set_handler()
// replaces the tables altogether.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "https_server.h"

namespace zelsim {

class CloudServer : public HttpsServer {
 public:
  CloudServer(const std::string& cert_file, const std::string& key_file);
  ~CloudServer();

  // Programming (any thread, any time).
  void answer(const std::string& method, const std::string& path, CloudAnswer answer);
  void queue_answer(const std::string& method, const std::string& path, CloudAnswer answer);
  void set_default_answer(CloudAnswer answer);

 private:
  CloudAnswer choose(const RecordedRequest& request);

  std::mutex mutex_;  // guards the tables
  std::map<std::string, CloudAnswer> standing_;
  std::map<std::string, std::deque<CloudAnswer>> queued_;
  std::optional<CloudAnswer> default_answer_;
};

}  // namespace zelsim
