// The Logger: the level filter at its boundary and the line it writes, errno
// kept across a call, rotation at the exact size limit into five gzip
// generations, a full disk that frees the oldest generations, EVENT lines in
// the event file, whole lines from many threads, a final line feed for every
// entry, text from outside kept to one line, and the limits on how much a
// source line and all of them together write.
#include "log/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

constexpr std::size_t kTimeWidth = 19;  // "YYYY-MM-DD HH:MM:SS"

// The flood limit's clock: every test starts an hour after the last one.
std::atomic<std::int64_t> g_now{0};
std::int64_t test_clock() { return g_now; }

std::atomic<int> g_failing_writes{0};  // write calls left that find the disk full
ssize_t full_disk(int fd, const void* data, std::size_t size) {
  if (g_failing_writes.fetch_sub(1) > 0) {
    errno = ENOSPC;
    return -1;
  }
  return ::write(fd, data, size);
}

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    log_file_path.clear();
    log_flush_suppressed();  // counts left by an earlier test go nowhere
    log_testing::clock_hook = test_clock;
    g_now += 3600;
    log_level = kLogDebug;
    log_to_console = 0;
    log_to_file = 1;
    log_file_path = path_;
    event_file_path.clear();
  }
  void TearDown() override {
    log_testing::write_hook = nullptr;
    log_testing::clock_hook = nullptr;
    log_testing::wait_for_compression();
    log_level = saved_level_;
    log_to_console = saved_console_;
    log_file_path.clear();
    event_file_path.clear();
  }
  static std::int64_t size_of(const std::string& path) { return std::filesystem::file_size(path); }
  // The live file: `marker` followed by zeros up to `size` bytes.
  void prefill(const std::string& marker, std::int64_t size) const {
    zeltest::write_file(path_, marker);
    std::filesystem::resize_file(path_, static_cast<std::uintmax_t>(size));
  }
  void log_line() const { log_message(kLogInfo, "logic", 1, "a line\n"); }
  // The lines suppressed according to the counts written in `text`.
  static int suppressed_in(const std::string& text) {
    int total = 0;
    for (std::size_t at = text.find("WARNING: "); at != std::string::npos; at = text.find("WARNING: ", at + 1)) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      if (line.find(" suppressed (over ") != std::string::npos) total += std::stoi(line.substr(9));
    }
    return total;
  }

  zeltest::TempDir dir_;
  const std::string path_ = dir_.file("agent.log");
  const int saved_level_ = log_level;
  const int saved_console_ = log_to_console;
};

TEST_F(LogTest, LevelFilterAndLineFormatKeepErrno) {
  const struct { int threshold; int level; const char* word; } cases[] = {  // word nullptr: filtered out
      {kLogInfo, kLogDebug, nullptr},   {kLogInfo, kLogInfo, "   INFO"},    {kLogError, kLogWarning, nullptr},
      {kLogError, kLogError, "  ERROR"}, {kLogSilent, kLogError, nullptr},  {kLogSilent, kLogEvent, ""},
      {kLogDebug, 0, nullptr},           {kLogDebug, kLogDebug, "  DEBUG"}, {kLogDebug, 9, "  ERROR"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "threshold " << c.threshold << ", level " << c.level);
    std::filesystem::remove(path_);
    log_level = c.threshold;
    errno = EAGAIN;
    log_message(c.level, "logic", 12, "value %d\n", 7);
    EXPECT_EQ(errno, EAGAIN);
    const std::string text = zeltest::read_file(path_);
    if (c.word == nullptr) {
      EXPECT_EQ(text, "");
    } else {
      ASSERT_GE(text.size(), kTimeWidth);
      EXPECT_EQ(text.substr(kTimeWidth),
                " (" + std::to_string(::getpid()) + "):logic:12\t" + c.word + ": value 7\n");
    }
  }
}

TEST_F(LogTest, RotatesPastTheLimitIntoFiveCompressedGenerations) {
  log_line();
  const std::int64_t line = size_of(path_);  // time stamps have a fixed width
  prefill("old\n", kLogMaxSize - line);
  log_line();
  EXPECT_EQ(size_of(path_), kLogMaxSize);  // a line that reaches the limit exactly stays
  EXPECT_FALSE(zeltest::file_exists(path_ + ".1") || zeltest::file_exists(path_ + ".1.gz"));
  for (int round = 1; round <= 6; ++round) {
    prefill("round " + std::to_string(round) + "\n", kLogMaxSize - line + 1);
    log_line();
    EXPECT_EQ(size_of(path_), line);
    log_testing::wait_for_compression();
  }
  for (int n = 1; n <= kLogRotateCount; ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(zeltest::file_exists(path_ + "." + std::to_string(n)));
    const std::string old = zeltest::run_program({"/bin/gzip", "-dc", path_ + "." + std::to_string(n) + ".gz"}).out;
    EXPECT_EQ(static_cast<std::int64_t>(old.size()), kLogMaxSize - line + 1);
    EXPECT_TRUE(old.starts_with("round " + std::to_string(7 - n) + "\n"));
  }
  EXPECT_FALSE(zeltest::file_exists(path_ + ".6") || zeltest::file_exists(path_ + ".6.gz"));
}

TEST_F(LogTest, FullDiskFreesTheOldestGenerationsAndKeepsTheLine) {
  for (const char* suffix : {".5.gz", ".3", ".3.gz", ".1.gz"}) zeltest::write_file(path_ + suffix, "old\n");
  g_failing_writes = 2;
  log_testing::write_hook = full_disk;
  log_line();
  EXPECT_TRUE(zeltest::read_file(path_).ends_with("\t   INFO: a line\n"));
  // One file per failed write, the oldest first, a plain one before its compressed form.
  for (const char* gone : {".5.gz", ".3"}) EXPECT_FALSE(zeltest::file_exists(path_ + gone)) << gone;
  for (const char* kept : {".3.gz", ".1.gz"}) EXPECT_TRUE(zeltest::file_exists(path_ + kept)) << kept;
}

TEST_F(LogTest, EventLinesGoToTheEventFileWithTheirWord) {
  event_file_path = dir_.file("events.log");
  log_level = kLogSilent;
  const std::pair<std::string, std::string> cases[] = {
      {"connected to broker\n", "S"}, {"disconnected.\n", "S"}, {"link lost, disconnected\n", "E"}};
  for (const auto& [message, word] : cases) {
    SCOPED_TRACE(message);
    std::filesystem::remove(event_file_path);
    log_message(kLogEvent, "zelbroker_connection", 5, "%s", message.c_str());
    const std::string text = zeltest::read_file(event_file_path);
    ASSERT_GE(text.size(), kTimeWidth);
    EXPECT_EQ(text.substr(kTimeWidth), " " + word + ": " + message);
  }
  EXPECT_FALSE(zeltest::file_exists(path_));
}

TEST_F(LogTest, LinesOfManyThreadsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  const std::string body(100, '.');  // all lines within the budget
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&body] {
      // A line number each: one source line repeated would meet the flood limit.
      for (int i = 0; i < kLines; ++i) log_message(kLogInfo, "logic", i, "<%s>\n", body.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(zeltest::count_of(zeltest::read_file(path_), ": <" + body + ">\n"), kThreads * kLines);
}

TEST(LogEscapeTest, OutsideTextBecomesOneBoundedLine) {
  const struct { std::string text; std::size_t max; std::string escaped; } cases[] = {
      {"plain text", kLogOutsideTextMax, "plain text"},
      {"a\\b\nc\rd\te", kLogOutsideTextMax, "a\\\\b\\nc\\rd\\te"},
      {std::string("\0\x1b\x7f\xff", 4), kLogOutsideTextMax, "\\x00\\x1b\\x7f\\xff"},
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abcdef...(7 bytes)"},
      {"abcde\n", 6, "abcde\\n"},
      {"abcde\nf", 6, "abcde\\n...(7 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.escaped);
    EXPECT_EQ(log_escape(c.text, c.max), c.escaped);
  }
}

// Whatever a format's arguments hold, one call writes one line, and a huge
// one is cut.
TEST_F(LogTest, AMessageIsOneLineOfBoundedLength) {
  log_message(kLogError, "json_helper", 3, "Error before: '%s'\n", "x'\n2026-01-01 00:00:00 (1):agent:1\t   INFO: forged\r");
  log_message(kLogError, "json_helper", 4, "%s", std::string(3 * kLogMessageMax, 'y').c_str());
  const std::string text = zeltest::read_file(path_);
  EXPECT_EQ(zeltest::count_of(text, "\n"), 2);
  EXPECT_NE(text.find("Error before: 'x'\\n2026-01-01 00:00:00 (1):agent:1\t   INFO: forged\\r'\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR: " + std::string(kLogMessageMax, 'y') + "...(12288 bytes)\n"), std::string::npos);
}

// A peer that makes one line repeat costs at most the limit a second, in
// lines and in bytes, EVENT lines of the transport included; the count of
// what was left out is written once the second is over, whichever source
// logs next. State events are never suppressed.
TEST_F(LogTest, AFloodingSourceLineIsCutToItsLimitsAndCounted) {
  constexpr int kFlood = 300;
  const struct { const char* what; int level; bool state_event; std::size_t size; int written; } cases[] = {
      {"short lines", kLogError, false, 10, kLogFloodLinesPerSecond},
      {"long lines", kLogError, false, 1000, static_cast<int>(kLogFloodBytesPerSecond / 1001)},
      {"transport events", kLogEvent, false, 10, kLogFloodLinesPerSecond},
      {"state events", kLogEvent, true, 10, kFlood},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(path_);
    const std::string body(c.size, 'p');
    for (int i = 0; i < kFlood; ++i) {
      if (c.state_event) {
        log_state_event("logic", 7, "%s\n", body.c_str());
      } else {
        log_message(c.level, "packet", 7, "%s\n", body.c_str());
      }
    }
    log_message(kLogInfo, "other", 9, "same second\n");
    EXPECT_EQ(suppressed_in(zeltest::read_file(path_)), 0);
    ++g_now;
    log_message(kLogInfo, "other", 9, "next second\n");
    const std::string text = zeltest::read_file(path_);
    EXPECT_EQ(zeltest::count_of(text, body + "\n"), c.written);
    EXPECT_EQ(suppressed_in(text), kFlood - c.written);
    if (c.written < kFlood) {
      EXPECT_NE(text.find(":7\tWARNING: " + std::to_string(kFlood - c.written) +
                          " more line(s) from here suppressed (over 10 lines or 8192 bytes a second).\n"),
                std::string::npos);
      EXPECT_LT(text.find("suppressed"), text.find("next second"));
    }
  }
}

// Many source lines, each within its own limit, together write at most the
// budget a minute; the count follows when the minute is over, or at stop,
// after which the program's last line is written.
TEST_F(LogTest, AllSourcesTogetherKeepToTheBudget) {
  const std::string body(1000, 'b');
  const int lines = static_cast<int>(2 * kLogBudgetBytesPerMinute / 1000);
  constexpr int kShortLines = 100;
  for (int stop : {0, 1}) {
    SCOPED_TRACE(stop ? "count written at stop" : "count written when the minute is over");
    std::filesystem::remove(path_);
    g_now += 60 - g_now % 60;
    for (int i = 0; i < lines; ++i) log_message(kLogInfo, "logic", 1000 + i, "%s\n", body.c_str());
    for (int i = 0; i < kShortLines; ++i) log_message(kLogInfo, "logic", 3000 + i, "x\n");  // to the brim
    log_state_event("logic", 1, "connected\n");
    const std::string during = zeltest::read_file(path_);
    EXPECT_LE(static_cast<std::int64_t>(during.size()), kLogBudgetBytesPerMinute);
    EXPECT_NE(during.find("\t: connected\n"), std::string::npos);  // past the budget all the same
    EXPECT_EQ(suppressed_in(during), 0);
    g_now += 59;
    log_flush_quiet_suppressed();
    EXPECT_EQ(suppressed_in(zeltest::read_file(path_)), 0);  // the minute is not over yet
    if (stop) {
      log_flush_suppressed();
    } else {
      ++g_now;
      log_flush_quiet_suppressed();
    }
    const std::string text = zeltest::read_file(path_);
    EXPECT_EQ(zeltest::count_of(text, body) + zeltest::count_of(text, "INFO: x\n") + suppressed_in(text),
              lines + kShortLines);
    EXPECT_NE(text.find(" line(s) suppressed (over the log budget of " + std::to_string(kLogBudgetBytesPerMinute) +
                        " bytes a minute).\n"),
              std::string::npos);
    log_message(kLogInfo, "agent", 1, "the last line\n");  // after the stop's flush, within the same minute
    EXPECT_TRUE(zeltest::read_file(path_).ends_with("INFO: the last line\n"));
  }
}

}  // namespace
