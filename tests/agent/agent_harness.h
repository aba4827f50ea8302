// The real agent at work: the zelagent program against the simulator
// (zelCloud and zelbroker in this process), with a private store and log,
// local handlers that record what they receive, and the real
// zelagent_control. Every test using it runs an agent, which binds the
// control port: RESOURCE_LOCK control_port.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "zelcloud_sim.h"

namespace agenttest {

using namespace std::chrono_literals;

inline constexpr const char* kHardwareId = "HW-E2E-0001";
inline constexpr const char* kService = "svc";
inline constexpr const char* kAgentHandler = "zelagent";

// An agent-state report as "event_sink" received it.
struct Report {
  int event = -1;
  bool daemon = false;
  int pid = 0;
  bool registered = false;
  bool claimed = false;
  bool connected = false;
};
using ReportTest = std::function<bool(const Report&)>;
ReportTest event_is(int event);
ReportTest connected_is(bool connected);

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void set(const std::string& key, const std::string& value);
  std::optional<std::string> get(const std::string& key) const;
  // The agent's command line: the test's pid file, debug log, hardware id
  // and the simulator's CA; --foreground unless `daemon`.
  std::vector<std::string> agent_argv(bool daemon = false) const;
  // Starts a foreground agent and waits for its control port and its own
  // first report (one of an earlier agent that comes late does not count).
  void start_agent();
  // Sends `signal_number` and returns the exit status (-2: no exit).
  int stop_agent(int signal_number = SIGTERM);

  std::vector<Report> reports() const;
  // The first report of the agent with process id `pid`, once it has come.
  std::optional<Report> first_report_of(int pid) const;
  bool wait_report(const ReportTest& matches) const;
  int count_reports(const ReportTest& matches) const;
  // zelagent_control -c <args...>
  zeltest::ProgramResult control(const std::vector<std::string>& args) const;
  std::string log() const { return zeltest::read_file(dir.file("agent.log")); }
  bool wait_logged(const std::string& text) const;
  std::size_t requests_to(const std::string& path) const;
  // A hello has arrived on link `link` and the link is still open.
  bool link_up(std::size_t link) const;
  std::string pid_file() const { return dir.file("agent.pid"); }
  // A plain message of any size up to 255 parts: the body is cut into parts
  // of the largest size a part may have.
  bool send_large(const std::string& handler, const std::string& body) const;

  zeltest::TempDir dir;
  std::unique_ptr<zelsim::Simulator> sim;
  std::unique_ptr<zeltest::HandlerSink> event_sink;    // "event_sink"
  std::unique_ptr<zeltest::HandlerSink> sample_sink;   // "sample"
  std::unique_ptr<zeltest::HandlerSink> service_sink;  // "event_sink_svc"
  std::unique_ptr<zeltest::Process> agent;
};

}  // namespace agenttest
