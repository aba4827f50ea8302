// The Logger: the level filter at its boundary and the line it writes, errno
// kept across a call, rotation at the exact size limit into five gzip
// generations, a full disk that frees the oldest generations, EVENT lines in
// the event file, whole lines from many threads, a final line feed for every
// entry, and the flood limit of one source line.
#include "log/log.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <cerrno>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {

constexpr std::size_t kTimeWidth = 19;  // "YYYY-MM-DD HH:MM:SS"

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
    log_level = kLogDebug;
    log_to_console = 0;
    log_to_file = 1;
    log_file_path = path_;
    event_file_path.clear();
  }
  void TearDown() override {
    log_testing::write_hook = nullptr;
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
  static std::string gunzip(const std::string& path) {
    gzFile gz = ::gzopen(path.c_str(), "rb");
    std::string out;
    char buffer[65536];
    for (int n; gz != nullptr && (n = ::gzread(gz, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    if (gz != nullptr) ::gzclose(gz);
    return out;
  }
  void log_line() const { log_message(kLogInfo, "logic", 1, "a line\n"); }

  zeltest::TempDir dir_;
  const std::string path_ = dir_.file("agent.log");
  const int saved_level_ = log_level;
  const int saved_console_ = log_to_console;
};

TEST_F(LogTest, LevelFilterAndLineFormatKeepErrno) {
  const struct {
    int threshold;
    int level;
    const char* word;  // nullptr: filtered out
  } cases[] = {
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
    const std::string old = gunzip(path_ + "." + std::to_string(n) + ".gz");
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
  constexpr int kLines = 200;
  const std::string body(200, '.');
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

// A peer that makes one line repeat costs at most the limit a second; the
// line's next appearance says how many were left out. Other lines go on.
TEST_F(LogTest, AFloodingSourceLineIsCutToItsLimitAndCounted) {
  constexpr int kFlood = 300;
  for (int i = 0; i < kFlood; ++i) log_message(kLogError, "packet", 7, "empty part %d\n", i);
  log_message(kLogWarning, "other", 8, "Discovery is disabled.");  // no line feed of its own
  log_message(kLogInfo, "other", 9, "next\n");
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(zeltest::wait_until([&] { return std::chrono::steady_clock::now() - started > std::chrono::seconds(1); }));
  log_message(kLogError, "packet", 7, "empty part again\n");
  const std::string text = zeltest::read_file(path_);
  const int written = zeltest::count_of(text, ": empty part ");
  EXPECT_LE(written, 2 * kLogFloodLinesPerSecond + 1);  // the flood may span two seconds
  int suppressed = 0;
  const std::string summary = "packet:7\tWARNING: ";
  for (std::size_t at = text.find(summary); at != std::string::npos; at = text.find(summary, at + 1)) {
    std::size_t digits = 0;
    suppressed += std::stoi(text.substr(at + summary.size()), &digits);
    const std::string rest = " more line(s) from here suppressed";
    EXPECT_EQ(text.compare(at + summary.size() + digits, rest.size(), rest), 0);
  }
  EXPECT_EQ(written + suppressed, kFlood + 1);
  // The entry without a line feed of its own ends its line all the same.
  const std::size_t end = text.find("Discovery is disabled.") + std::strlen("Discovery is disabled.");
  ASSERT_LT(end + 1, text.size());
  EXPECT_EQ(text[end], '\n');
  EXPECT_EQ(text.compare(end + 1, 4, text, 0, 4), 0);  // the next entry's time stamp
}

}  // namespace
