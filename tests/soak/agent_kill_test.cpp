// SIGKILL at arbitrary moments while the agent changes its state
// (registration, claim and release, link up and down): after each kill the
// store must still read, the stored identity must be the one the zelCloud
// issued or absent (never another, never half of a flag), and a restarted
// agent must come back registered under the same identity.
//
// The kill moments are chosen by a seeded generator (ZEL_SOAK_SEED) as the
// arrival of the k-th state report; scripts/soak.sh raises the number of
// kills with ZEL_SOAK_KILLS.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "fakes/fake_zelbroker.h"
#include "pvo/pvo.h"
#include "soak/soak_agent.h"

namespace soaktest {
namespace {

using namespace std::chrono_literals;

constexpr int kShortKills = 6;
constexpr int kDefaultSeed = 20261206;
constexpr int kMaxReportsBeforeKill = 6;

constexpr auto kRegistered = [](const agenttest::Report& r) { return r.registered; };

// The raw store answer for `key`: the value, or nothing when absent. A store
// that cannot be read fails the test.
std::optional<std::string> stored(const char* key) {
  char* value = nullptr;
  const int rc = pvoGet(key, &value);
  std::unique_ptr<char, decltype(&std::free)> owned(value, &std::free);
  EXPECT_GE(rc, 0) << key << ": " << pvoStrerror(rc);
  if (rc < 0 || value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

void expect_flag(const char* key) {
  std::optional<std::string> flag = stored(key);
  if (flag) {
    EXPECT_TRUE(*flag == "0" || *flag == "1") << key << " = '" << *flag << "'";
  }
}

using SoakKill = SoakAgent;

TEST_F(SoakKill, StoredStateSurvivesKillsDuringStateChanges) {
  const int kills = soak_setting("ZEL_SOAK_KILLS", kShortKills);
  std::mt19937 random(static_cast<std::uint32_t>(soak_setting("ZEL_SOAK_SEED", kDefaultSeed)));
  std::uniform_int_distribution<int> reports_before_kill(1, kMaxReportsBeforeKill);
  set("zel_zelbroker_delay", "0");
  int killed_unregistered = 0;

  for (int round = 0; round < kills; ++round) {
    SCOPED_TRACE("kill " + std::to_string(round + 1));
    // Every third round the device starts unregistered again, so that kills
    // also fall into registrations and not only into claims and links.
    if (round % 3 == 0) {
      set("zel_agent_id", "");
      set("zel_agent_claim_code", "");
      set("zel_agent_registered", "0");
    }
    start_agent();
    const std::size_t reports_at_start = reports().size();
    const std::size_t kill_at = reports_at_start + static_cast<std::size_t>(reports_before_kill(random));

    // The killer strikes as soon as the chosen report has arrived, while the
    // changes below go on.
    std::atomic<bool> killed{false};
    std::thread killer([&] {
      zeltest::wait_until([&] { return reports().size() >= kill_at || !agent->running(); }, 60s);
      agent->signal(SIGKILL);
      killed.store(true);
    });
    for (int step = 0; !killed.load() && step < 200; ++step) {
      const bool claim = step % 2 == 0;
      set_claimed(claim);
      control({claim ? "on_claim" : "on_release", "-s", agenttest::kService, "-r", claim ? "true" : "false"});
      if (step % 3 == 2) sim->drop_link();
    }
    killer.join();
    ASSERT_NE(agent->wait_exit(30s), std::nullopt);

    EXPECT_TRUE(stored("zel_register_url").has_value()) << "the store no longer reads";
    const std::optional<std::string> id = stored("zel_agent_id");
    const std::optional<std::string> code = stored("zel_agent_claim_code");
    if (!id || !code) ++killed_unregistered;
    if (id) {
      EXPECT_EQ(*id, kAgentId);
    }
    if (code) {
      EXPECT_EQ(*code, kClaimCode);
    }
    expect_flag("zel_agent_registered");
    expect_flag("zel_agent_claimed");
    if (stored("zel_agent_registered") == std::optional<std::string>("1")) {
      EXPECT_TRUE(id && code) << "registered without a complete identity";
    }
  }

  std::printf("%d kills, %d before the identity was complete, %zu registration requests\n", kills,
              killed_unregistered, cloud_requests("/register"));

  // A last start: the agent comes back registered under the same identity.
  start_agent();
  ASSERT_TRUE(wait_report(kRegistered, 30s));
  EXPECT_EQ(stored("zel_agent_id").value_or(""), kAgentId);
  EXPECT_EQ(stored("zel_agent_claim_code").value_or(""), kClaimCode);
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

}  // namespace
}  // namespace soaktest
