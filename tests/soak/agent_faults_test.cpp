// The agent among failing peers and a failing device: a zelCloud that
// answers 500, garbage, nothing or too late; a zelbroker that closes in the
// middle of a packet or sends garbage; handlers that are down, slow or exit
// early; a log that cannot be written; a store that cannot be written. In
// every case the agent logs, goes on with its work once the fault is gone,
// and serves control requests throughout.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/fake_zelbroker.h"
#include "soak/soak_agent.h"

namespace soaktest {
namespace {

using namespace std::chrono_literals;

constexpr auto kConnected = [](const agenttest::Report& r) { return r.event == 4 && r.connected; };
constexpr auto kRegistered = [](const agenttest::Report& r) { return r.registered; };

// A body bigger than any socket buffer, so a handler that does not read
// holds the writer; cut into parts the framing can carry.
std::vector<std::string> big_body_parts() {
  constexpr std::size_t kPartBytes = 60000;
  constexpr std::size_t kParts = 40;
  return std::vector<std::string>(kParts, std::string(kPartBytes, 'x'));
}

// Bytes that look like nothing in particular (a fixed xorshift stream).
std::string garbage(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 0x12345678u;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state & 0xFF);
  }
  return bytes;
}

using SoakFaults = SoakAgent;

TEST_F(SoakFaults, CloudFaultsAreOutlivedAndControlRequestsServedThroughout) {
  set("zel_force_connection", "1");
  set("zel_advisor_delay", "1");
  set_cloud_fault(CloudFault::kServerError);
  start_agent();

  for (CloudFault fault : {CloudFault::kServerError, CloudFault::kGarbage, CloudFault::kRawGarbage,
                           CloudFault::kNoAnswer, CloudFault::kCutAnswer, CloudFault::kStall}) {
    SCOPED_TRACE(fault_name(fault));
    set_cloud_fault(fault);
    const int failures = times_logged("Registration failed.");
    const std::size_t requests = cloud_requests("/register");
    ASSERT_TRUE(zeltest::wait_until([&] { return cloud_requests("/register") > requests; }, 30s));
    EXPECT_TRUE(control_serves());
    ASSERT_TRUE(wait_logged("Registration failed.", 30s));
    EXPECT_TRUE(zeltest::wait_until([&] { return times_logged("Registration failed.") > failures; }, 30s));
    EXPECT_FALSE(get("zel_agent_id").has_value());
    EXPECT_TRUE(agent->running());
  }

  set_cloud_fault(CloudFault::kNone);
  ASSERT_TRUE(wait_report(kRegistered, 30s));
  EXPECT_EQ(get("zel_agent_id").value_or(""), kAgentId);
  ASSERT_TRUE(wait_report(kConnected, 30s));

  // The advisor fails while the link is made again after a drop.
  for (CloudFault fault : {CloudFault::kServerError, CloudFault::kGarbage, CloudFault::kStall}) {
    SCOPED_TRACE(fault_name(fault));
    const std::size_t links = sim->broker().links();
    set_cloud_fault(fault, "/advisor");
    const std::size_t requests = cloud_requests("/advisor");
    ASSERT_TRUE(sim->drop_link());
    ASSERT_TRUE(zeltest::wait_until([&] { return cloud_requests("/advisor") >= requests + 2; }, 30s));
    EXPECT_TRUE(control_serves());
    EXPECT_EQ(sim->broker().links(), links);
    set_cloud_fault(CloudFault::kNone);
    ASSERT_TRUE(zeltest::wait_until([&] { return linked_on(links); }, 30s));
  }
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakFaults, BrokerClosingMidPacketOrSendingGarbageIsOutlived) {
  set("zel_force_connection", "1");
  set("zel_zelbroker_delay", "0");
  start_agent();
  ASSERT_TRUE(zeltest::wait_until([&] { return linked_on(0); }, 30s));
  zeltest::FakeZelbroker& broker = sim->broker();

  // A plain message cut after its handler id and three bytes of its body.
  const std::string cut = std::string("\x02\x02\x00\x06sample\x00\x10" "abc", 13);
  ASSERT_TRUE(broker.send_raw(cut));
  ASSERT_TRUE(broker.flush());
  ASSERT_TRUE(broker.close_link());
  ASSERT_TRUE(zeltest::wait_until([&] { return linked_on(1); }, 30s));
  EXPECT_TRUE(control_serves());
  ASSERT_TRUE(sim->send_message("sample", "after the cut"));
  ASSERT_TRUE(sample_sink->wait_for(1));
  EXPECT_EQ(sample_sink->payloads(), std::vector<std::string>{"after the cut"});

  // Garbage: whatever the framing makes of it, the agent goes on.
  ASSERT_TRUE(broker.send_raw(garbage(64 * 1024)));
  ASSERT_TRUE(broker.flush());
  EXPECT_TRUE(control_serves());
  ASSERT_TRUE(broker.close_link());
  ASSERT_TRUE(zeltest::wait_until([&] { return linked_on(2); }, 30s));
  const std::size_t before = sample_sink->received();
  ASSERT_TRUE(sim->send_message("sample", "after the garbage"));
  ASSERT_TRUE(sample_sink->wait_for(before + 1));
  EXPECT_EQ(sample_sink->payloads().back(), "after the garbage");
  EXPECT_TRUE(control_serves());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakFaults, HandlersDownSlowOrExitingEarlyDoNotStopDelivery) {
  const std::string quitter = dir.file("quitter.sh");
  zeltest::write_file(quitter, "#!/bin/sh\nexit 3\n");
  ::chmod(quitter.c_str(), 0755);
  zeltest::SilentListener stalled(dir.file("slow.sock"));
  set("zel_handler_down", dir.file("nobody-listens.sock"));
  set("zel_handler_slow", stalled.endpoint());
  set("zel_handler_quitter", quitter);
  set("zel_force_connection", "1");
  start_agent();
  ASSERT_TRUE(wait_report(kConnected, 30s));

  std::size_t delivered = 0;
  auto sample_follows = [&](const std::string& text) {
    EXPECT_TRUE(sim->send_message("sample", text));
    ++delivered;
    EXPECT_TRUE(sample_sink->wait_for(delivered, 60s)) << text;
    EXPECT_EQ(sample_sink->payloads().back(), text);
  };

  ASSERT_TRUE(sim->send_message("down", "to nobody"));
  sample_follows("after the handler that is down");

  ASSERT_TRUE(sim->send_message("quitter", "a small message"));
  sample_follows("after the handler that quit");
  ASSERT_TRUE(sim->broker().send_plain_message("quitter", big_body_parts()));
  sample_follows("after a big message to the handler that quit");

  // The slow handler holds the message thread until the write gives up;
  // control requests are served meanwhile.
  ASSERT_TRUE(sim->broker().send_plain_message("slow", big_body_parts()));
  ASSERT_TRUE(zeltest::wait_until([&] { return stalled.contacted(); }, 30s));
  EXPECT_TRUE(control_serves());
  sample_follows("after the slow handler");
  EXPECT_TRUE(agent->running());
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakFaults, UnwritableLogDoesNotStopTheAgent) {
  set("zel_force_connection", "1");
  // Every write to /dev/full fails with ENOSPC, as in a full log folder.
  start_agent({"--log-file", "/dev/full"});
  ASSERT_TRUE(wait_report(kRegistered, 30s));
  ASSERT_TRUE(wait_report(kConnected, 30s));
  EXPECT_TRUE(control_serves());
  ASSERT_TRUE(sim->send_message("sample", "with a full log"));
  EXPECT_TRUE(sample_sink->wait_for(1));
  EXPECT_NE(zeltest::read_file(dir.file("agent.err")).find("Log rotation function failed"), std::string::npos);
  EXPECT_EQ(stop_agent(), 0);
}

TEST_F(SoakFaults, UnwritableStoreDoesNotStopTheAgent) {
  set("zel_force_connection", "1");
  // A folder where the store's commit puts its temporary file: every commit
  // fails, while the committed settings can still be read.
  ASSERT_EQ(::mkdir(dir.file("store/store.tmp").c_str(), 0700), 0);
  start_agent();
  ASSERT_TRUE(wait_report(kRegistered, 30s));
  ASSERT_TRUE(wait_report(kConnected, 30s));
  EXPECT_TRUE(wait_logged("Can't commit nvram"));
  EXPECT_TRUE(control_serves());
  ASSERT_TRUE(sim->send_message("sample", "with a read-only store"));
  EXPECT_TRUE(sample_sink->wait_for(1));
  // Nothing was stored, and the store itself is unharmed.
  EXPECT_FALSE(get("zel_agent_id").has_value());
  EXPECT_TRUE(get("zel_register_url").has_value());
  EXPECT_EQ(stop_agent(), 0);
}

}  // namespace
}  // namespace soaktest
