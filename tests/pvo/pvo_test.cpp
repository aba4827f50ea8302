#include "pvo/pvo.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "pvo_test_util.h"
#include "support/test_support.h"

namespace {

using pvotest::get;
using pvotest::run_tool;
using pvotest::StoreDir;

// Waits for a forked child and gives its exit status (-1: killed).
int wait_child(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Pvo, AwkwardValuesRoundTripThroughAnotherProcess) {
  StoreDir store;
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"zel_handler_multi", "line one\nline two\n"},
      {"zel_equals", "a=b==c"},
      {"zel_quotes", "\"double\" 'single' `back` $(not run) \\ end"},
      {"zel_utf8", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"key with = and\nnewline", "value"},
      {"zel_spaces", "  leading and trailing  "},
      {"zel_long", std::string(PVO_MAX_VALUE_LENGTH, 'x')},
  };
  for (const auto& [key, value] : entries) ASSERT_EQ(pvoSet(key.c_str(), value.c_str()), 0) << key;
  ASSERT_EQ(pvoCommit(), 0);

  for (const auto& [key, value] : entries) {
    SCOPED_TRACE(key);
    EXPECT_EQ(get(key.c_str()), value);
    // `get` prints the value as stored and one newline.
    auto r = run_tool(store.path(), {"get", key});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, value + "\n");
  }
}

TEST(Pvo, SetIsVisibleAtOnceAndDurableOnlyAfterCommit) {
  StoreDir store;
  ASSERT_EQ(pvoSet("zel_agent_id", "abc"), 0);
  EXPECT_EQ(get("zel_agent_id"), "abc");
  EXPECT_FALSE(zeltest::file_exists(store.store_file()));
  auto before = run_tool(store.path(), {"get", "zel_agent_id"});
  EXPECT_EQ(before.status, 1);
  EXPECT_EQ(before.out, "");

  ASSERT_EQ(pvoCommit(), 0);
  auto after = run_tool(store.path(), {"get", "zel_agent_id"});
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(after.out, "abc\n");

  // An unset hides the key at once, and removes it from disk at commit.
  ASSERT_EQ(pvoUnset("zel_agent_id"), 0);
  EXPECT_EQ(get("zel_agent_id"), "<unset>");
  EXPECT_EQ(run_tool(store.path(), {"get", "zel_agent_id"}).out, "abc\n");
  ASSERT_EQ(pvoCommit(), 0);
  EXPECT_EQ(run_tool(store.path(), {"get", "zel_agent_id"}).status, 1);
  EXPECT_EQ(pvoUnset("never_set"), 0);
  EXPECT_EQ(pvoCommit(), 0);
}

TEST(Pvo, SeesCommitsOfOtherProcesses) {
  StoreDir store;
  ASSERT_EQ(pvoSet("mine", "1"), 0);
  ASSERT_EQ(pvoCommit(), 0);
  EXPECT_EQ(get("theirs"), "<unset>");
  for (int i = 0; i < 3; ++i) {
    std::string value = "v" + std::to_string(i);
    ASSERT_EQ(run_tool(store.path(), {"set", "theirs", value}).status, 0);
    EXPECT_EQ(get("theirs"), value);
  }
  ASSERT_EQ(run_tool(store.path(), {"unset", "mine"}).status, 0);
  EXPECT_EQ(get("mine"), "<unset>");
}

TEST(Pvo, PendingChangesWinOverOtherCommitsAndMergeOnTop) {
  StoreDir store;
  ASSERT_EQ(pvoSet("shared", "mine"), 0);
  ASSERT_EQ(pvoSet("gone", "x"), 0);
  ASSERT_EQ(pvoCommit(), 0);
  ASSERT_EQ(pvoUnset("gone"), 0);
  ASSERT_EQ(pvoSet("shared", "mine again"), 0);
  ASSERT_EQ(run_tool(store.path(), {"set", "shared", "theirs"}).status, 0);
  ASSERT_EQ(run_tool(store.path(), {"set", "other", "theirs"}).status, 0);
  EXPECT_EQ(get("shared"), "mine again");
  ASSERT_EQ(pvoCommit(), 0);
  auto list = run_tool(store.path(), {"list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "other=theirs\nshared=mine again\n");
}

TEST(Pvo, TwoProcessesCommittingDifferentKeysLoseNothing) {
  StoreDir store;
  constexpr int kKeysPerProcess = 40;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> children;
  for (char who : {'a', 'b'}) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char byte;
      ::close(go[1]);
      if (::read(go[0], &byte, 1) != 0) ::_exit(3);  // start together at EOF
      for (int i = 0; i < kKeysPerProcess; ++i) {
        std::string key = std::string(1, who) + "_" + std::to_string(i);
        if (pvoSet(key.c_str(), (key + " value").c_str()) != 0) ::_exit(1);
        if (pvoCommit() != 0) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : children) EXPECT_EQ(wait_child(pid), 0);

  for (char who : {'a', 'b'}) {
    for (int i = 0; i < kKeysPerProcess; ++i) {
      std::string key = std::string(1, who) + "_" + std::to_string(i);
      EXPECT_EQ(get(key.c_str()), key + " value");
    }
  }
}

TEST(Pvo, KilledDuringCommitsNeverLeavesAnUnreadableStore) {
  StoreDir store;
  constexpr int kRounds = 12;
  const std::string padding(3000, 'p');
  long last_acknowledged = -1;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(acks[0]);
      for (long i = last_acknowledged + 1;; ++i) {
        std::string n = std::to_string(i);
        pvoSet("counter", n.c_str());
        pvoSet(("pad_" + std::to_string(i % 20)).c_str(), (padding + n).c_str());
        if (pvoCommit() != 0) ::_exit(1);
        if (::write(acks[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i)) ::_exit(2);
      }
    }
    ::close(acks[1]);
    // Let the child commit a few times, then kill it wherever it is.
    for (int seen = 0; seen <= round % 5; ++seen) {
      long i = 0;
      ASSERT_EQ(::read(acks[0], &i, sizeof i), static_cast<ssize_t>(sizeof i));
      last_acknowledged = i;
    }
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_EQ(wait_child(pid), -1);
    long i = 0;
    while (::read(acks[0], &i, sizeof i) == static_cast<ssize_t>(sizeof i)) last_acknowledged = i;
    ::close(acks[0]);

    std::string counter = get("counter");
    ASSERT_EQ(counter.find("<error"), std::string::npos) << counter;
    // Every acknowledged commit is durable; at most the one under way is extra.
    long stored = std::stol(counter);
    EXPECT_GE(stored, last_acknowledged);
    EXPECT_LE(stored, last_acknowledged + 1);
    last_acknowledged = stored;
    EXPECT_EQ(run_tool(store.path(), {"list"}).status, 0);
  }
}

// Finds this process's descriptor open on `path` (-1 when none).
int descriptor_on(const std::string& path) {
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0) return -1;
  for (int fd = 3; fd < 1024; ++fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino) return fd;
  }
  return -1;
}

TEST(Pvo, NeverClosesADescriptorItNoLongerOwns) {
  // A daemonising program closes every descriptor, the library's included,
  // and the number is soon reused for something else.
  StoreDir store;
  ASSERT_EQ(pvoSet("k", "1"), 0);
  ASSERT_EQ(pvoCommit(), 0);
  int held = descriptor_on(store.store_file());
  ASSERT_GE(held, 0);
  ASSERT_EQ(::close(held), 0);
  int reused = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(reused, 0);
  if (reused != held) {
    ASSERT_EQ(::dup2(reused, held), held);
    ::close(reused);
  }
  ASSERT_EQ(run_tool(store.path(), {"set", "k", "2"}).status, 0);
  EXPECT_EQ(get("k"), "2");  // the cached state is replaced...
  EXPECT_NE(::fcntl(held, F_GETFD), -1);  // ...and the other file stays open
  ::close(held);
}

TEST(Pvo, ThreadsSetCommitAndReadAtOnce) {
  StoreDir store;
  constexpr int kThreads = 4;
  constexpr int kKeys = 15;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kKeys; ++i) {
        std::string key = "t" + std::to_string(t) + "_" + std::to_string(i);
        if (pvoSet(key.c_str(), key.c_str()) != 0 || pvoCommit() != 0) ++failures;
        if (get(key.c_str()) != key) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  int count = 0;
  ASSERT_EQ(pvoList([](const char*, const char*, void* c) { return ++*static_cast<int*>(c), 0; },
                    &count),
            0);
  EXPECT_EQ(count, kThreads * kKeys);
}

TEST(Pvo, CorruptStoreIsReportedAndKept) {
  StoreDir store;
  ASSERT_EQ(pvoSet("zel_agent_id", "abc"), 0);
  ASSERT_EQ(pvoCommit(), 0);
  std::string damaged = zeltest::read_file(store.store_file());
  damaged[damaged.find("abc")] = 'X';
  zeltest::write_file(store.store_file(), damaged);

  EXPECT_EQ(get("zel_agent_id"), "<error " + std::to_string(PVO_E_CORRUPT) + ">");
  EXPECT_STREQ(pvoStrerror(PVO_E_CORRUPT), "the store file is corrupt");
  ASSERT_EQ(pvoSet("zel_other", "1"), 0);
  EXPECT_EQ(pvoCommit(), PVO_E_CORRUPT);
  EXPECT_EQ(pvoList([](const char*, const char*, void*) { return 0; }, nullptr), PVO_E_CORRUPT);
  EXPECT_EQ(zeltest::read_file(store.store_file()), damaged);

  auto r = run_tool(store.path(), {"get", "zel_agent_id"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "pvo: zel_agent_id: the store file is corrupt\n");

  // Once the file is mended, the pending change goes out.
  zeltest::write_file(store.store_file(), "PVO1\nEND 0 00000000\n");
  EXPECT_EQ(pvoCommit(), PVO_E_CORRUPT);  // wrong checksum: still damaged
  ASSERT_EQ(::unlink(store.store_file().c_str()), 0);
  EXPECT_EQ(pvoCommit(), 0);
  EXPECT_EQ(run_tool(store.path(), {"get", "zel_other"}).out, "1\n");
}

TEST(Pvo, UnreadableAndUnwritableStoresAreErrors) {
  zeltest::TempDir dir;
  // The store file is a folder: it exists but cannot be read.
  ASSERT_EQ(::mkdir(dir.file("store").c_str(), 0700), 0);
  ::setenv(PVO_STORE_ENV, dir.path().c_str(), 1);
  EXPECT_EQ(get("k"), "<error " + std::to_string(PVO_E_READ) + ">");

  // The folder lies under a regular file: nothing can be created (even as root).
  zeltest::write_file(dir.file("plain"), "x");
  ::setenv(PVO_STORE_ENV, (dir.file("plain") + "/sub").c_str(), 1);
  ASSERT_EQ(pvoSet("k", "pending"), 0);
  EXPECT_EQ(pvoCommit(), PVO_E_WRITE);
  EXPECT_STREQ(pvoStrerror(PVO_E_WRITE), "cannot write the store");
  EXPECT_EQ(get("k"), "pending");  // kept for a later commit
  ::unsetenv(PVO_STORE_ENV);
}

TEST(Pvo, CreatesMissingFoldersOnCommit) {
  zeltest::TempDir dir;
  std::string nested = dir.file("a/b/c");
  ::setenv(PVO_STORE_ENV, (nested + "/").c_str(), 1);
  EXPECT_EQ(get("k"), "<unset>");
  ASSERT_EQ(pvoSet("k", "v"), 0);
  ASSERT_EQ(pvoCommit(), 0);
  EXPECT_TRUE(zeltest::file_exists(nested + "/store"));
  struct stat st {};
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ::unsetenv(PVO_STORE_ENV);
}

TEST(Pvo, ChangingTheLocationDropsPendingChanges) {
  zeltest::TempDir first;
  zeltest::TempDir second;
  ::setenv(PVO_STORE_ENV, first.path().c_str(), 1);
  ASSERT_EQ(pvoSet("committed", "1"), 0);
  ASSERT_EQ(pvoCommit(), 0);
  ASSERT_EQ(pvoSet("pending", "1"), 0);
  ::setenv(PVO_STORE_ENV, second.path().c_str(), 1);
  EXPECT_EQ(get("committed"), "<unset>");
  EXPECT_EQ(get("pending"), "<unset>");
  ::setenv(PVO_STORE_ENV, first.path().c_str(), 1);
  EXPECT_EQ(get("committed"), "1");
  EXPECT_EQ(get("pending"), "<unset>");
  ::unsetenv(PVO_STORE_ENV);
}

TEST(Pvo, RefusesInvalidArguments) {
  StoreDir store;
  char* value = nullptr;
  const std::string long_key(PVO_MAX_KEY_LENGTH + 1, 'k');
  const std::string long_value(PVO_MAX_VALUE_LENGTH + 1, 'v');
  EXPECT_EQ(pvoGet(nullptr, &value), PVO_E_INVAL);
  EXPECT_EQ(pvoGet("", &value), PVO_E_INVAL);
  EXPECT_EQ(pvoGet("k", nullptr), PVO_E_INVAL);
  EXPECT_EQ(pvoGet(long_key.c_str(), &value), PVO_E_KEYLEN);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(pvoSet(nullptr, "v"), PVO_E_INVAL);
  EXPECT_EQ(pvoSet("k", nullptr), PVO_E_INVAL);
  EXPECT_EQ(pvoSet(long_key.c_str(), "v"), PVO_E_KEYLEN);
  EXPECT_EQ(pvoSet("k", long_value.c_str()), PVO_E_VALLEN);
  EXPECT_EQ(pvoUnset(""), PVO_E_INVAL);
  EXPECT_EQ(pvoList(nullptr, nullptr), PVO_E_INVAL);
  EXPECT_EQ(get("k"), "<unset>");
  for (int code : {PVO_E_INVAL, PVO_E_KEYLEN, PVO_E_VALLEN, PVO_E_NOMEM, PVO_E_READ,
                   PVO_E_CORRUPT, PVO_E_WRITE, PVO_E_LOCK}) {
    EXPECT_STRNE(pvoStrerror(code), "unknown error") << code;
  }
  EXPECT_STREQ(pvoStrerror(-1000), "unknown error");
}

TEST(PvoTool, CommandsAndExitStatuses) {
  StoreDir store;
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Step steps[] = {
      {{"list"}, 0, ""},
      {{"get", "zel_x"}, 1, ""},
      {{"set", "zel_x", "a\\b\nc\td\x01"}, 0, ""},
      {{"set", "k=ey", "v=al"}, 0, ""},
      {{"set", "zel_empty", ""}, 0, ""},
      {{"list"}, 0, "k\\=ey=v=al\nzel_empty=\nzel_x=a\\\\b\\nc\\td\\x01\n"},
      {{"get", "zel_empty"}, 0, "\n"},
      {{"unset", "zel_x"}, 0, ""},
      {{"unset", "zel_x"}, 0, ""},
      {{"list"}, 0, "k\\=ey=v=al\nzel_empty=\n"},
      {{}, 2, ""},
      {{"get"}, 2, ""},
      {{"set", "k"}, 2, ""},
      {{"frobnicate", "k"}, 2, ""},
      {{"set", "", "v"}, 3, ""},
  };
  for (const auto& step : steps) {
    std::string trace;
    for (const auto& a : step.args) trace += "[" + a + "] ";
    SCOPED_TRACE(trace);
    auto r = run_tool(store.path(), step.args);
    EXPECT_EQ(r.status, step.status) << r.err;
    EXPECT_EQ(r.out, step.out);
  }
}

}  // namespace
