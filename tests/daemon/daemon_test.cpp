#include "daemon/daemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

class DaemonTest : public ::testing::Test {
 protected:
  bool logged(const std::string& text) const { return log_.contains(text); }
  zeltest::TempDir dir_;
  zeltest::LogCapture log_{dir_.file("daemon.log")};
};

int wait_child(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pid that no longer names a process: a child that has exited and been reaped.
pid_t dead_pid() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  wait_child(pid);
  return pid;
}

// --- The sleep gate ---

TEST_F(DaemonTest, SleepOfZeroOrLessReturnsAtOnce) {
  sleep_for(0);
  sleep_for(-5);
  EXPECT_TRUE(logged("exit sleep_for 0 secs\n"));
  EXPECT_TRUE(logged("exit sleep_for -5 secs\n"));
}

TEST_F(DaemonTest, OneWakeEndsEverySleepUnderWay) {
  std::atomic<int> done{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < 3; ++i) {
    sleepers.emplace_back([&done] {
      sleep_for(3600);
      ++done;
    });
  }
  // The longest sleep there is must be woken too, not overflow into the past.
  sleepers.emplace_back([&done] {
    sleep_for(INT32_MAX);
    ++done;
  });
  sleepers.emplace_back([&done] {
    wait_for_wakeup();
    ++done;
  });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 5; }));
  EXPECT_EQ(done.load(), 0);
  wake_sleepers();
  EXPECT_TRUE(zeltest::wait_until([&done] { return done.load() == 5; }));
  for (auto& t : sleepers) t.join();
  EXPECT_EQ(daemon_testing::gate_sleepers(), 0);
}

TEST_F(DaemonTest, SleepBegunAfterAWakeIsNotEndedByIt) {
  wake_sleepers();
  std::atomic<bool> done{false};
  std::thread late([&done] {
    wait_for_wakeup();
    done = true;
  });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 1; }));
  // Still asleep a while later: the earlier wake does not count for it.
  EXPECT_FALSE(zeltest::wait_until([&done] { return done.load(); }, 300ms));
  wake_sleepers();
  EXPECT_TRUE(zeltest::wait_until([&done] { return done.load(); }));
  late.join();

  auto start = std::chrono::steady_clock::now();
  sleep_for(1);  // the wakes above are over: this sleep runs its full time
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
}

TEST_F(DaemonTest, SleepersStartingRightAfterAWakeDoNotSwallowIt) {
  // Late sleepers rush into the gate right after the wake, while the first
  // one has yet to see it: the first must end all the same.
  constexpr int kLate = 6;
  std::atomic<bool> first_done{false};
  std::atomic<int> late_done{0};
  std::atomic<bool> go{false};
  std::thread first([&] {
    sleep_for(3600);
    first_done = true;
  });
  ASSERT_TRUE(zeltest::wait_until([] { return daemon_testing::gate_sleepers() == 1; }));
  std::vector<std::thread> late;
  for (int i = 0; i < kLate; ++i) {
    late.emplace_back([&] {
      while (!go) {
      }
      sleep_for(3600);
      ++late_done;
    });
  }
  wake_sleepers();
  go = true;
  EXPECT_TRUE(zeltest::wait_until([&] { return first_done.load(); }));
  first.join();
  // Release the late sleepers, whether or not they entered before the wake.
  EXPECT_TRUE(zeltest::wait_until([&] {
    wake_sleepers();
    return late_done.load() == kLate;
  }));
  for (auto& t : late) t.join();
}

extern "C" void ignore_signal(int) {}

TEST_F(DaemonTest, InterruptableSleepEndsOnASignal) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
  std::atomic<bool> done{false};
  std::thread sleeper([&done] {
    sleep_forever_interruptable();
    done = true;
  });
  // A signal that lands before the sleep begins is missed: send until it ends.
  pthread_t handle = sleeper.native_handle();
  EXPECT_TRUE(zeltest::wait_until([&] {
    if (!done) pthread_kill(handle, SIGUSR2);
    return done.load();
  }));
  sleeper.join();
  EXPECT_TRUE(logged("Exiting sleeping sleep_forever_interruptable.\n"));
  ::sigaction(SIGUSR2, &previous, nullptr);
}

// --- The pid file ---

// Whether another process sees a write lock on `path` held by `owner`.
bool locked_by(const std::string& path, pid_t owner) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_RDONLY);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (fd < 0 || ::fcntl(fd, F_GETLK, &probe) != 0) ::_exit(2);
    ::_exit(probe.l_type == F_WRLCK && probe.l_pid == owner ? 0 : 1);
  }
  return wait_child(pid) == 0;
}

TEST_F(DaemonTest, PidFileIsCreatedLockedAndRemoved) {
  std::string path = dir_.file("agent.pid");
  int fd = lock_pid_file(path.c_str());
  ASSERT_GE(fd, 0);
  // Checked first: closing any descriptor of the file in this process (as
  // reading it does) releases this process's record locks.
  EXPECT_TRUE(locked_by(path, ::getpid()));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777 & ~0660u, 0u);
  // A second start while this one runs is refused.
  EXPECT_EQ(lock_pid_file(path.c_str()), -1);
  EXPECT_TRUE(logged("Daemon is already running.\n"));
  EXPECT_EQ(zeltest::read_file(path), std::to_string(::getpid()) + "\n");
  // A second start while this one runs is refused.
  EXPECT_EQ(lock_pid_file(path.c_str()), -1);
  EXPECT_TRUE(logged("Daemon is already running.\n"));

  EXPECT_EQ(unlock_pid_file(path.c_str(), fd), 0);
  EXPECT_FALSE(zeltest::file_exists(path));
}

TEST_F(DaemonTest, StalePidFileIsReplaced) {
  std::string path = dir_.file("agent.pid");
  zeltest::write_file(path, std::to_string(dead_pid()) + "\n");
  int fd = lock_pid_file(path.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(locked_by(path, ::getpid()));
  EXPECT_EQ(zeltest::read_file(path), std::to_string(::getpid()) + "\n");
  EXPECT_TRUE(logged("Remove not associated pid file.\n"));
  EXPECT_EQ(unlock_pid_file(path.c_str(), fd), 0);
}

TEST_F(DaemonTest, PidFileOfALiveOrUnknownOwnerIsRefusedAndKept) {
  const struct {
    std::string content;
    const char* message;
  } cases[] = {
      {std::to_string(::getppid()) + "\n", "Daemon is already running.\n"},
      {"not a pid\n", "Error reading data from pid file - possibly data is in wrong format\n"},
      {"", "Error reading data from pid file - possibly data is in wrong format\n"},
      // No process has pid 0 or less (kill would probe a whole group).
      {"0\n", "Error reading data from pid file - possibly data is in wrong format\n"},
      {"-1\n", "Error reading data from pid file - possibly data is in wrong format\n"},
  };
  std::string path = dir_.file("agent.pid");
  for (const auto& c : cases) {
    SCOPED_TRACE("content '" + c.content + "'");
    zeltest::write_file(path, c.content);
    EXPECT_EQ(lock_pid_file(path.c_str()), -1);
    EXPECT_TRUE(logged(c.message));
    EXPECT_EQ(zeltest::read_file(path), c.content);
  }
}

TEST_F(DaemonTest, PidFileOutsideAnyFolderIsRefused) {
  zeltest::write_file(dir_.file("plain"), "x");
  std::string path = dir_.file("plain/agent.pid");  // under a regular file
  EXPECT_EQ(lock_pid_file(path.c_str()), -1);
  EXPECT_TRUE(logged("lock file access().\n"));
}

TEST_F(DaemonTest, RacingStartsOverAStaleFileLeaveOneOwner) {
  constexpr int kStarters = 4;
  std::string path = dir_.file("agent.pid");
  zeltest::write_file(path, std::to_string(dead_pid()) + "\n");
  int go[2];
  int results[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(results), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kStarters; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char byte;
      ::close(go[1]);
      if (::read(go[0], &byte, 1) != 0) ::_exit(3);
      char won = lock_pid_file(path.c_str()) >= 0 ? 'y' : 'n';
      if (::write(results[1], &won, 1) != 1) ::_exit(4);
      // The winner keeps its lock until the parent has looked.
      if (won == 'y' && ::read(go[0], &byte, 1) < 0) ::_exit(5);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(results[1]);
  ::close(go[1]);  // all start together
  int winners = 0;
  for (int i = 0; i < kStarters; ++i) {
    char won = 0;
    ASSERT_EQ(::read(results[0], &won, 1), 1);
    winners += won == 'y';
  }
  ::close(results[0]);
  EXPECT_LE(winners, 1);
  std::string content = zeltest::read_file(path);
  if (winners == 1) {
    bool owner_found = false;
    for (pid_t pid : children) owner_found |= content == std::to_string(pid) + "\n";
    EXPECT_TRUE(owner_found) << content;
  }
  for (pid_t pid : children) EXPECT_EQ(wait_child(pid), 0);
}

TEST_F(DaemonTest, UnlockOfADeletedFileFails) {
  std::string path = dir_.file("agent.pid");
  int fd = lock_pid_file(path.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_EQ(unlock_pid_file(path.c_str(), fd), -1);
  EXPECT_TRUE(logged("remove_file() after unlock " + path + "\n"));
  EXPECT_EQ(remove_file(path.c_str()), -1);
  zeltest::write_file(path, "x");
  EXPECT_EQ(remove_file(path.c_str()), 0);
  EXPECT_FALSE(zeltest::file_exists(path));
}

// --- daemonize ---

TEST_F(DaemonTest, DaemonizeDetachesTheGrandchild) {
  std::string report = dir_.file("report");
  std::string done = dir_.file("done");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (daemonize() != 0) ::_exit(9);
    // Only the detached grandchild comes here, with no descriptor but 0-2.
    char cwd[64] = "";
    if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '?';
    mode_t mask = ::umask(0);
    char targets[3][64] = {};
    for (int fd = 0; fd < 3; ++fd) {
      std::string link = "/proc/self/fd/" + std::to_string(fd);
      if (::readlink(link.c_str(), targets[fd], sizeof targets[fd] - 1) < 0) targets[fd][0] = '?';
    }
    int extra = ::fcntl(3, F_GETFD) == -1 ? 0 : 1;
    std::FILE* f = std::fopen(report.c_str(), "w");
    if (f == nullptr) ::_exit(1);
    std::fprintf(f, "%d %d %d %s %o %s %s %s %d\n", static_cast<int>(::getpid()),
                 static_cast<int>(::getsid(0)), static_cast<int>(::getpgrp()), cwd,
                 static_cast<unsigned>(mask), targets[0], targets[1], targets[2], extra);
    std::fclose(f);
    ::rename(report.c_str(), done.c_str());
    ::_exit(0);
  }
  EXPECT_EQ(wait_child(child), 0);  // the caller exits with status 0
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(done); }));

  int pid = 0, sid = 0, pgrp = 0, extra = -1;
  unsigned mask = 0;
  char cwd[64], in[64], out[64], err[64];
  std::FILE* f = std::fopen(done.c_str(), "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fscanf(f, "%d %d %d %63s %o %63s %63s %63s %d", &pid, &sid, &pgrp, cwd, &mask, in,
                        out, err, &extra),
            9);
  std::fclose(f);
  EXPECT_NE(pid, child);
  EXPECT_NE(sid, static_cast<int>(::getsid(0)));  // a session of its own...
  EXPECT_NE(sid, pid);                            // ...that it does not lead
  EXPECT_EQ(pgrp, sid);
  EXPECT_STREQ(cwd, "/");
  EXPECT_EQ(mask, 0u);
  EXPECT_STREQ(in, "/dev/null");
  EXPECT_STREQ(out, "/dev/null");
  EXPECT_STREQ(err, "/dev/null");
  EXPECT_EQ(extra, 0);
}

TEST_F(DaemonTest, DaemonizeIsRefusedForAChildOfProcessOne) {
  std::string report = dir_.file("report");
  std::string done = dir_.file("done");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Orphan a grandchild: it is adopted by process 1 (or by a subreaper).
    pid_t original_parent = ::getpid();
    pid_t orphan = ::fork();
    if (orphan != 0) ::_exit(orphan > 0 ? 0 : 1);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (::getppid() == original_parent && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    int ppid = static_cast<int>(::getppid());
    int result = ppid == 1 ? daemonize() : 0;
    std::FILE* f = std::fopen(report.c_str(), "w");
    if (f != nullptr) {
      std::fprintf(f, "%d %d\n", ppid, result);
      std::fclose(f);
      ::rename(report.c_str(), done.c_str());
    }
    ::_exit(0);
  }
  ASSERT_EQ(wait_child(child), 0);
  ASSERT_TRUE(zeltest::wait_until([&] { return zeltest::file_exists(done); }));
  int ppid = 0, result = 0;
  std::FILE* f = std::fopen(done.c_str(), "r");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fscanf(f, "%d %d", &ppid, &result), 2);
  std::fclose(f);
  if (ppid != 1) GTEST_SKIP() << "orphans are adopted by a subreaper (" << ppid << ") here";
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(logged("the process is already daemon.\n"));
}

// --- exec_ext_app ---

TEST_F(DaemonTest, ExecCollectsExactlyTheOutput) {
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += "abcd\n";  // 5000 bytes
  zeltest::write_file(dir_.file("five_thousand"), expected);
  const struct {
    std::string command;
    std::string output;
  } cases[] = {
      {"true", ""},
      {"cat '" + dir_.file("five_thousand") + "'", expected},
      {"head -c 5000 /dev/zero", std::string(5000, '\0')},
      {"printf partial; exit 3", "partial"},
      {"no-such-command-here 2>/dev/null", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string output = "stale";
    std::uint32_t length = 99;
    EXPECT_EQ(exec_ext_app(c.command.c_str(), &output, &length), 0);
    EXPECT_EQ(length, c.output.size());
    EXPECT_TRUE(output == c.output);
  }
}

TEST_F(DaemonTest, ExecRunsOnSeveralThreadsAtOnce) {
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &good] {
      std::string output;
      std::uint32_t length = 0;
      std::string command = "echo " + std::to_string(t);
      if (exec_ext_app(command.c_str(), &output, &length) == 0 && output == std::to_string(t) + "\n")
        ++good;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 4);
}

}  // namespace
