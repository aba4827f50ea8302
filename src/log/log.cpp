// The Logger. One mutex serialises the console output and the whole file
// step (rotation renames and disk-full retries included), so lines of
// different threads never interleave. The rotation lock is taken by the call
// that rotates and released by the compression thread it starts, so at most
// one rotation with its compression is in progress; a binary semaphore holds
// it because it is released on another thread than the one that took it.
#include "log/log.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <semaphore>
#include <system_error>
#include <thread>
#include <vector>

int log_level = kLogSilent;
int log_to_console = 1;
int log_to_file = 1;
std::string log_file_path;
std::string event_file_path;

namespace log_testing {
int (*flush_hook)(std::FILE*) = nullptr;
}

namespace {

// Indexes 7 and 8 are the event file's words; callers never pass them.
constexpr const char* kLevelWords[] = {"", "  DEBUG", "   INFO", "WARNING", "  ERROR", "", "", "E", "S"};
constexpr int kEventWordEnd = 7;      // an event that is not a connection change
constexpr int kEventWordChange = 8;   // "connected..." / "disconnected..."
constexpr std::size_t kTimeBufferSize = 256;

// Guards the console output and the file step of every line that passes the filter.
std::mutex log_mutex;
// Held from a rotation until the compression of the rotated generations ends.
std::binary_semaphore rotation_lock{1};

// Every level above WARNING other than EVENT is written with the ERROR word.
const char* level_word(int level) {
  if (level >= kLogDebug && level <= kLogWarning) return kLevelWords[level];
  return kLevelWords[kLogError];
}

std::string plain_generation(const std::string& path, int n) {
  return n == 0 ? path : path + "." + std::to_string(n);
}

std::string compressed_generation(const std::string& path, int n) {
  return path + "." + std::to_string(n) + ".gz";
}

bool file_exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// printf into an exactly sized string; false when it cannot be formatted.
bool format_text(std::string& out, const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return false;
  out.resize(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<std::size_t>(length));
  return true;
}

std::string format_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_line(const char* format, ...) {
  std::string out;
  va_list args;
  va_start(args, format);
  format_text(out, format, args);
  va_end(args);
  return out;
}

void report_failure() {
  std::perror("log_rotation_fwrite()");
  static constexpr char kText[] = "Log rotation function failed\n";
  std::fwrite(kText, 1, sizeof kText - 1, stderr);
}

// Moves every generation one step up; a rename onto generation 5 drops the oldest.
void shift_generations(const std::string& path) {
  for (int n = kLogRotateCount; n >= 1; --n) {
    std::string from = plain_generation(path, n - 1);
    if (file_exists(from)) std::rename(from.c_str(), plain_generation(path, n).c_str());
    if (n - 1 >= 1) {
      std::string gz = compressed_generation(path, n - 1);
      if (file_exists(gz)) std::rename(gz.c_str(), compressed_generation(path, n).c_str());
    }
  }
}

void rotate(const std::string& path) {
  if (!rotation_lock.try_acquire()) return;  // a compression still runs: skip
  shift_generations(path);
  try {
    std::thread(log_compress_worker, path).detach();
  } catch (const std::system_error&) {
    rotation_lock.release();
  }
}

// Deletes the oldest rotated file (plain before compressed of one number);
// false when none is left.
bool delete_oldest_generation(const std::string& path) {
  for (int n = kLogRotateCount; n >= 1; --n) {
    for (const std::string& candidate : {plain_generation(path, n), compressed_generation(path, n)}) {
      if (file_exists(candidate)) {
        ::unlink(candidate.c_str());
        return true;
      }
    }
  }
  return false;
}

int flush_file(std::FILE* file) {
  return log_testing::flush_hook ? log_testing::flush_hook(file) : std::fflush(file);
}

// Appends one line to `path`, rotating first when the line would take the
// file past the size limit. Called with the log mutex held.
void log_rotation_fwrite(const std::string& path, const char* source, int source_line, int word_index,
                         const std::string& message) {
  errno = 0;
  struct stat st{};
  long size = 0;
  if (::stat(path.c_str(), &st) == 0) {
    size = static_cast<long>(st.st_size);
  } else if (errno != ENOENT) {
    report_failure();
    return;
  }

  std::time_t now = std::time(nullptr);
  struct tm local{};
  char time_text[kTimeBufferSize];
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(time_text, sizeof time_text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    report_failure();
    return;
  }

  const char* word = kLevelWords[word_index];
  std::string line = (word_index == kEventWordEnd || word_index == kEventWordChange)
                         ? format_line("%s %s: %s", time_text, word, message.c_str())
                         : format_line("%s (%d):%s:%d\t%s: %s", time_text, static_cast<int>(::getpid()),
                                       source, source_line, word, message.c_str());

  // A line that reaches the limit exactly does not rotate.
  if (size + static_cast<long>(line.size()) > kLogMaxSize) rotate(path);

  std::FILE* file = std::fopen(path.c_str(), "a+");
  if (file == nullptr) {
    report_failure();
    return;
  }
  int written = std::fprintf(file, "%s", line.c_str());
  if (written < 0 || static_cast<std::size_t>(written) < line.size()) {
    std::fclose(file);
    report_failure();
    return;
  }
  for (;;) {
    errno = 0;
    if (flush_file(file) == 0) break;
    if (errno == ENOSPC && delete_oldest_generation(path)) {
      std::clearerr(file);
      continue;
    }
    std::fclose(file);
    report_failure();
    return;
  }
  if (std::fclose(file) != 0) report_failure();
}

}  // namespace

void log_message(int level, const char* source, int line, const char* format, ...) {
  if (level != kLogEvent && (level <= 0 || level < log_level)) return;

  std::lock_guard<std::mutex> guard(log_mutex);
  va_list args;
  va_start(args, format);
  if (log_to_console) {
    std::fprintf(stderr, "%s: %d: %s: ", source, line, level == kLogEvent ? kLevelWords[kLogError] : level_word(level));
    va_list console_args;
    va_copy(console_args, args);
    std::vfprintf(stderr, format, console_args);
    va_end(console_args);
  }
  if (!log_to_file) {
    va_end(args);
    return;
  }

  std::string message;
  bool formatted = format_text(message, format, args);
  va_end(args);
  if (!formatted) {
    errno = ENOMEM;
    report_failure();
    return;
  }

  const std::string* path = &log_file_path;
  int word_index;
  if (level == kLogEvent && !event_file_path.empty()) {
    path = &event_file_path;
    bool change = message.compare(0, 9, "connected") == 0 || message.compare(0, 12, "disconnected") == 0;
    word_index = change ? kEventWordChange : kEventWordEnd;
  } else if (level == kLogEvent) {
    word_index = kLogEvent;  // the empty word
  } else {
    word_index = (level >= kLogDebug && level <= kLogWarning) ? level : kLogError;
  }
  if (path->empty()) return;
  log_rotation_fwrite(*path, source, line, word_index, message);
}

void log_compress_worker(std::string path) {
  for (int n = 1; n <= kLogRotateCount; ++n) {
    std::string plain = plain_generation(path, n);
    if (!file_exists(plain)) continue;
    std::vector<char> content;
    bool read_ok = false;
    if (std::FILE* file = std::fopen(plain.c_str(), "rb")) {
      struct stat st{};
      if (::fstat(::fileno(file), &st) == 0) {
        content.resize(static_cast<std::size_t>(st.st_size));
        read_ok = std::fread(content.data(), 1, content.size(), file) == content.size();
      }
      std::fclose(file);
    }
    if (!read_ok || content.empty()) continue;
    gzFile gz = ::gzopen(compressed_generation(path, n).c_str(), "wb");
    if (gz == nullptr) continue;
    int wrote = ::gzwrite(gz, content.data(), static_cast<unsigned>(content.size()));
    // gzwrite buffers: only a clean close proves the compressed generation is
    // complete, so the plain one is kept otherwise and compressed next time.
    bool closed = ::gzclose(gz) == Z_OK;
    if (closed && wrote > 0 && static_cast<std::size_t>(wrote) == content.size()) ::unlink(plain.c_str());
  }
  rotation_lock.release();
}

namespace log_testing {
void wait_for_compression() {
  rotation_lock.acquire();
  rotation_lock.release();
}

void hold_rotation_lock(bool hold) {
  if (hold) {
    rotation_lock.acquire();
  } else {
    rotation_lock.release();
  }
}
}  // namespace log_testing
