// The discovery window on a clock the test moves (the uptime offset) against
// the fake zelCloud and the fake zelbroker: its length, its extension, a
// failed push, a claim seen at a wake-up, the end of the window with and
// without zel_force_connection, the one discovery thread and its single reap.
#include "control_listener/discovery.h"

#include <future>

#include "broker/zelbroker_connection.h"
#include "cloud/http_helper.h"
#include "config/config.h"
#include "control_listener/agent_core.h"
#include "daemon/daemon.h"

namespace srvtest {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kLongWindow = 600;
constexpr const char* kThreadSleeps = "Sleep in discovery thread for ";

// The discovery thread has closed the window and left its routine.
bool window_closed() { return discovery_testing::deadline() == 0 && !discovery_testing::thread_running(); }

class DiscoveryTest : public AgentCore {
 protected:
  discovery_request request(std::int32_t seconds = 0) const {
    discovery_request made;
    made.service = kService;
    made.discovery_time = seconds;
    return made;
  }

  // Moves the clock past the window and wakes the discovery thread until it
  // has ended (it asks the cloud for the claim status once more first).
  void run_out_the_window() {
    discovery_testing::set_uptime_offset(discovery_testing::deadline() + 1000);
    ASSERT_TRUE(zeltest::wait_until([] {
      wake_sleepers();
      return window_closed();
    }));
  }

  // Checks that a push made between `before` and `after` (uptimes) set the
  // deadline `seconds` after it.
  void expect_deadline(long before, long after, long seconds) {
    EXPECT_GE(discovery_testing::deadline(), before + seconds);
    EXPECT_LE(discovery_testing::deadline(), after + seconds);
  }
};

TEST_F(DiscoveryTest, WindowLengthComesFromTheRequestOrTheClaimCheck) {
  struct Case {
    const char* name;
    const char* claim_check;  // null: the default
    std::int32_t discovery_time;
    long window;
  };
  const Case cases[] = {
      {"default claim check", nullptr, 0, 3600},
      {"stored claim check", "120", 0, 120},
      {"negative time takes the claim check", "90", -5, 90},
      {"request time", "90", 45, 45},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    discovery_testing::end_window_and_join();
    config_set(kKeyClaimCheck, c.claim_check ? c.claim_check : "");
    reload_context();
    const long before = uptime_seconds();
    const discovery_request made = request(c.discovery_time);
    ASSERT_EQ(push_discovery(&made, &context), 0);
    expect_deadline(before, uptime_seconds(), c.window);
    EXPECT_EQ(discovery_pending(), 1);
    EXPECT_EQ(keep_connection.load(), 1);
  }
}

TEST_F(DiscoveryTest, LaterPushExtendsTheWindowShorterOneLeavesIt) {
  const discovery_request long_push = request(kLongWindow);
  ASSERT_EQ(push_discovery(&long_push, &context), 0);
  const int threads = discovery_testing::threads_started();
  const std::int32_t first = discovery_testing::deadline();

  // Ten seconds later the same push extends the window by ten seconds.
  discovery_testing::set_uptime_offset(10);
  ASSERT_EQ(push_discovery(&long_push, &context), 0);
  const std::int32_t extended = discovery_testing::deadline();
  EXPECT_GE(extended, first + 10);
  EXPECT_LE(extended, first + 11);

  // A shorter window is still announced but leaves the deadline.
  const discovery_request short_push = request(60);
  ASSERT_EQ(push_discovery(&short_push, &context), 0);
  EXPECT_EQ(discovery_testing::deadline(), extended);
  EXPECT_EQ(requests_to(kDiscoveryPath), 3u);

  // One discovery thread and one broker start throughout.
  EXPECT_EQ(discovery_testing::threads_started(), threads);
  EXPECT_TRUE(logged("Setting new discovery time.\n"));
  EXPECT_EQ(times_logged("zelbroker thread already started.\n"), 0);
}

TEST_F(DiscoveryTest, FailedPushOpensNothingButReapsTheEndedThread) {
  const discovery_request made = request(kLongWindow);
  ASSERT_EQ(push_discovery(&made, &context), 0);
  run_out_the_window();
  ASSERT_TRUE(discovery_testing::thread_recorded());  // ended, not yet joined
  discovery_testing::set_uptime_offset(0);

  answer_discovery(500);
  EXPECT_EQ(push_discovery(&made, &context), -5);
  EXPECT_FALSE(discovery_testing::thread_recorded());
  EXPECT_EQ(times_logged("before join discovery thread.\n"), 1);
  EXPECT_EQ(times_logged("after  join discovery thread.\n"), 1);
  EXPECT_TRUE(logged("Failed to send discovery.\n"));
  EXPECT_EQ(discovery_testing::deadline(), 0);
  EXPECT_EQ(discovery_pending(), 0);
  EXPECT_EQ(keep_connection.load(), 0);
}

TEST_F(DiscoveryTest, FailedFirstPushStartsNothing) {
  answer_discovery(403);
  const discovery_request made = request();
  const int threads = discovery_testing::threads_started();
  EXPECT_EQ(push_discovery(&made, &context), -5);
  EXPECT_EQ(discovery_testing::threads_started(), threads);
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_EQ(push_discovery(nullptr, &context), kDiscoveryNoRequest);
  EXPECT_TRUE(logged("If you want to make discovery request, please provide service id\n"));
}

TEST_F(DiscoveryTest, ClaimSeenAtWakeUpEndsTheThreadAndKeepsTheLink) {
  const discovery_request made = request(kLongWindow);
  ASSERT_EQ(push_discovery(&made, &context), 0);
  ASSERT_TRUE(broker->wait_for_links(1));
  answer_claimed(true);
  // Woken early, well inside the window.
  ASSERT_TRUE(zeltest::wait_until([] {
    wake_sleepers();
    return window_closed();
  }));
  EXPECT_EQ(discovery_testing::deadline(), 0);
  EXPECT_EQ(agent_claimed(), 1);
  EXPECT_EQ(keep_connection.load(), 1);
  EXPECT_FALSE(broker->closed_by_agent(0));
  EXPECT_TRUE(logged("discovery thread ended.\n"));
}

TEST_F(DiscoveryTest, WindowRunningOutStopsTheLinkUnlessForced) {
  for (const char* forced : {"0", "1"}) {
    SCOPED_TRACE(std::string("zel_force_connection ") + forced);
    config_set(kKeyForceConnection, forced);
    discovery_testing::set_uptime_offset(0);
    const discovery_request made = request(kLongWindow);
    const int sleeps = times_logged(kThreadSleeps);
    ASSERT_EQ(push_discovery(&made, &context), 0);
    ASSERT_EQ(keep_connection.load(), 1);
    const std::size_t claims = requests_to(kClaimedPath);
    // The thread has begun its wait before the clock moves.
    ASSERT_TRUE(zeltest::wait_until([&] { return times_logged(kThreadSleeps) > sleeps; }));
    run_out_the_window();
    EXPECT_EQ(requests_to(kClaimedPath), claims + 1);  // asked once after the wait
    EXPECT_EQ(discovery_testing::deadline(), 0);
    EXPECT_EQ(keep_connection.load(), forced[0] == '1' ? 1 : 0);
  }
}

TEST_F(DiscoveryTest, ShortWindowEndsOnItsOwn) {
  const discovery_request made = request(1);
  ASSERT_EQ(push_discovery(&made, &context), 0);
  ASSERT_TRUE(broker->wait_for_links(1));
  EXPECT_TRUE(zeltest::wait_until(window_closed, 15s));
  EXPECT_EQ(keep_connection.load(), 0);
  EXPECT_TRUE(broker->wait_for_link_closed(0));
  EXPECT_TRUE(broker->closed_by_agent(0));
}

TEST_F(DiscoveryTest, OverlappingPushesReapTheEndedThreadOnce) {
  const discovery_request made = request(kLongWindow);
  ASSERT_EQ(push_discovery(&made, &context), 0);
  run_out_the_window();
  discovery_testing::set_uptime_offset(0);
  const int threads = discovery_testing::threads_started();

  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  auto push = [&] {
    start.wait();
    return push_discovery(&made, &context);
  };
  auto first = std::async(std::launch::async, push);
  auto second = std::async(std::launch::async, push);
  go.set_value();
  EXPECT_EQ(first.get(), 0);
  EXPECT_EQ(second.get(), 0);
  EXPECT_EQ(times_logged("before join discovery thread.\n"), 1);
  EXPECT_EQ(discovery_testing::threads_started(), threads + 1);
  EXPECT_TRUE(discovery_testing::thread_recorded());
}

TEST_F(DiscoveryTest, RunRulesOfTheBrokerLink) {
  struct Case {
    const char* name;
    const char* forced;
    int claimed;
    bool window;
    int expected;
  };
  const Case cases[] = {
      {"no reason", "0", 0, false, 0},
      {"forced", "1", 0, false, 1},
      {"claimed", "0", 1, false, 1},
      {"in a window", "0", 0, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stop_broker_thread();
    config_set(kKeyForceConnection, c.forced);
    set_claimed(c.claimed);
    if (c.window) {
      const discovery_request made = request(kLongWindow);
      ASSERT_EQ(push_discovery(&made, &context), 0);
      stop_broker_thread();
    }
    EXPECT_EQ(start_broker_thread_if_allowed(&context), 0);
    EXPECT_EQ(keep_connection.load(), c.expected);
  }

  // A forced link is not stopped; otherwise it is.
  config_set(kKeyForceConnection, "1");
  EXPECT_EQ(stop_broker_thread_unless_forced(), -1);
  EXPECT_EQ(keep_connection.load(), 1);
  config_set(kKeyForceConnection, "0");
  EXPECT_EQ(stop_broker_thread_unless_forced(), 0);
  EXPECT_EQ(keep_connection.load(), 0);
}

TEST_F(DiscoveryTest, UptimeIsSecondsSinceBootPlusTheTestOffset) {
  const long real = uptime_seconds();
  EXPECT_GT(real, 0);
  discovery_testing::set_uptime_offset(1000);
  EXPECT_GE(uptime_seconds(), real + 1000);
  EXPECT_LE(uptime_seconds(), real + 1001);
}

}  // namespace
}  // namespace srvtest
