// End-to-end harness: the simulator (zelsim::Simulator, in this process),
// local handlers recording what they receive, a private store and log in a
// temporary folder, and the real `zelagent` program started against them.
//
// Every test that uses it runs an agent, which binds the control port: such
// tests pass RESOURCE_LOCK control_port.
//
//   TEST_F(AgentEndToEnd, Something) {
//     set("zel_force_connection", "1");
//     start_agent();
//     ASSERT_TRUE(wait_report([](const Report& r) { return r.connected; }));
//     EXPECT_EQ(stop_agent(), 0);
//   }
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "delivery/handler_sink.h"
#include "support/test_support.h"
#include "zelcloud_sim.h"

namespace agenttest {

using namespace std::chrono_literals;

constexpr const char* kHardwareId = "HW-E2E-0001";
constexpr const char* kModel = "e2e-model";
constexpr const char* kService = "svc";
constexpr const char* kAgentHandler = "zelagent";

// An agent-state report as the "event_sink" handler received it.
struct Report {
  int event = -1;
  bool daemon = false;
  int pid = 0;
  bool registered = false;
  bool claimed = false;
  bool connected = false;
};
std::optional<Report> parse_report(const std::string& json);

// A program started with posix_spawn, its output in files. The destructor
// kills and reaps it when it still runs.
class Process {
 public:
  // `env` entries are added to (or replace those of) this process's
  // environment; `cwd` empty keeps the current directory.
  Process(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
          const std::string& cwd, const std::string& out_path, const std::string& err_path);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // Waits for the exit (bounded); the exit status, or -1 after a signal, or
  // std::nullopt when it still runs at the deadline.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = 20s);
  bool running();
  void signal(int number) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// True when a process with this pid no longer runs (gone, or a zombie).
bool process_ended(pid_t pid);

// How many sockets listen on 127.0.0.1:14369 (read from /proc/net/tcp), and
// whether any does.
int control_port_listeners();
bool control_port_listening();

class AgentEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The store of this test (PVO_STORE of this process and of the agent).
  void set(const std::string& key, const std::string& value);
  std::optional<std::string> get(const std::string& key) const;

  // The agent's command line: foreground, the temporary pid and log files,
  // debug logging, the test's hardware id and model, the simulator's CA.
  std::vector<std::string> agent_argv(bool foreground = true) const;
  // Starts the agent in the foreground and waits until it listens on the
  // control port and has sent its first report.
  void start_agent(const std::vector<std::string>& extra = {});
  // Sends `signal` and returns the exit status (-1: killed, -2: no exit).
  int stop_agent(int signal_number = SIGTERM);

  std::vector<Report> reports() const;
  bool wait_report(const std::function<bool(const Report&)>& matches, std::chrono::milliseconds timeout = 20s) const;
  // Waits for `count` reports in all.
  bool wait_reports(std::size_t count, std::chrono::milliseconds timeout = 20s) const;

  struct ToolRun {
    int status = -1;
    std::string out;
  };
  // zelagent_control -c <args...> with its log in the temporary folder.
  ToolRun control(const std::vector<std::string>& args) const;

  std::string log_text() const;
  bool logged(const std::string& text) const { return log_text().find(text) != std::string::npos; }
  bool wait_logged(const std::string& text, std::chrono::milliseconds timeout = 20s) const;
  int times_logged(const std::string& text) const;

  // Requests the simulated zelCloud saw for a path (query excluded).
  std::size_t requests_to(const std::string& method, const std::string& path) const;
  // The agent id the simulator gave the test's device ("" before registration).
  std::string agent_id() const;
  // The broker link is up: a hello arrived on a link that is still open.
  bool link_open() const;

  std::string pid_file() const { return dir.file("agent.pid"); }
  std::string agent_log() const { return dir.file("agent.log"); }

  zeltest::TempDir dir;
  std::unique_ptr<zelsim::Simulator> sim;
  std::unique_ptr<zeltest::HandlerSink> event_sink;    // "event_sink"
  std::unique_ptr<zeltest::HandlerSink> sample_sink;   // "sample"
  std::unique_ptr<zeltest::HandlerSink> service_sink;  // "event_sink_svc"
  std::unique_ptr<Process> agent;

 private:
  mutable std::mutex sim_lines_mutex;  // guards sim_lines
  std::vector<std::string> sim_lines;
};

}  // namespace agenttest
