#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace {
constexpr const char* kLogModule = "log_test";

// "YYYY-MM-DD HH:MM:SS"
constexpr std::size_t kTimeLength = 19;

bool is_time(std::string_view text) {
  constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
  if (text.size() < kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  return true;
}

// True when `text` is a local time followed by exactly `rest`.
bool is_timed_line(const std::string& text, const std::string& rest) {
  return is_time(text) && text.substr(kTimeLength) == rest;
}

// Sends standard error to a file for the lifetime of the object.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() { restore(); }
  // Restores standard error and returns what was written to it.
  std::string finish() {
    restore();
    return zeltest::read_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

std::string gunzip(const std::string& path) {
  gzFile gz = ::gzopen(path.c_str(), "rb");
  if (gz == nullptr) return "<cannot open " + path + ">";
  std::string out;
  char buffer[65536];
  int n;
  while ((n = ::gzread(gz, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  ::gzclose(gz);
  return out;
}

// A file that starts with `marker` and is padded with zeros to `size` bytes.
void prefill(const std::string& path, const std::string& marker, std::int64_t size) {
  zeltest::write_file(path, marker);
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
}

std::int64_t file_size(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

std::string generation(const std::string& path, int n) { return path + "." + std::to_string(n); }
std::string compressed(const std::string& path, int n) { return generation(path, n) + ".gz"; }

// The rotated files of `path` that exist, oldest first in rotation order.
std::vector<std::string> rotated_files(const std::string& path) {
  std::vector<std::string> found;
  for (int n = kLogRotateCount + 1; n >= 1; --n) {
    for (const std::string& name : {generation(path, n), compressed(path, n)}) {
      if (zeltest::file_exists(name)) found.push_back(name.substr(path.size()));
    }
  }
  return found;
}

// Settings are process-wide: every test starts from the same ones and leaves
// no compression running behind it.
class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = log_level;
    saved_console_ = log_to_console;
    saved_file_ = log_to_file;
    log_level = kLogDebug;
    log_to_console = 0;
    log_to_file = 1;
    log_file_path = dir_.file("agent.log");
    event_file_path.clear();
  }
  void TearDown() override {
    log_testing::write_hook = nullptr;
    log_testing::wait_for_compression();
    log_level = saved_level_;
    log_to_console = saved_console_;
    log_to_file = saved_file_;
    log_file_path.clear();
    event_file_path.clear();
  }
  std::string log() const { return zeltest::read_file(log_file_path); }

  zeltest::TempDir dir_;
  int saved_level_ = 0;
  int saved_console_ = 0;
  int saved_file_ = 0;
};

std::string ordinary_suffix(const char* source, int line, const char* word, const std::string& message) {
  std::ostringstream out;
  out << " (" << ::getpid() << "):" << source << ":" << line << "\t" << word << ": " << message;
  return out.str();
}

TEST_F(LoggerTest, LevelFilter) {
  struct Case {
    int threshold;
    int level;
    const char* word;  // nullptr: filtered out
  };
  const Case cases[] = {
      {kLogError, kLogDebug, nullptr},     {kLogError, kLogInfo, nullptr},
      {kLogError, kLogWarning, nullptr},   {kLogError, kLogError, "  ERROR"},
      {kLogError, kLogEvent, ""},          {kLogSilent, kLogError, nullptr},
      {kLogSilent, kLogEvent, ""},         {kLogSilent, kLogSilent, "  ERROR"},
      {kLogDebug, kLogDebug, "  DEBUG"},   {kLogDebug, kLogInfo, "   INFO"},
      {kLogDebug, kLogWarning, "WARNING"}, {kLogDebug, 0, nullptr},
      {kLogDebug, -1, nullptr},            {-3, 0, nullptr},
      {-3, -5, nullptr},                   {kLogDebug, 7, "  ERROR"},
      {kLogDebug, 1000, "  ERROR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "threshold " << c.threshold << " level " << c.level);
    std::filesystem::remove(log_file_path);
    log_level = c.threshold;
    log_message(c.level, "logic", 12, "message %s\n", "text");
    if (c.word == nullptr) {
      EXPECT_FALSE(zeltest::file_exists(log_file_path)) << log();
    } else {
      EXPECT_TRUE(log().ends_with(ordinary_suffix("logic", 12, c.word, "message text\n"))) << log();
    }
  }
}

// A filtered message returns without taking the log mutex: it goes through
// while another thread is stuck inside a write.
TEST_F(LoggerTest, FilteredMessageTakesNoLock) {
  static std::atomic<bool> entered{false};
  static std::atomic<bool> release{false};
  entered = false;
  release = false;
  log_testing::write_hook = [](int fd, const void* data, std::size_t size) -> ssize_t {
    entered = true;
    zeltest::wait_until([] { return release.load(); });
    return ::write(fd, data, size);
  };
  log_level = kLogError;
  std::thread writer([] { log_message(kLogError, "logic", 1, "held\n"); });
  ASSERT_TRUE(zeltest::wait_until([] { return entered.load(); }));
  auto filtered = std::async(std::launch::async, [] { log_message(kLogDebug, "logic", 2, "filtered\n"); });
  EXPECT_EQ(filtered.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  release = true;
  writer.join();
  filtered.wait();
  EXPECT_NE(log().find("held\n"), std::string::npos);
  EXPECT_EQ(log().find("filtered"), std::string::npos);
}

TEST_F(LoggerTest, ConsoleAndFileLineFormats) {
  struct Case {
    int level;
    const char* console_word;
    const char* file_word;
  };
  const Case cases[] = {
      {kLogDebug, "  DEBUG", "  DEBUG"},  {kLogInfo, "   INFO", "   INFO"}, {kLogWarning, "WARNING", "WARNING"},
      {kLogError, "  ERROR", "  ERROR"},  {kLogEvent, "  ERROR", ""},
  };
  log_to_console = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    std::filesystem::remove(log_file_path);
    StderrCapture capture(dir_.file("stderr"));
    log_message(c.level, "config", 321, "value %d of %s\n", 7, "key");
    EXPECT_EQ(capture.finish(), std::string("config: 321: ") + c.console_word + ": value 7 of key\n");
    EXPECT_TRUE(is_timed_line(log(), ordinary_suffix("config", 321, c.file_word, "value 7 of key\n"))) << log();
  }
}

TEST_F(LoggerTest, NoNewlineIsAddedAndLinesAppend) {
  log_message(kLogInfo, "a", 1, "first ");
  log_message(kLogInfo, "b", 2, "second\n");
  std::string text = log();
  std::size_t first = text.find("\t   INFO: first ");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_TRUE(is_time(std::string_view(text).substr(first + 16))) << text;
  EXPECT_TRUE(text.ends_with(ordinary_suffix("b", 2, "   INFO", "second\n"))) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST_F(LoggerTest, ConsoleOnlyOrFileOnly) {
  log_to_console = 1;
  log_to_file = 0;
  StderrCapture capture(dir_.file("stderr"));
  ZLOG(kLogWarning, "console only\n");
  EXPECT_NE(capture.finish().find(": WARNING: console only\n"), std::string::npos);
  EXPECT_FALSE(zeltest::file_exists(log_file_path));

  log_to_console = 0;
  log_to_file = 1;
  StderrCapture quiet(dir_.file("stderr2"));
  ZLOG(kLogWarning, "file only\n");
  EXPECT_EQ(quiet.finish(), "");
  EXPECT_NE(log().find("file only\n"), std::string::npos);
}

TEST_F(LoggerTest, EventFileWordsByTheBeginningOfTheText) {
  event_file_path = dir_.file("event.log");
  struct Case {
    const char* message;
    const char* word;
  };
  const Case cases[] = {
      {"connected to broker.example\n", "S"},
      {"disconnected.\n", "S"},
      {"connectedness\n", "S"},  // nine characters decide
      {"Other end disconnected.\n", "E"},
      {"connect failed\n", "E"},
      {"disconnect\n", "E"},
      {"Connected\n", "E"},
      {"", "E"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::filesystem::remove(event_file_path);
    log_message(kLogEvent, "zelbroker_connection", 5, "%s", c.message);
    std::string text = zeltest::read_file(event_file_path);
    EXPECT_TRUE(is_timed_line(text, std::string(" ") + c.word + ": " + c.message)) << text;
  }
  // Other levels still go to the log file; events never do.
  ZLOG(kLogError, "an error\n");
  EXPECT_NE(log().find("\t  ERROR: an error\n"), std::string::npos);
  EXPECT_EQ(log().find("connected"), std::string::npos);
}

TEST_F(LoggerTest, EventWithoutEventFileGoesToTheLogWithAnEmptyWord) {
  log_level = kLogSilent;
  log_message(kLogEvent, "http_helper", 40, "connected\n");
  EXPECT_TRUE(log().ends_with(":http_helper:40\t: connected\n")) << log();
}

TEST_F(LoggerTest, UnsetPathWritesNothing) {
  log_file_path.clear();
  StderrCapture capture(dir_.file("stderr"));
  ZLOG(kLogError, "nowhere\n");
  EXPECT_EQ(capture.finish(), "");
}

TEST_F(LoggerTest, FailureReportKeepsErrno) {
  zeltest::write_file(dir_.file("plain"), "x");
  log_file_path = dir_.file("plain") + "/agent.log";  // under a regular file: fails even as root
  StderrCapture capture(dir_.file("stderr"));
  errno = EAGAIN;
  ZLOG(kLogError, "lost\n");
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(capture.finish(), "log_rotation_fwrite(): Not a directory\nLog rotation function failed\n");
}

// The rotation check counts the whole line: a line that brings the file to
// the limit exactly stays; one byte more rotates first.
TEST_F(LoggerTest, RotationBoundary) {
  const std::string message = "boundary\n";
  const std::int64_t line_length =
      static_cast<std::int64_t>(kTimeLength + ordinary_suffix("logic", 9, "   INFO", message).size());

  prefill(log_file_path, "old content\n", kLogMaxSize - line_length);
  log_message(kLogInfo, "logic", 9, "%s", message.c_str());
  EXPECT_EQ(file_size(log_file_path), kLogMaxSize);
  EXPECT_TRUE(rotated_files(log_file_path).empty());

  prefill(log_file_path, "old content\n", kLogMaxSize - line_length + 1);
  log_message(kLogInfo, "logic", 9, "%s", message.c_str());
  EXPECT_EQ(file_size(log_file_path), line_length);  // the first line of the new live file
  EXPECT_TRUE(log().ends_with(ordinary_suffix("logic", 9, "   INFO", message)));
  log_testing::wait_for_compression();
  EXPECT_EQ(rotated_files(log_file_path), std::vector<std::string>{".1.gz"});
  std::string old = gunzip(compressed(log_file_path, 1));
  EXPECT_EQ(static_cast<std::int64_t>(old.size()), kLogMaxSize - line_length + 1);
  EXPECT_TRUE(old.starts_with("old content\n"));
}

TEST_F(LoggerTest, SixRotationsKeepFiveCompressedGenerations) {
  for (int round = 1; round <= 6; ++round) {
    prefill(log_file_path, "generation " + std::to_string(round) + "\n", kLogMaxSize - 1);
    ZLOG(kLogInfo, "after rotation %d\n", round);
    log_testing::wait_for_compression();
  }
  EXPECT_EQ(rotated_files(log_file_path), (std::vector<std::string>{".5.gz", ".4.gz", ".3.gz", ".2.gz", ".1.gz"}));
  for (int n = 1; n <= kLogRotateCount; ++n) {
    SCOPED_TRACE(n);
    // Generation n holds the live file of round 7 - n; round 1 is gone.
    EXPECT_TRUE(gunzip(compressed(log_file_path, n)).starts_with("generation " + std::to_string(7 - n) + "\n"));
  }
  EXPECT_NE(log().find("after rotation 6\n"), std::string::npos);
}

TEST_F(LoggerTest, RotationIsSkippedWhileACompressionRuns) {
  log_testing::hold_rotation_lock(true);
  prefill(log_file_path, "live\n", kLogMaxSize - 1);
  ZLOG(kLogInfo, "past the limit\n");
  EXPECT_GT(file_size(log_file_path), kLogMaxSize);
  EXPECT_TRUE(rotated_files(log_file_path).empty());
  log_testing::hold_rotation_lock(false);

  ZLOG(kLogInfo, "rotates now\n");
  log_testing::wait_for_compression();
  EXPECT_EQ(rotated_files(log_file_path), std::vector<std::string>{".1.gz"});
  EXPECT_NE(gunzip(compressed(log_file_path, 1)).find("past the limit\n"), std::string::npos);
  EXPECT_NE(log().find("rotates now\n"), std::string::npos);
  EXPECT_EQ(log().find("past the limit"), std::string::npos);
}

// A generation that cannot be compressed stays plain; the next rotation
// moves it on and its worker compresses it.
TEST_F(LoggerTest, FailedCompressionIsRetriedByTheNextRotation) {
  zeltest::write_file(generation(log_file_path, 1), "left plain\n");
  // A directory in the place of the compressed form moves with its
  // generation and makes gzopen fail once it is generation 2.
  std::filesystem::create_directory(compressed(log_file_path, 1));
  prefill(log_file_path, "first\n", kLogMaxSize - 1);
  ZLOG(kLogInfo, "one\n");
  log_testing::wait_for_compression();
  EXPECT_EQ(rotated_files(log_file_path), (std::vector<std::string>{".2", ".2.gz", ".1.gz"}));
  EXPECT_EQ(zeltest::read_file(generation(log_file_path, 2)), "left plain\n");
  EXPECT_TRUE(gunzip(compressed(log_file_path, 1)).starts_with("first\n"));

  std::filesystem::remove(compressed(log_file_path, 2));
  prefill(log_file_path, "second\n", kLogMaxSize - 1);
  ZLOG(kLogInfo, "two\n");
  log_testing::wait_for_compression();
  EXPECT_EQ(rotated_files(log_file_path), (std::vector<std::string>{".3.gz", ".2.gz", ".1.gz"}));
  EXPECT_EQ(gunzip(compressed(log_file_path, 3)), "left plain\n");
  EXPECT_TRUE(gunzip(compressed(log_file_path, 2)).starts_with("first\n"));
}

// An uncompressed oldest generation beside an incoming compressed one must
// not be compressed over it.
TEST_F(LoggerTest, StaleOldestGenerationIsDroppedNotCompressedOverNewerContent) {
  ::gzFile gz = ::gzopen(compressed(log_file_path, 4).c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ::gzputs(gz, "fourth\n");
  ASSERT_EQ(::gzclose(gz), Z_OK);
  zeltest::write_file(generation(log_file_path, 5), "stale fifth\n");
  prefill(log_file_path, "live\n", kLogMaxSize - 1);
  ZLOG(kLogInfo, "rotate\n");
  log_testing::wait_for_compression();
  EXPECT_EQ(rotated_files(log_file_path), (std::vector<std::string>{".5.gz", ".1.gz"}));
  EXPECT_EQ(gunzip(compressed(log_file_path, 5)), "fourth\n");
}

// Full disk: state of the rotated files each time a write is attempted, and
// how many more attempts fail with ENOSPC.
std::vector<std::vector<std::string>> g_seen_at_write;
std::string g_watched_path;
int g_failures_left = 0;
std::size_t g_partial_bytes = 0;  // first attempt writes this much, then fails

ssize_t full_disk_write(int fd, const void* data, std::size_t size) {
  g_seen_at_write.push_back(rotated_files(g_watched_path));
  if (g_partial_bytes > 0) {
    std::size_t part = std::min(size, g_partial_bytes);
    g_partial_bytes = 0;
    return ::write(fd, data, part);
  }
  if (g_failures_left > 0) {
    --g_failures_left;
    errno = ENOSPC;
    return -1;
  }
  return ::write(fd, data, size);
}

class LoggerFullDiskTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    g_seen_at_write.clear();
    g_watched_path = log_file_path;
    g_failures_left = 0;
    g_partial_bytes = 0;
    for (const std::string& name : {generation(log_file_path, 5), compressed(log_file_path, 5),
                                    compressed(log_file_path, 3), generation(log_file_path, 1)}) {
      zeltest::write_file(name, "rotated\n");
    }
    log_testing::write_hook = full_disk_write;
  }
};

TEST_F(LoggerFullDiskTest, DeletesTheOldestGenerationOneFileAtATime) {
  g_failures_left = 3;
  ZLOG(kLogInfo, "kept through a full disk\n");
  using Files = std::vector<std::string>;
  const std::vector<Files> expected = {
      {".5", ".5.gz", ".3.gz", ".1"},
      {".5.gz", ".3.gz", ".1"},  // plain before compressed of one number
      {".3.gz", ".1"},
      {".1"},
  };
  EXPECT_EQ(g_seen_at_write, expected);
  EXPECT_TRUE(log().ends_with("\t   INFO: kept through a full disk\n")) << log();
}

TEST_F(LoggerFullDiskTest, LineInterruptedByAFullDiskIsCompletedOnce) {
  g_partial_bytes = 10;
  g_failures_left = 1;
  log_message(kLogInfo, "logic", 3, "written in two pieces\n");
  EXPECT_TRUE(is_timed_line(log(), ordinary_suffix("logic", 3, "   INFO", "written in two pieces\n"))) << log();
  EXPECT_EQ(rotated_files(log_file_path), (std::vector<std::string>{".5.gz", ".3.gz", ".1"}));
}

TEST_F(LoggerFullDiskTest, FailsWhenNothingIsLeftToDelete) {
  g_failures_left = 100;
  StderrCapture capture(dir_.file("stderr"));
  ZLOG(kLogInfo, "no room\n");
  EXPECT_EQ(capture.finish(), "log_rotation_fwrite(): No space left on device\nLog rotation function failed\n");
  EXPECT_EQ(g_seen_at_write.size(), 5u);
  EXPECT_TRUE(rotated_files(log_file_path).empty());
  EXPECT_EQ(log().find("no room"), std::string::npos);
}

TEST_F(LoggerTest, LinesOfManyThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  log_to_console = 1;
  StderrCapture capture(dir_.file("stderr"));
  const std::string padding(300, '.');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &padding] {
      for (int i = 0; i < kLines; ++i) log_message(kLogInfo, "logic", 7, "thread %d line %d %s\n", t, i, padding.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();

  // Every line is whole, and each thread's lines come in its own order.
  auto check = [&](const std::string& text, std::size_t skip, const std::string& prefix) {
    std::map<int, int> next_line;
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
      SCOPED_TRACE(line);
      ASSERT_GE(line.size(), skip);
      if (skip > 0) {
        ASSERT_TRUE(is_time(line));
      }
      ASSERT_TRUE(line.compare(skip, prefix.size(), prefix) == 0);
      int thread = -1;
      int index = -1;
      ASSERT_EQ(std::sscanf(line.c_str() + skip + prefix.size(), "thread %d line %d ", &thread, &index), 2);
      std::string expected = "thread " + std::to_string(thread) + " line " + std::to_string(index) + " " + padding;
      ASSERT_EQ(line.substr(skip + prefix.size()), expected);
      EXPECT_EQ(index, next_line[thread]++);
      ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
  };
  std::string file = log();
  ASSERT_TRUE(is_time(file));
  check(file, kTimeLength, ordinary_suffix("logic", 7, "   INFO", ""));
  check(capture.finish(), 0, "logic: 7:    INFO: ");
}

}  // namespace
