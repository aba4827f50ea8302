// Control and shut-down times of the real agent against a zelCloud that
// never answers or drips its answers: for each case a fresh zelagent
// (foreground, private store, log and pid file, retries after 1 s, the
// default 60 s request time-out) runs against the simulator, and the bench
// times the answers of zelagent_control and the exit after SIGTERM. Cases:
// a discovery that is never answered (on_moravault and pause_connections
// beside it, then SIGTERM with another in flight); an advisor that drips one
// byte every 2 s; a registration that is never answered.
//
//   hanging_cloud_bench [BUILD_DIR]   # the zelagent and zelagent_control to time
//
// Prints one Markdown table. Binds 127.0.0.1:14369: run it alone or through
// scripts/private-net.sh. Some ten seconds; minutes against an agent whose
// control waits on the network (each wait is cut at 90 s).
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>

#include "support/cloud_server.h"
#include "config/config.h"
#include "support/test_support.h"
#include "support/control_peer.h"
#include "zelcloud_sim.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string build_dir = ZEL_BENCH_BUILD_DIR;
constexpr auto kCut = 90s;

// Seconds from `since` until `process` exits (cut at kCut), with its status and output.
struct Timed {
  double seconds = -1;
  std::optional<int> status;
  std::string out;
  std::string text() const {
    std::ostringstream line;
    line << std::fixed << std::setprecision(2);
    if (!status) line << "no answer in " << static_cast<int>(seconds) << " s";
    else line << seconds << " s" << (out.empty() ? " (status " + std::to_string(*status) + ")" : " " + out.substr(0, out.find('\n')));
    return line.str();
  }
};

class Run {
 public:
  Run(zelsim::CloudFault fault, const std::string& path, bool forced) {
    ::setenv("PVO_STORE", dir_.file("store").c_str(), 1);
    ::mkdir(dir_.file("sim").c_str(), 0700);
    zelsim::SimulatorOptions options;
    options.cert_dir = dir_.file("sim");
    sim_ = std::make_unique<zelsim::Simulator>(options);
    for (const auto& [key, value] : sim_->store_settings()) config_set(key.c_str(), value.c_str());
    config_set("zel_use_discovery", "1");
    config_set("zel_force_connection", forced ? "1" : "0");
    for (const char* key : {"zel_register_aggressive_delay", "zel_advisor_delay", "zel_zelbroker_delay"}) {
      config_set(key, "1");
    }
    if (path != "/register") {  // registered before the fault
      config_set("zel_agent_id", "BENCH-1");
      config_set("zel_agent_claim_code", "code");
    }
    sim_->set_cloud_fault(fault, path);
  }
  ~Run() {
    if (agent_ && agent_->running()) agent_->signal(SIGKILL);
    if (agent_) agent_->wait_exit(kCut);
    agent_.reset();
    sim_.reset();
    ::unsetenv("PVO_STORE");
  }

  // Starts the agent and waits until the simulator has seen a request to `path`.
  bool start(const std::string& path) {
    if (!zeltest::wait_until([] { return !zeltest::control_port_listening(); }, 30s)) return false;
    agent_ = std::make_unique<zeltest::Process>(
        std::vector<std::string>{build_dir + "/src/agent/zelagent", "--foreground", "--pid-file",
                                 dir_.file("agent.pid"), "--log-file", dir_.file("agent.log"), "--hardware-id",
                                 "BENCH-HW", "--model", "bench", "--ca-file", sim_->ca_file()},
        "", "");
    return zeltest::wait_until(zeltest::control_port_listening, 30s) && (path.empty() || requests_to(path, 30s));
  }

  bool requests_to(const std::string& path, std::chrono::milliseconds limit) {
    return zeltest::wait_until(
        [&] {
          for (const auto& request : sim_->cloud().requests()) {
            if (request.path().rfind(path, 0) == 0) return true;
          }
          return false;
        },
        limit);
  }

  std::unique_ptr<zeltest::Process> control(const std::vector<std::string>& args, const std::string& name) {
    std::vector<std::string> argv = {build_dir + "/src/control/zelagent_control", "--log_file",
                                     dir_.file("control.log"), "-c"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<zeltest::Process>(argv, dir_.file(name), "");
  }

  Timed finish(zeltest::Process& process, Clock::time_point since, const std::string& name = "") {
    Timed timed;
    timed.status = process.wait_exit(std::chrono::duration_cast<std::chrono::milliseconds>(since + kCut - Clock::now()));
    timed.seconds = std::chrono::duration<double>(Clock::now() - since).count();
    if (!name.empty()) timed.out = zeltest::read_file(dir_.file(name));
    return timed;
  }

  Timed terminate() {
    const Clock::time_point term = Clock::now();
    agent_->signal(SIGTERM);
    return finish(*agent_, term);
  }

  zelsim::Simulator& sim() { return *sim_; }

 private:
  zeltest::TempDir dir_;
  std::unique_ptr<zelsim::Simulator> sim_;
  std::unique_ptr<zeltest::Process> agent_;
};

struct Row {
  std::string name, control, shutdown;
};

Row discovery_case() {
  Row row{"discovery never answered (send_discovery in flight)", "agent did not start", "-"};
  Run run(zelsim::CloudFault::kStall, "/discovery", false);
  if (!run.start("")) return row;
  const std::vector<std::string> discover = {"send_discovery", "-s", "svc"};
  auto first = run.control(discover, "first.out");
  if (!run.requests_to("/discovery", 30s)) return row;
  Clock::time_point since = Clock::now();
  auto moravault = run.control({"on_moravault", "-s", "svc", "-r", "true"}, "moravault.out");
  const Timed moravault_time = run.finish(*moravault, since, "moravault.out");
  since = Clock::now();
  auto pause = run.control({"pause_connections"}, "pause.out");
  const Timed pause_time = run.finish(*pause, since, "pause.out");
  const Timed first_time = run.finish(*first, since, "first.out");
  run.sim().cloud().release_stalled();
  auto resume = run.control({"resume_connections"}, "resume.out");
  run.finish(*resume, Clock::now());
  auto second = run.control(discover, "second.out");
  zeltest::wait_until([&] { return run.sim().cloud().stalled_requests() == 1; }, 30s);
  const Timed exit_time = run.terminate();
  row.control = "on_moravault " + moravault_time.text() + "; pause_connections " + pause_time.text() +
                "; the discovery client then " + first_time.text();
  row.shutdown = exit_time.text() + " (discovery client: " + run.finish(*second, Clock::now(), "second.out").text() + ")";
  return row;
}

Row shutdown_case(const std::string& name, zelsim::CloudFault fault, const std::string& path, bool forced) {
  Row row{name, "-", "agent did not start"};
  Run run(fault, path, forced);
  if (!run.start(path)) return row;
  auto moravault = run.control({"on_moravault", "-s", "svc", "-r", "true"}, "moravault.out");
  row.control = "on_moravault " + run.finish(*moravault, Clock::now(), "moravault.out").text();
  row.shutdown = run.terminate().text();
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc > 1) build_dir = argv[1];
  std::vector<Row> rows;
  rows.push_back(discovery_case());
  rows.push_back(shutdown_case("advisor drips one byte every 2 s (link forced)", zelsim::CloudFault::kDrip,
                               "/advisor", true));
  rows.push_back(shutdown_case("registration never answered", zelsim::CloudFault::kStall, "/register", false));
  std::printf("| case | control answered | SIGTERM to exit |\n|---|---|---|\n");
  for (const Row& row : rows) std::printf("| %s | %s | %s |\n", row.name.c_str(), row.control.c_str(), row.shutdown.c_str());
  return 0;
}
