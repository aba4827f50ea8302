// Long runs of the real agent: broker links dropped and made again, cloud
// requests failing over and over, and steady traffic with reconnections. The
// agent's descriptors, threads and (outside sanitizer builds) resident memory
// must not grow; under AddressSanitizer, LeakSanitizer checks the agent's
// exit, which must be clean (status 0).
//
// Run lengths are short here (the test command) and set by scripts/soak.sh
// for long runs: ZEL_SOAK_CYCLES, ZEL_SOAK_CLOUD_FAILURES, ZEL_SOAK_SECONDS,
// ZEL_SOAK_RECONNECT_SECONDS.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "fakes/fake_zelbroker.h"
#include "soak/soak_agent.h"

namespace soaktest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sanitizer builds run the agent several times slower: fewer rounds there.
constexpr int kShortCycles = kSanitizedBuild ? 30 : 100;
constexpr int kShortCloudFailures = kSanitizedBuild ? 300 : 1000;
constexpr int kShortSeconds = 20;
constexpr int kShortReconnectSeconds = 5;
constexpr int kWarmupRounds = 10;
// A round in progress may hold one more descriptor (a delivery, a request)
// or thread (a log compression) than the round it is compared with.
constexpr int kTransientAllowance = 1;
// Growth of resident memory that still counts as flat after the warm-up.
constexpr long kResidentGrowthLimitKib = 2048;

constexpr auto kConnected = [](const agenttest::Report& r) { return r.event == 4 && r.connected; };

void expect_flat(const ProcessResources& before, const ProcessResources& after) {
  std::printf("agent resources: after warm-up %s; at the end %s\n", describe(before).c_str(),
              describe(after).c_str());
  EXPECT_LE(after.descriptors, before.descriptors + kTransientAllowance);
  EXPECT_LE(after.threads, before.threads + kTransientAllowance);
  if (!kSanitizedBuild) {
    EXPECT_LT(after.resident_kib - before.resident_kib, kResidentGrowthLimitKib);
  }
}

class SoakResources : public SoakAgent {
 protected:
  std::size_t connected_reports() const {
    std::size_t count = 0;
    for (const agenttest::Report& report : reports()) count += kConnected(report) ? 1 : 0;
    return count;
  }

  // Link `link` is up and the agent has reported it: a quiet moment.
  bool settled_on(std::size_t link) const { return linked_on(link) && connected_reports() >= link + 1; }
};

TEST_F(SoakResources, BrokerLinkCyclesLeaveNothingBehind) {
  set("zel_force_connection", "1");
  set("zel_zelbroker_delay", "0");
  const int cycles = soak_setting("ZEL_SOAK_CYCLES", kShortCycles);
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return settled_on(0); }, 30s));

  ProcessResources baseline;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    ASSERT_TRUE(sim->drop_link()) << "cycle " << cycle;
    ASSERT_TRUE(zeltest::wait_until([&] { return settled_on(static_cast<std::size_t>(cycle)); }, 30s))
        << "no new link in cycle " << cycle;
    if (cycle == std::min(kWarmupRounds, cycles)) baseline = agent_resources();
  }
  expect_flat(baseline, agent_resources());
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakResources, CloudRequestFailuresLeaveNothingBehind) {
  set("zel_force_connection", "1");
  set("zel_advisor_delay", "0");
  const std::size_t failures =
      static_cast<std::size_t>(soak_setting("ZEL_SOAK_CLOUD_FAILURES", kShortCloudFailures));
  // Every kind of failure in turn, a stretch of requests each.
  const std::vector<CloudFault> kinds = {CloudFault::kServerError, CloudFault::kGarbage,
                                         CloudFault::kRawGarbage, CloudFault::kNoAnswer,
                                         CloudFault::kCutAnswer};
  const std::size_t stretch = failures / kinds.size() + 1;
  set_cloud_fault(kinds[0], "/advisor");
  start_agent();

  // Samples are taken while one advisor request is held open, so both find
  // the agent in the same state.
  auto sample_while_held = [&] {
    set_cloud_fault(CloudFault::kStall, "/advisor");
    EXPECT_TRUE(zeltest::wait_until([&] { return cloud->stalled_requests() == 1; }, 30s));
    ProcessResources resources = agent_resources();
    return resources;
  };

  ASSERT_TRUE(zeltest::wait_until([&] { return cloud_requests("/advisor") >= kWarmupRounds; }, 60s));
  const ProcessResources baseline = sample_while_held();
  std::size_t seen = cloud_requests("/advisor");
  for (std::size_t k = 0; seen < failures + kWarmupRounds; ++k) {
    set_cloud_fault(kinds[k % kinds.size()], "/advisor");
    cloud->release_stalled();
    const std::size_t target = seen + stretch;
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return cloud_requests("/advisor") >= target || !agent->running(); }, 120s));
    ASSERT_TRUE(agent->running()) << "the agent ended";
    ASSERT_GE(cloud_requests("/advisor"), target)
        << "failures stopped with " << fault_name(kinds[k % kinds.size()]);
    seen = cloud_requests("/advisor");
  }
  const ProcessResources end = sample_while_held();
  std::printf("%zu advisor requests failed\n", seen - kWarmupRounds);
  expect_flat(baseline, end);

  // The link comes up once the cloud answers again.
  set_cloud_fault(CloudFault::kNone);
  EXPECT_TRUE(zeltest::wait_until([&] { return sim->broker().open_links() > 0; }, 30s));
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakResources, SteadyTrafficWithReconnectionsStaysFlat) {
  set("zel_force_connection", "1");
  set("zel_zelbroker_delay", "0");
  const auto duration = std::chrono::seconds(soak_setting("ZEL_SOAK_SECONDS", kShortSeconds));
  const auto reconnect_every =
      std::chrono::seconds(soak_setting("ZEL_SOAK_RECONNECT_SECONDS", kShortReconnectSeconds));
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return settled_on(0); }, 30s));

  const Clock::time_point start = Clock::now();
  Clock::time_point next_reconnect = start + reconnect_every;
  std::size_t link = 0;
  std::size_t messages = 0;
  std::vector<ProcessResources> samples;
  std::printf("%8s %12s %8s %12s\n", "seconds", "descriptors", "threads", "resident_kib");
  for (Clock::time_point tick = start; tick - start < duration; tick += 1s) {
    // One message a second: wait for the second to begin, then send.
    ASSERT_TRUE(zeltest::wait_until([&] { return Clock::now() >= tick; }, 5s));
    if (Clock::now() >= next_reconnect) {
      ASSERT_TRUE(sim->drop_link());
      ++link;
      ASSERT_TRUE(zeltest::wait_until([&] { return settled_on(link); }, 30s));
      next_reconnect += reconnect_every;
      // The moment after each reconnection is the comparable one.
      samples.push_back(agent_resources());
      const long elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
      std::printf("%8ld %12d %8d %12ld\n", elapsed, samples.back().descriptors, samples.back().threads,
                  samples.back().resident_kib);
    }
    ASSERT_TRUE(sim->send_message("sample", "soak message " + std::to_string(messages)));
    ++messages;
    ASSERT_TRUE(sample_sink->wait_for(messages, 30s)) << "message " << messages << " not delivered";
  }
  ASSERT_FALSE(samples.empty()) << "the run was shorter than one reconnection";
  expect_flat(samples.front(), samples.back());
  EXPECT_EQ(sample_sink->received(), messages);
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

}  // namespace
}  // namespace soaktest
