// The agent on a device's budget:
//
// - AgentIdleMemory: zelagent started against the simulator with its link
//   forced up; once it is connected and a heartbeat of its main loop has
//   been answered, its resident set (VmRSS) and peak (VmHWM) are read from
//   /proc, with its private part (RssAnon: heap, stacks, data; the rest is
//   shared library and program text). The time measured is from the start
//   to the accepted link.
// - StrippedSize: zelagent, zelagent_control and libpvo.so copied and
//   stripped as `cmake --install --strip` would; their sizes in bytes.
//
// Run it alone (it binds 127.0.0.1:14369): build/<config>/bench/agent/agent_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "broker_server.h"
#include "config/config.h"
#include "support/test_support.h"
#include "zelcloud_sim.h"

namespace {

using namespace std::chrono_literals;

const std::string kBuildDir = ZEL_BENCH_BUILD_DIR;

// A field of /proc/<pid>/status in KiB, or -1.
long status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

void AgentIdleMemory(benchmark::State& state) {
  zeltest::TempDir dir;
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  ::mkdir(dir.file("sim").c_str(), 0700);
  zelsim::SimulatorOptions options;
  options.cert_dir = dir.file("sim");
  options.agent_heartbeat = 1;
  zelsim::Simulator sim(options);
  zeltest::HandlerSink sink(dir.file("sink.sock"));
  for (const auto& [key, value] : sim.store_settings()) config_set(key.c_str(), value.c_str());
  config_set("zel_handler_event_sink", sink.endpoint().c_str());
  config_set("zel_force_connection", "1");
  const std::vector<std::string> argv = {kBuildDir + "/src/agent/zelagent", "--foreground",
                                         "--pid-file", dir.file("agent.pid"),
                                         "--log-file", dir.file("agent.log"),
                                         "--hardware-id", "BENCH-1",
                                         "--model", "bench",
                                         "--ca-file", sim.ca_file()};
  double rss_total = 0;
  double anon_total = 0;
  double hwm_total = 0;
  std::size_t links = 0;
  for (auto _ : state) {
    zeltest::Process agent(argv, dir.file("agent.out"), dir.file("agent.err"));
    if (agent.pid() <= 0 || !zeltest::wait_until([&] { return sim.broker().links() > links; }, 30s)) {
      state.SkipWithError("the agent did not connect");
      break;
    }
    ++links;
    state.PauseTiming();
    const std::size_t answered = sim.broker().heartbeats_answered();
    if (!zeltest::wait_until([&] { return sim.broker().heartbeats_answered() > answered; }, 30s)) {
      state.SkipWithError("no heartbeat from the agent");
      break;
    }
    rss_total += static_cast<double>(status_kib(agent.pid(), "VmRSS"));
    anon_total += static_cast<double>(status_kib(agent.pid(), "RssAnon"));
    hwm_total += static_cast<double>(status_kib(agent.pid(), "VmHWM"));
    agent.signal(SIGTERM);
    agent.wait_exit(30s);
    state.ResumeTiming();
  }
  state.counters["idle_rss_kib"] = benchmark::Counter(rss_total, benchmark::Counter::kAvgIterations);
  state.counters["idle_anon_kib"] = benchmark::Counter(anon_total, benchmark::Counter::kAvgIterations);
  state.counters["peak_rss_kib"] = benchmark::Counter(hwm_total, benchmark::Counter::kAvgIterations);
  ::unsetenv("PVO_STORE");
}
BENCHMARK(AgentIdleMemory)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Size of `path` after `strip`, in bytes (-1 when it cannot be stripped).
double stripped_size(const std::string& path, const std::string& folder) {
  const std::string copy = folder + "/" + std::filesystem::path(path).filename().string();
  std::error_code error;
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, error);
  if (error) return -1;
  const std::string command = "strip --strip-unneeded '" + copy + "'";
  if (std::system(command.c_str()) != 0) return -1;
  return static_cast<double>(std::filesystem::file_size(copy, error));
}

void StrippedSize(benchmark::State& state) {
  zeltest::TempDir dir;
  double agent = 0, control = 0, pvo = 0;
  for (auto _ : state) {
    agent = stripped_size(kBuildDir + "/src/agent/zelagent", dir.path());
    control = stripped_size(kBuildDir + "/src/control/zelagent_control", dir.path());
    pvo = stripped_size(kBuildDir + "/platform/pvo/libpvo.so", dir.path());
  }
  if (agent < 0 || control < 0 || pvo < 0) state.SkipWithError("strip failed");
  state.counters["zelagent_bytes"] = agent;
  state.counters["zelagent_control_bytes"] = control;
  state.counters["libpvo_so_bytes"] = pvo;
}
BENCHMARK(StrippedSize)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
