// log_message lines per second to a file with rotation on, the cost of a
// line that the flood limit suppresses, and the cost of the stat and open
// every written line makes (the rotation check needs the file's
// current size, and the live file is reopened in append mode for each line).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "log/log.h"
#include "support/test_support.h"

namespace {
constexpr const char* kLogModule = "log_bench";
constexpr const char* kText = "connection state changed, broker %s port %d, attempt %d\n";

// Each call a new minute of the Logger's clock: every line passes the flood
// limit and the budget, which would otherwise keep one source line to ten a
// second.
std::int64_t next_minute() {
  static std::int64_t now = 0;
  return now += 60;
}

// A typical line: about 110 bytes with the time, pid, module and line.
void BM_LogMessageToFile(benchmark::State& state) {
  zeltest::TempDir dir;
  log_file_path = dir.file("bench.log");
  log_level = kLogInfo;
  log_to_console = 0;
  log_testing::clock_hook = next_minute;
  int attempt = 0;
  for (auto _ : state) ZLOG(kLogInfo, kText, "broker.example.net", 443, ++attempt);
  state.SetItemsProcessed(state.iterations());
  log_testing::clock_hook = nullptr;
  struct stat st{};
  int rotated = 0;
  for (int n = 1; n <= kLogRotateCount; ++n) {
    std::string name = log_file_path + "." + std::to_string(n);
    if (::stat((name + ".gz").c_str(), &st) == 0 || ::stat(name.c_str(), &st) == 0) ++rotated;
  }
  state.counters["generations"] = rotated;
  log_testing::wait_for_compression();
  log_file_path.clear();
}

// A source line past its limit: what a flood costs per suppressed call.
void BM_SuppressedLine(benchmark::State& state) {
  zeltest::TempDir dir;
  log_file_path = dir.file("bench.log");
  log_level = kLogInfo;
  log_to_console = 0;
  int attempt = 0;
  for (auto _ : state) ZLOG(kLogInfo, kText, "broker.example.net", 443, ++attempt);
  state.SetItemsProcessed(state.iterations());
  log_flush_suppressed();
  log_file_path.clear();
}

// The per-line file-system work the format requires, alone: stat the live
// file and open it for appending, then close it.
void BM_PerLineStatOpenClose(benchmark::State& state) {
  zeltest::TempDir dir;
  std::string path = dir.file("bench.log");
  zeltest::write_file(path, std::string(1 << 20, 'x'));
  for (auto _ : state) {
    struct stat st{};
    benchmark::DoNotOptimize(::stat(path.c_str(), &st));
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    benchmark::DoNotOptimize(fd);
    ::close(fd);
  }
  state.SetItemsProcessed(state.iterations());
}

// For comparison: appending a formatted line of the same size to a file kept open.
void BM_AppendToOpenFile(benchmark::State& state) {
  zeltest::TempDir dir;
  std::string path = dir.file("bench.log");
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  const std::string line(110, 'x');
  for (auto _ : state) {
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_LogMessageToFile)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_SuppressedLine)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PerLineStatOpenClose)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_AppendToOpenFile)->MinTime(1.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
