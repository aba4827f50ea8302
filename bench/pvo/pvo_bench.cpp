// Throughput of the nvram store on a store of 200 keys, the size the agent
// keeps: reads (pvoGet) and single-key writes made durable (pvoSet +
// pvoCommit, as every config_set does), and the typed reader on top.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

#include "config/config.h"
#include "pvo/pvo.h"
#include "support/test_support.h"

namespace {

constexpr int kStoreKeys = 200;

// A store folder on the same disk as the tests' temporary files, filled
// with 200 keys of agent-like size.
class FilledStore {
 public:
  FilledStore() {
    ::setenv(PVO_STORE_ENV, dir_.path().c_str(), 1);
    for (int i = 0; i < kStoreKeys; ++i) {
      std::string key = "zel_bench_key_" + std::to_string(i);
      std::string value = "https://example.invalid/some/path/value/" + std::to_string(i);
      pvoSet(key.c_str(), value.c_str());
    }
    pvoSet("zel_http_connect_timeout", "300");
    if (pvoCommit() != 0) std::abort();
  }
  ~FilledStore() { ::unsetenv(PVO_STORE_ENV); }

 private:
  zeltest::TempDir dir_;
};

void BM_PvoGet(benchmark::State& state) {
  FilledStore store;
  int i = 0;
  for (auto _ : state) {
    std::string key = "zel_bench_key_" + std::to_string(i++ % kStoreKeys);
    char* value = nullptr;
    if (pvoGet(key.c_str(), &value) != 0 || value == nullptr) state.SkipWithError("pvoGet");
    std::free(value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PvoGet);

void BM_PvoSetCommit(benchmark::State& state) {
  FilledStore store;
  int i = 0;
  for (auto _ : state) {
    std::string value = std::to_string(i++);
    if (pvoSet("zel_agent_pid", value.c_str()) != 0 || pvoCommit() != 0)
      state.SkipWithError("pvoSet/pvoCommit");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PvoSetCommit)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ConfigGetUint32Default(benchmark::State& state) {
  FilledStore store;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        config_get_uint32_default(kKeyHttpConnectTimeout, kDefaultHttpConnectTimeout));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConfigGetUint32Default);

}  // namespace

BENCHMARK_MAIN();
