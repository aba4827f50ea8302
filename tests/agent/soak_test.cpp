// Faults and long runs of the real agent: a misbehaving cloud, a broker that
// cuts packets or sends garbage, handlers that are gone, links dropped over
// and over, and kills in the middle of state changes. The agent must outlive
// them, go on serving control requests and hold no more descriptors,
// threads or memory than before; every message it took is delivered or
// counted. Runs are short here; scripts/soak.sh sets ZEL_SOAK_ROUNDS and
// ZEL_SOAK_KILLS for long ones.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>

#include "agent/agent_harness.h"
#include "broker_server.h"
#include "delivery/message_sender.h"
#include "https_server.h"
#include "pvo/pvo.h"

namespace agenttest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers keep freed memory or shadow every byte: resident size grows by design.
constexpr bool kCompareMemory = false;
#else
constexpr bool kCompareMemory = true;
#endif
constexpr long kResidentGrowthLimitKib = 2048;

int soak_setting(const char* name, int short_run) {
  const char* text = std::getenv(name);
  const int value = text != nullptr ? std::atoi(text) : 0;
  return value > 0 ? value : short_run;
}

struct Resources { int descriptors = 0; int threads = 0; long resident_kib = 0; };

Resources resources_of(pid_t pid) {
  Resources r;
  const std::string proc = "/proc/" + std::to_string(pid);
  if (DIR* fds = ::opendir((proc + "/fd").c_str())) {
    while (::readdir(fds) != nullptr) ++r.descriptors;
    ::closedir(fds);
  }
  std::ifstream status(proc + "/status");
  for (std::string key; status >> key;) {
    if (key == "Threads:") status >> r.threads;
    if (key == "VmRSS:") status >> r.resident_kib;
  }
  return r;
}

class SoakTest : public AgentTest {
 protected:
  // The listener serves: send_discovery with discovery off changes nothing.
  bool control_serves() const { return control({"send_discovery", "-s", kService}).status == 0; }
};

TEST_F(SoakTest, CloudFaultsAreOutlivedWhileControlIsServed) {
  set("zel_force_connection", "1");
  sim->set_cloud_fault(zelsim::CloudFault::kServerError);
  start_agent();
  using zelsim::CloudFault;
  for (CloudFault fault : {CloudFault::kServerError, CloudFault::kGarbage, CloudFault::kRawGarbage,
                           CloudFault::kNoAnswer, CloudFault::kCutAnswer, CloudFault::kStall}) {
    SCOPED_TRACE(static_cast<int>(fault));
    sim->set_cloud_fault(fault);
    const std::size_t requests = requests_to("/register");
    ASSERT_TRUE(zeltest::wait_until([&] { return requests_to("/register") > requests; }));
    EXPECT_TRUE(control_serves());
    EXPECT_FALSE(get("zel_agent_id"));
  }
  sim->set_cloud_fault(CloudFault::kNone);
  ASSERT_TRUE(wait_report(connected_is(true)));

  // The advisor fails while the link is made again after a drop.
  for (CloudFault fault : {CloudFault::kServerError, CloudFault::kGarbage, CloudFault::kStall}) {
    SCOPED_TRACE(static_cast<int>(fault));
    const std::size_t links = sim->broker().links();
    sim->set_cloud_fault(fault, "/advisor");
    const std::size_t requests = requests_to("/advisor/v2");
    ASSERT_TRUE(sim->drop_link());
    ASSERT_TRUE(zeltest::wait_until([&] { return requests_to("/advisor/v2") > requests; }));
    EXPECT_TRUE(control_serves());
    sim->set_cloud_fault(CloudFault::kNone);
    ASSERT_TRUE(zeltest::wait_until([&] { return link_up(links); }));
  }
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakTest, CutPacketsGarbageAndDeadHandlersDoNotStopDelivery) {
  const std::string quitter = dir.file("quitter.sh");
  zeltest::write_file(quitter, "#!/bin/sh\nexit 3\n", 0755);
  set("zel_handler_down", dir.file("nobody.sock"));
  set("zel_handler_quitter", quitter);
  set("zel_force_connection", "1");
  set("zel_zelbroker_delay", "0");
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(0); }));
  zelsim::BrokerServer& broker = sim->broker();
  std::size_t delivered = 0;
  auto sample_follows = [&](const std::string& text) {
    ASSERT_TRUE(sim->send_message("sample", text));
    ASSERT_TRUE(sample_sink->wait_for(++delivered)) << text;
    EXPECT_EQ(sample_sink->payloads().back(), text);
  };

  // A plain message cut after its handler id and three bytes of its body.
  ASSERT_TRUE(broker.send_raw(std::string("\x02\x02\x00\x06sample\x00\x10" "abc", 13)));
  ASSERT_TRUE(broker.close_link());
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(1); }));
  sample_follows("after the cut");
  std::string garbage(64 * 1024, '\0');
  std::minstd_rand random(7);
  for (char& c : garbage) c = static_cast<char>(random());
  ASSERT_TRUE(broker.send_raw(garbage));
  ASSERT_TRUE(broker.close_link());
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(2); }));
  sample_follows("after the garbage");

  ASSERT_TRUE(sim->send_message("down", "to nobody"));
  sample_follows("after the handler that is down");
  ASSERT_TRUE(broker.send_plain_message("quitter", std::vector<std::string>(4, std::string(60000, 'q'))));
  sample_follows("after the handler that quit");
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakTest, LinkCyclesAndFailingAdvisorRequestsLeaveNothingBehind) {
  set("zel_force_connection", "1");
  set("zel_zelbroker_delay", "0");
  set("zel_advisor_delay", "0");
  const int rounds = soak_setting("ZEL_SOAK_ROUNDS", 20);
  constexpr int kWarmup = 5;
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return link_up(0); }));
  Resources baseline;
  for (int round = 1; round <= kWarmup + rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::size_t link = sim->broker().links();
    ASSERT_TRUE(zeltest::wait_until([&] { return link_up(link - 1); }));
    ASSERT_TRUE(sim->send_message("sample", "round " + std::to_string(round)));
    ASSERT_TRUE(sample_sink->wait_for(static_cast<std::size_t>(round)));
    // Every other round the advisor fails a few times before the new link.
    if (round % 2 == 0) sim->set_cloud_fault(zelsim::CloudFault::kGarbage, "/advisor");
    const std::size_t advisor = requests_to("/advisor/v2");
    ASSERT_TRUE(sim->drop_link());
    if (round % 2 == 0) {
      ASSERT_TRUE(zeltest::wait_until([&] { return requests_to("/advisor/v2") >= advisor + 3; }));
      sim->set_cloud_fault(zelsim::CloudFault::kNone);
    }
    ASSERT_TRUE(zeltest::wait_until([&] { return link_up(link); }));
    ASSERT_TRUE(zeltest::wait_until([&] { return count_reports(connected_is(true)) > static_cast<int>(link); }));
    if (round == kWarmup) baseline = resources_of(agent->pid());
  }
  const Resources end = resources_of(agent->pid());
  std::printf("agent after warm-up: %d fds, %d threads, %ld KiB; at the end: %d fds, %d threads, %ld KiB\n",
              baseline.descriptors, baseline.threads, baseline.resident_kib, end.descriptors, end.threads,
              end.resident_kib);
  // A round's delivery or log compression may still hold one of each.
  EXPECT_LE(end.descriptors, baseline.descriptors + 1);
  EXPECT_LE(end.threads, baseline.threads + 1);
  if (kCompareMemory) {
    EXPECT_LT(end.resident_kib - baseline.resident_kib, kResidentGrowthLimitKib);
  }
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

// The stored state stays whole whatever moment a SIGKILL hits: the store
// reads, the identity is all there or not at all (also while control
// requests write the store beside its write), the flags are 0 or 1.
TEST_F(SoakTest, StoredStateSurvivesKillsDuringStateChanges) {
  const int kills = soak_setting("ZEL_SOAK_KILLS", 6);
  std::mt19937 random(20261207);
  set("zel_zelbroker_delay", "0");
  auto stored = [](const char* key) -> std::optional<std::string> {
    char* value = nullptr;
    const int rc = pvoGet(key, &value);
    std::unique_ptr<char, decltype(&std::free)> owned(value, &std::free);
    EXPECT_GE(rc, 0) << key << ": " << pvoStrerror(rc);
    return value != nullptr && *value != '\0' ? std::optional<std::string>(value) : std::nullopt;
  };
  for (int round = 0; round < kills; ++round) {
    SCOPED_TRACE("kill " + std::to_string(round + 1));
    if (round % 2 == 0) {  // unregistered again: kills also fall into identity writes
      for (const char* key : {"zel_agent_id", "zel_agent_claim_code", "zel_agent_registered"}) set(key, "");
    }
    start_agent();
    const std::size_t kill_at = reports().size() + std::uniform_int_distribution<std::size_t>(1, 5)(random);
    std::atomic<bool> killed{false};
    std::thread killer([&] {
      zeltest::wait_until([&] { return reports().size() >= kill_at || !agent->running(); });
      agent->signal(SIGKILL);
      killed.store(true);
    });
    for (int step = 0; !killed.load() && step < 100; ++step) {
      const bool claim = step % 2 == 0;
      control({claim ? "on_claim" : "on_release", "-s", kService, "-r", claim ? "true" : "false"});
      if (step % 3 == 2) sim->drop_link();
    }
    killer.join();
    ASSERT_TRUE(agent->wait_exit());
    EXPECT_TRUE(stored("zel_register_url"));
    const std::optional<std::string> id = stored("zel_agent_id");
    EXPECT_EQ(id.has_value(), stored("zel_agent_claim_code").has_value());
    for (const char* flag : {"zel_agent_registered", "zel_agent_claimed"}) {
      const std::string value = stored(flag).value_or("0");
      EXPECT_TRUE(value == "0" || value == "1") << flag << " = " << value;
    }
    if (stored("zel_agent_registered") == std::optional<std::string>("1")) {
      EXPECT_TRUE(id);
    }
  }
}

// "<number>:<size>:" then filler up to `size` bytes: a receiver can tell a
// whole message from a cut one.
std::string ledger_message(int number, std::size_t size) {
  std::string text = std::to_string(number) + ":" + std::to_string(size) + ":";
  text.resize(std::max(size, text.size()), '.');
  return text;
}

bool whole(const std::string& payload) {
  const std::size_t colon = payload.find(':');
  return colon != std::string::npos && std::strtoul(payload.c_str() + colon + 1, nullptr, 10) == payload.size();
}

// The ledger balances: messages to a seeded random mix of healthy, slow,
// stuck, refusing and vanishing handlers, then SIGTERM; every message is
// either received whole or counted in the agent's last ERROR.
TEST_F(SoakTest, EveryMessageIsDeliveredOrCounted) {
  const int messages = soak_setting("ZEL_SOAK_ROUNDS", 60);
  const unsigned seed = static_cast<unsigned>(::getpid());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<std::unique_ptr<zeltest::HandlerSink>> sinks;
  for (const char* name : {"healthy", "slow", "stuck", "vanishing", "marker"}) {
    sinks.push_back(std::make_unique<zeltest::HandlerSink>(dir.file(std::string(name) + ".sock")));
    set(std::string("zel_handler_") + name, sinks.back()->endpoint());
  }
  sinks.push_back(std::make_unique<zeltest::HandlerSink>());  // healthy over TCP
  set("zel_handler_tcp", sinks.back()->endpoint());
  set("zel_handler_refusing", dir.file("nobody.sock"));
  sinks[1]->pace(4096, std::chrono::milliseconds(10));
  sinks[2]->hold(true);
  const std::vector<std::string> handlers = {"healthy", "slow", "stuck", "vanishing", "tcp", "refusing"};
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(connected_is(true)));

  const int vanish_at = static_cast<int>(random() % static_cast<unsigned>(messages));
  int sent = 0;
  for (int i = 0; i < messages; ++i, ++sent) {
    if (i == vanish_at) sinks[3]->vanish();
    const std::string& handler = handlers[random() % handlers.size()];
    ASSERT_TRUE(send_large(handler, ledger_message(i, 16 + random() % 300000)));
  }
  // The link delivers in order: once a marker is received, every message
  // before it has reached the agent's queue (or been refused by it).
  bool marked = false;
  for (int attempt = 0; attempt < 5 && !marked; ++attempt, ++sent) {
    ASSERT_TRUE(sim->send_message("marker", ledger_message(sent, 32)));
    marked = sinks[4]->wait_for(1);
  }
  ASSERT_TRUE(marked);
  agent->signal(SIGTERM);
  ASSERT_EQ(agent->wait_exit(std::chrono::seconds(kShutdownDrainSeconds + kHandlerProgramStopGraceSeconds) +
                             zeltest::kWaitLimit),
            0);
  sinks[2]->hold(false);  // what the agent left in the stuck handler's backlog
  const std::string text = log();
  const std::string counted_text = "Local delivery: ";
  const std::size_t at = text.find(" message(s) not delivered");
  const int counted = at == std::string::npos ? 0 : std::atoi(text.c_str() + text.rfind(counted_text, at) + counted_text.size());
  auto received = [&] {
    int whole_ones = 0;
    for (const auto& sink : sinks) {
      for (const std::string& payload : sink->payloads()) whole_ones += whole(payload) ? 1 : 0;
    }
    return whole_ones;
  };
  EXPECT_TRUE(zeltest::wait_until([&] { return received() + counted == sent; }))
      << "sent " << sent << ", received whole " << received() << ", counted " << counted;
}

}  // namespace
}  // namespace agenttest
