// The whole process run of `zelagent_control -c pause_connections` against a
// listener that answers at once, side by side with a minimal client that
// makes the same exchange. Targets: the tool's median wall time at most 1.1
// times the minimal client's (the "ratio" counter of BM_SideBySide), and the
// stripped tool at most 100 KB.
//
// The listener takes 127.0.0.1:14369: run it where nothing else holds that
// port, e.g. ./scripts/private-net.sh build/<config>/bench/control/control_tool_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/control_peer.h"
#include "support/test_support.h"

extern char** environ;

namespace {

// One listener and one log folder for the whole run.
zelbench::ControlPeer& listener() {
  static zelbench::ControlPeer instance;
  return instance;
}

zeltest::TempDir& scratch() {
  static zeltest::TempDir instance;
  return instance;
}

// Starts `argv` with its output in /dev/null and waits for it; the wall time
// of the whole run in microseconds, or a negative value when the program
// could not start or did not exit with status 0.
double timed_run(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) < 0) return -1;
  auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::micro>(end - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::vector<std::string> tool_command() {
  return {ZEL_CONTROL_TOOL, "--log_file", scratch().file("control.log"), "-c", "pause_connections"};
}

void run_program_benchmark(benchmark::State& state, const std::vector<std::string>& argv) {
  listener();
  std::vector<double> times;
  for (auto _ : state) {
    double us = timed_run(argv);
    if (us < 0) {
      state.SkipWithError("the program failed");
      break;
    }
    times.push_back(us);
  }
  state.counters["median_us"] = median(times);
}

void BM_MinimalClient(benchmark::State& state) { run_program_benchmark(state, {ZEL_MINIMAL_CLIENT}); }
void BM_ControlTool(benchmark::State& state) { run_program_benchmark(state, tool_command()); }

// Both programs in turn, so that they share whatever else the machine is
// doing; the ratio of the medians is the figure the target is about.
void BM_SideBySide(benchmark::State& state) {
  listener();
  const std::vector<std::string> client = {ZEL_MINIMAL_CLIENT};
  const std::vector<std::string> tool = tool_command();
  std::vector<double> client_times;
  std::vector<double> tool_times;
  for (auto _ : state) {
    double client_us = timed_run(client);
    double tool_us = timed_run(tool);
    if (client_us < 0 || tool_us < 0) {
      state.SkipWithError("a program failed");
      break;
    }
    client_times.push_back(client_us);
    tool_times.push_back(tool_us);
  }
  double client_median = median(client_times);
  double tool_median = median(tool_times);
  state.counters["client_median_us"] = client_median;
  state.counters["tool_median_us"] = tool_median;
  state.counters["ratio"] = client_median > 0 ? tool_median / client_median : 0;
  // The size the tool takes in a device's flash: stripped, as a package installs it.
  const std::string stripped = scratch().file("zelagent_control.stripped");
  struct stat info {};
  if (timed_run({"/usr/bin/strip", "-o", stripped, ZEL_CONTROL_TOOL}) >= 0 && ::stat(stripped.c_str(), &info) == 0) {
    state.counters["stripped_bytes"] = static_cast<double>(info.st_size);
  }
}

BENCHMARK(BM_MinimalClient)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_ControlTool)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_SideBySide)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
