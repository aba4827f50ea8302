// Process utilities: the pid file (created, refused while another process
// holds it, taken over when stale, removed on unlock), the sleep gate (a wake ends the sleeps under way and
// not one that begins after it) and the output collected from a command.
#include "daemon/daemon.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
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

// A pid file is refused only while another process holds its lock; whatever
// an unlocked one holds (a dead agent's pid, nothing after a power cut) is
// stale and taken over.
TEST_F(DaemonTest, PidFileIsRefusedOnlyWhileAnotherProcessHoldsIt) {
  zeltest::Process ended({"/bin/true"}, "", "");
  ASSERT_EQ(ended.wait_exit(), 0);
  const std::string own = std::to_string(::getpid()) + "\n";
  const std::pair<const char*, std::optional<std::string>> stale[] = {
      {"no file", std::nullopt}, {"a dead process", std::to_string(ended.pid()) + "\n"},
      {"nothing", ""},           {"no number", "agent\n"},
      {"a live process", "1\n"},
  };
  for (const auto& [name, before] : stale) {
    SCOPED_TRACE(name);
    if (before) zeltest::write_file(pid_path_, *before);
    const int fd = lock_pid_file(pid_path_.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(zeltest::read_file(pid_path_), own);
    EXPECT_EQ(unlock_pid_file(pid_path_.c_str(), fd), 0);
    ASSERT_FALSE(zeltest::file_exists(pid_path_));
  }
  EXPECT_EQ(remove_file(pid_path_.c_str()), -1);
  EXPECT_EQ(pid_file_holder(pid_path_.c_str()), std::nullopt);

  // Another process holds the lock until it reads from `release`.
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  zeltest::write_file(pid_path_, "held\n");
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    const int fd = ::open(pid_path_.c_str(), O_RDWR);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    char byte = ::fcntl(fd, F_SETLK, &whole) == 0 ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) < 0) ::_exit(1);
    ::_exit(0);
  }
  char locked = 0;
  ASSERT_EQ(::read(ready[0], &locked, 1), 1);
  EXPECT_EQ(locked, 'y');
  EXPECT_EQ(lock_pid_file(pid_path_.c_str()), -1);
  EXPECT_EQ(zeltest::read_file(pid_path_), "held\n");
  EXPECT_EQ(pid_file_holder(pid_path_.c_str()), std::optional<int>(holder));
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
  ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
  const int fd = lock_pid_file(pid_path_.c_str());
  EXPECT_GE(fd, 0);
  EXPECT_EQ(unlock_pid_file(pid_path_.c_str(), fd), 0);
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
