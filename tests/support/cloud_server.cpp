#include "support/cloud_server.h"

namespace zelsim {
namespace {

std::string route_key(const std::string& method, const std::string& path) { return method + " " + path; }

}  // namespace

CloudServer::CloudServer(const std::string& cert_file, const std::string& key_file)
    : HttpsServer(cert_file, key_file) {
  set_handler([this](const RecordedRequest& request) { return choose(request); });
}

// The connection threads call choose() until the server stops: stop before the tables go.
CloudServer::~CloudServer() { stop(); }

void CloudServer::answer(const std::string& method, const std::string& path, CloudAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  standing_[route_key(method, path)] = std::move(answer);
}

void CloudServer::queue_answer(const std::string& method, const std::string& path, CloudAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_[route_key(method, path)].push_back(std::move(answer));
}

void CloudServer::set_default_answer(CloudAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_answer_ = std::move(answer);
}

CloudAnswer CloudServer::choose(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string key = route_key(request.method, request.path());
  auto queue = queued_.find(key);
  if (queue != queued_.end() && !queue->second.empty()) {
    CloudAnswer answer = std::move(queue->second.front());
    queue->second.pop_front();
    return answer;
  }
  auto found = standing_.find(key);
  if (found != standing_.end()) return found->second;
  if (default_answer_) return *default_answer_;
  return {404, {}, "", {}, {}, ""};
}

}  // namespace zelsim
