// Local delivery in the real agent: a stuck and a slow handler beside a
// healthy one, a burst to a slow program, programs that never end or leave
// children behind, and the stop's one deadline.
#include <filesystem>

#include "agent/agent_harness.h"
#include "delivery/message_sender.h"

namespace agenttest {
namespace {

using Clock = std::chrono::steady_clock;

// The longest a stop may take: the drain, the programs' grace, and slack for
// a busy machine.
const auto kStopBound = std::chrono::seconds(kShutdownDrainSeconds + kHandlerProgramStopGraceSeconds) + zeltest::kWaitLimit;

class DeliveryAgentTest : public AgentTest {
 protected:
  void start_connected() {
    set("zel_force_connection", "1");
    start_agent();
    ASSERT_TRUE(wait_report(connected_is(true)));
  }
  // SIGTERM; the exit status and how long the agent took.
  std::pair<int, Clock::duration> stop_timed() {
    const auto start = Clock::now();
    agent->signal(SIGTERM);
    const int status = agent->wait_exit(std::chrono::duration_cast<std::chrono::milliseconds>(kStopBound)).value_or(-2);
    return {status, Clock::now() - start};
  }
};

// A handler that never takes its connections and one that reads at 20 KB/s
// delay nobody: the healthy handler gets its messages long before the stuck
// one times out, and SIGTERM ends the agent within the drain deadline,
// cutting the slow write, with what was dropped counted.
TEST_F(DeliveryAgentTest, StuckAndSlowHandlersDelayNobodyAndTheStopKeepsItsDeadline) {
  zeltest::HandlerSink stuck(dir.file("stuck.sock"));
  zeltest::HandlerSink slow(dir.file("slow.sock"));
  stuck.hold(true);
  slow.pace(2048, std::chrono::milliseconds(100));
  set("zel_handler_stuck", stuck.endpoint());
  set("zel_handler_slow", slow.endpoint());
  ASSERT_NO_FATAL_FAILURE(start_connected());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(send_large("stuck", std::string(200000, 's')));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(send_large("slow", std::string(600000, 'w')));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(sim->send_message("slow", "small"));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(sim->send_message("sample", std::to_string(i)));
  ASSERT_TRUE(sample_sink->wait_for(20));
  EXPECT_FALSE(log().find("made no progress") != std::string::npos);
  const auto [status, took] = stop_timed();
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, kStopBound);
  EXPECT_TRUE(wait_logged("queued message(s) dropped: not delivered within the shut-down's 20 s."));
  EXPECT_TRUE(wait_logged("dropped at shut-down"));
  EXPECT_LT(log().find("message(s) not delivered"), log().find("zelagent stopped."));
}

// A program that reads its input at once and then works: a burst of 14 runs
// 8 at a time, the rest wait for slots and none is lost, while another
// handler is served at once.
TEST_F(DeliveryAgentTest, ABurstToASlowProgramWaitsForSlotsAndLosesNothing) {
  const std::string program = dir.file("slow.sh");
  zeltest::write_file(program, "#!/bin/sh\ncat >" + dir.file("in.") + "$$\nexec sleep 2\n", 0755);
  set("zel_handler_worker", program);
  ASSERT_NO_FATAL_FAILURE(start_connected());
  for (int i = 0; i < 14; ++i) ASSERT_TRUE(sim->send_message("worker", "job " + std::to_string(i)));
  ASSERT_TRUE(sim->send_message("sample", "not held"));
  auto inputs = [&] {
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      found += entry.path().filename().string().rfind("in.", 0) == 0 ? 1 : 0;
    }
    return found;
  };
  ASSERT_TRUE(sample_sink->wait_for(1));
  EXPECT_LE(inputs(), kHandlerProgramsPerHandler);
  ASSERT_TRUE(zeltest::wait_until([&] { return inputs() == 14; }));
  EXPECT_EQ(stop_timed().first, 0);
  EXPECT_EQ(log().find("message(s) not delivered"), std::string::npos);
}

// A program that ignores SIGTERM and never ends, and programs that start a
// child and exit, in their session or a new one (the children hold the
// slots): none outlives the agent, and the stubborn ones are killed after
// their grace.
TEST_F(DeliveryAgentTest, NoHandlerProgramNorAChildItLeavesOutlivesTheAgent) {
  // Ten minutes, written so as to tell this run's sleeps from other runs' on the machine.
  const std::string seconds = "600." + std::to_string(::getpid());
  const std::pair<std::string, std::string> programs[] = {
      {"stubborn", "trap '' TERM\nexec sleep " + seconds},
      {"plain", "sleep " + seconds + " </dev/null >/dev/null 2>&1 &"},
      {"setsid", "setsid sleep " + seconds + " </dev/null >/dev/null 2>&1 &"}};
  // Without a child subreaper (qemu-user) only the program itself can be followed.
  const std::size_t kinds = zeltest::child_subreaper_supported() ? 3 : 1;
  for (std::size_t i = 0; i < kinds; ++i) {
    zeltest::write_file(dir.file(programs[i].first), "#!/bin/sh\n" + programs[i].second + "\n", 0755);
    set("zel_handler_" + programs[i].first, dir.file(programs[i].first));
  }
  ASSERT_NO_FATAL_FAILURE(start_connected());
  for (int i = 0; i < kHandlerProgramsPerHandler; ++i) {
    for (std::size_t k = 0; k < kinds; ++k) ASSERT_TRUE(sim->send_message(programs[k].first, "x"));
  }
  const std::string sleeping = std::string("sleep") + '\0' + seconds + '\0';
  const int started = static_cast<int>(kinds) * kHandlerProgramsPerHandler;
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::processes_with(sleeping) == started; }));
  EXPECT_EQ(stop_timed().first, 0);
  EXPECT_EQ(zeltest::processes_with(sleeping), 0);
  EXPECT_TRUE(log().find("8 handler program(s) still ran 3 s after SIGTERM: killed.") != std::string::npos);
}

}  // namespace
}  // namespace agenttest
