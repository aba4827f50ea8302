// Process utilities: the pid file (created, refused, replaced when stale,
// removed on unlock), the sleep gate (a wake ends the sleeps under way and
// not one that begins after it) and the output collected from a command.
#include "daemon/daemon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

class DaemonTest : public testing::Test {
 protected:
  // Threads that sleep in the gate; each counts itself in `woken` when its sleep ends.
  struct Sleepers {
    std::shared_ptr<std::atomic<int>> woken = std::make_shared<std::atomic<int>>(0);
    std::vector<std::thread> threads;
    void start(void (*sleep)()) {
      threads.emplace_back([woken = woken, sleep] {
        sleep();
        ++*woken;
      });
    }
    ~Sleepers() {
      // A sleeper that was never woken is left behind, not waited for.
      for (std::thread& t : threads) *woken == static_cast<int>(threads.size()) ? t.join() : t.detach();
    }
  };
  zeltest::TempDir dir_;
  const std::string pid_path_ = dir_.file("agent.pid");
};

TEST_F(DaemonTest, PidFileIsTakenOnlyFromNobodyOrADeadProcess) {
  zeltest::Process ended({"/bin/true"}, "", "");
  ASSERT_EQ(ended.wait_exit(), 0);
  const std::string own = std::to_string(::getpid()) + "\n";
  const struct {
    const char* name;
    std::optional<std::string> before;  // nullopt: no file
    bool taken;
  } cases[] = {
      {"no file", std::nullopt, true},
      {"a dead process", std::to_string(ended.pid()) + "\n", true},
      {"a live process", own, false},
      {"no number", "agent\n", false},
      {"pid 0", "0\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before) zeltest::write_file(pid_path_, *c.before);
    const int fd = lock_pid_file(pid_path_.c_str());
    if (!c.taken) {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(zeltest::read_file(pid_path_), *c.before);
      ::unlink(pid_path_.c_str());
      continue;
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(zeltest::read_file(pid_path_), own);
    EXPECT_EQ(lock_pid_file(pid_path_.c_str()), -1);  // while it is held
    EXPECT_EQ(unlock_pid_file(pid_path_.c_str(), fd), 0);
    ASSERT_FALSE(zeltest::file_exists(pid_path_));
  }
  EXPECT_EQ(remove_file(pid_path_.c_str()), -1);
}

TEST_F(DaemonTest, WakeEndsEverySleepUnderWay) {
  Sleepers sleepers;
  sleepers.start([] { sleep_for(3600); });
  sleepers.start([] { sleep_for(INT32_MAX); });  // the deadline must not wrap into the past
  sleepers.start([] { wait_for_wakeup(); });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 3; }));
  EXPECT_EQ(*sleepers.woken, 0);
  wake_sleepers();
  EXPECT_TRUE(zeltest::wait_until([&] { return *sleepers.woken == 3; }));
}

TEST_F(DaemonTest, SleepBegunAfterAWakeIsNotEndedByIt) {
  wake_sleepers();
  Sleepers sleepers;
  sleepers.start([] { sleep_for(3600); });
  sleepers.start([] { wait_for_wakeup(); });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 2; }));
  EXPECT_EQ(*sleepers.woken, 0);  // still counted in the gate: still asleep
  wake_sleepers();
  EXPECT_TRUE(zeltest::wait_until([&] { return *sleepers.woken == 2; }));
  sleep_for(0);
  sleep_for(-1);
}

TEST_F(DaemonTest, CommandOutputIsCollectedWhole) {
  const struct {
    std::string command;
    std::string output;
  } cases[] = {
      {"printf 'a\\000b'", std::string("a\0b", 3)},
      {"head -c 3000 /dev/zero", std::string(3000, '\0')},
      {"printf partial; exit 3", "partial"},
      {"true", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string output = "stale";
    std::uint32_t length = 99;
    EXPECT_EQ(exec_ext_app(c.command.c_str(), &output, &length), 0);
    EXPECT_EQ(length, c.output.size());
    EXPECT_EQ(output, c.output);
  }
}

}  // namespace
