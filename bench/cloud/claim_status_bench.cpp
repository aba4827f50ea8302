// 200 sequential claim-status requests to the simulated zelCloud on
// loopback, once with the share object (TLS sessions and DNS answers reused
// across requests) and once without it. Reports requests per second and the TLS handshakes the
// server saw: full ones and resumed ones.
//
//   ./claim_status_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "cert_authority.h"
#include "support/cloud_server.h"
#include "support/test_support.h"

namespace {

constexpr int kRequests = 200;
constexpr uint32_t kRequestTimeout = 30;
constexpr const char* kClaimReply = R"({"_type":"Claim","deviceId":"AB-12","claimed":false})";

void claim_status_requests(benchmark::State& state) {
  const bool shared = state.range(0) != 0;
  zeltest::TempDir dir;
  ::setenv("PVO_STORE", dir.file("store").c_str(), 1);
  zelsim::CertAuthority ca(dir.path());
  zelsim::CertOptions options;
  options.dns_names = {"localhost"};
  zelsim::CertFiles leaf = ca.issue(options);
  ca_file = ca.ca_cert_path();

  for (auto _ : state) {
    state.PauseTiming();
    // A fresh server per run, so that its counts belong to this run alone.
    auto cloud = std::make_unique<zelsim::CloudServer>(leaf.chain_path, leaf.key_path);
    zelsim::CloudAnswer answer;
    answer.body = kClaimReply;
    cloud->set_default_answer(answer);
    agent_context context;
    context.request_timeout = kRequestTimeout;
    context.connect_timeout = kRequestTimeout;
    context.claimed_url = cloud->url("/claimed/v2");
    identity id;
    id.agent_id = "AB-12";
    id.hardware_id = "HW-0001";
    id.claim_code = "secret";
    context.set_identity(id);
    if (shared && init_shared_curl() != 0) throw std::runtime_error("init_shared_curl failed");
    state.ResumeTiming();

    for (int i = 0; i < kRequests; ++i) {
      if (check_claim_status(context) != 0) throw std::runtime_error("claim-status request failed");
    }

    state.PauseTiming();
    if (shared) clean_shared_curl();
    state.counters["full_handshakes"] = static_cast<double>(cloud->full_handshakes());
    state.counters["resumed_handshakes"] = static_cast<double>(cloud->resumed_handshakes());
    cloud.reset();
    state.ResumeTiming();
  }
  state.counters["requests_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kRequests, benchmark::Counter::kIsRate);
  ca_file.clear();
}

BENCHMARK(claim_status_requests)->ArgName("share")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
