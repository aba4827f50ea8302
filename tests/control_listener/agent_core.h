// A running agent core for the control server's tests: a private store and
// log in a temporary folder, a private CA, the fake zelCloud (registration,
// claim status, discovery and advisor answers) and the fake zelbroker named
// by the advisor, the shared HTTP state, the message sender, the agent state
// and a loaded agent context. The control listener is started on request
// (it binds the fixed control port: such tests use RESOURCE_LOCK
// control_port).
//
// TearDown leaves the process as it found it: the discovery window closed
// and its thread joined, the broker link stopped, the listener ended through
// its exit pipe, cloud requests resumed, the message sender stopped.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "broker/net_helper.h"
#include "cloud/logic.h"
#include "delivery/handler_sink.h"
#include "fakes/fake_zelbroker.h"
#include "fakes/fake_zelcloud.h"
#include "fakes/test_certs.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace srvtest {

constexpr const char* kAgentId = "AGENT-1";
constexpr const char* kClaimCode = "CLAIM-1";
constexpr const char* kAdvisorPath = "/advisor/v2";
constexpr const char* kClaimedPath = "/claimed/v2";
constexpr const char* kDiscoveryPath = "/discovery/v3/";
constexpr const char* kService = "svc";
// Delays the tests must never wait out (a retry is a failure to look at).
constexpr const char* kLongDelay = "600";

// The claim-status reply of the fake zelCloud.
std::string claim_reply_body(bool claimed);

// What a raw control client saw.
struct RawReply {
  bool connected = false;
  std::string reply;  // everything the listener wrote before closing
};

// Connects to the control port, sends `text` (in one piece), half-closes
// and reads to the end of the stream (bounded by 10 s).
RawReply raw_control_request(const std::string& text);

// A connection to the control port that sends nothing and stays open until
// destroyed (or until read_reply).
class SilentClient {
 public:
  SilentClient();
  bool connected() const { return static_cast<bool>(fd_); }
  // Reads what the listener writes, up to the end of its stream (10 s bound).
  std::string read_reply();

 private:
  UniqueFd fd_;
};

class AgentCore : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the control listener and waits until it listens.
  void start_listener();
  // Ends the listener thread with `byte` on the exit pipe and joins it.
  void stop_listener(char byte = 'x');

  // Runs zelagent_control with `args` after "-c" options (its log in the
  // temporary folder); its exit status and standard output.
  struct ToolRun {
    int status = -1;
    std::string out;
  };
  ToolRun control(const std::vector<std::string>& args);

  // Programs the standing answers of the fake zelCloud.
  void answer_claimed(bool claimed);
  void answer_discovery(int status);

  // Reloads the context after changes of the store.
  void reload_context();

  std::string log_text() const;
  bool logged(const std::string& text) const;
  int times_logged(const std::string& text) const;
  bool wait_logged(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  std::size_t requests_to(const std::string& path) const;
  // The broker link is meant to run (keep_connection) and its link is up.
  bool link_up() const;
  // The service notifications received by "event_sink_svc".
  std::vector<std::string> notifications() const { return service_sink->payloads(); }

  zeltest::TempDir dir;
  zeltest::LogCapture log_capture{dir.file("agent.log")};
  std::unique_ptr<zeltest::TestCa> ca;
  zeltest::CertFiles cert;
  std::unique_ptr<zeltest::FakeZelCloud> cloud;
  std::unique_ptr<zeltest::FakeZelbroker> broker;
  std::unique_ptr<zeltest::HandlerSink> service_sink;
  agent_context context;

  UniqueFd exit_read;
  UniqueFd exit_write;
  std::thread listener;
};

}  // namespace srvtest
