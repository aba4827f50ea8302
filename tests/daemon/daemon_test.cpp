// Process utilities: the pid file (created, refused while another process
// holds it, taken over when stale, removed on unlock), the sleep gate (a wake ends the sleeps under way and
// not one that begins after it) and the output collected from a command.
#include "daemon/daemon.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
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
  ASSERT_TRUE(zeltest::wait_until([&] { return ::waitpid(holder, nullptr, WNOHANG) == holder; }));
}

// Only a regular file serves as a pid file: a symbolic link is never
// followed (its target stays as it was, nothing is created through a
// dangling one), and nothing else makes the start wait.
TEST_F(DaemonTest, PidFileThatIsNoRegularFileIsRefusedAtOnce) {
  const std::string target = dir_.file("target");
  zeltest::write_file(target, "precious\n");
  const struct {
    const char* name;
    std::function<bool(const std::string&)> make;
    const char* refusal;
  } cases[] = {
      {"symbolic link", [&](const std::string& p) { return ::symlink(target.c_str(), p.c_str()) == 0; },
       "a symbolic link, not a regular file"},
      {"dangling link", [&](const std::string& p) { return ::symlink(dir_.file("none").c_str(), p.c_str()) == 0; },
       "a symbolic link, not a regular file"},
      {"FIFO", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, "a FIFO, not a regular file"},
      {"directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0700) == 0; },
       "a directory, not a regular file"},
      {"socket", [](const std::string& p) { return static_cast<bool>(zeltest::listen_unix(p)); },
       "a socket, not a regular file"},
      // Only root may make a device node (CI runs as root).
      {"device", [](const std::string& p) { return ::mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; },
       "a device, not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.file(std::string("pid-") + c.name);
    if (!c.make(path)) {
      ASSERT_EQ(std::string(c.name), "device") << "cannot make the " << c.name;
      continue;
    }
    // Run aside, so that a start that would wait for a FIFO's writer fails
    // here instead of hanging: the test then gives it one.
    std::atomic<bool> done{false};
    int fd = -2;
    std::optional<int> holder;
    std::string refusal;
    std::thread attempt([&] {
      holder = pid_file_holder(path.c_str());
      fd = lock_pid_file(path.c_str(), &refusal);
      done.store(true);
    });
    if (!zeltest::wait_until([&] { return done.load(); })) {
      ADD_FAILURE() << "the pid file blocks";
      for (int i = 0; i < 2 && !done.load(); ++i) ::close(::open(path.c_str(), O_RDWR | O_NONBLOCK));
    }
    attempt.join();
    EXPECT_EQ(fd, -1);
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(holder, std::nullopt);
    EXPECT_EQ(refusal, c.refusal);
  }
  EXPECT_EQ(zeltest::read_file(target), "precious\n");
  EXPECT_FALSE(zeltest::file_exists(dir_.file("none")));
}

// A wake before the sleeps begin ends none of them; the next ends them all;
// a sleep of no time or less needs none.
TEST_F(DaemonTest, WakeEndsEverySleepUnderWayAndNoneBegunAfterIt) {
  wake_sleepers();
  Sleepers sleepers;
  sleepers.start([] { sleep_for(3600); });
  sleepers.start([] { sleep_for(INT32_MAX); });  // the deadline must not wrap into the past
  sleepers.start([] { wait_for_wakeup(); });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 3; }));
  EXPECT_EQ(*sleepers.woken, 0);  // still counted in the gate: still asleep
  wake_sleepers();
  EXPECT_TRUE(zeltest::wait_until([&] { return *sleepers.woken == 3; }));
  // Nothing to sleep: back at once, without a wake.
  sleepers.start([] { sleep_for(0); });
  sleepers.start([] { sleep_for(-1); });
  EXPECT_TRUE(zeltest::wait_until([&] { return *sleepers.woken == 5; }));
}

TEST_F(DaemonTest, CommandOutputIsCollectedWhole) {
  const struct { std::string command; std::string output; } cases[] = {
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
