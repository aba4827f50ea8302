// The Logger. One mutex serialises the console output and the whole file
// step (rotation renames and disk-full retries included), so lines of
// different threads never interleave. The rotation lock is taken by the call
// that rotates and released by the compression thread it starts, so at most
// one rotation with its compression is in progress; a binary semaphore holds
// it because it is released on another thread than the one that took it.
#include "log/log.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <new>
#include <mutex>
#include <semaphore>
#include <string_view>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

int log_level = kLogSilent;
int log_to_console = 1;
int log_to_file = 1;
std::string log_file_path;
std::string event_file_path;

namespace log_testing {
ssize_t (*write_hook)(int, const void*, std::size_t) = nullptr;
std::int64_t (*clock_hook)() = nullptr;
}

namespace {

constexpr const char* kLogModule = "log";
constexpr std::int64_t kSecondsPerMinute = 60;

// Indexes 7 and 8 are the event file's words; callers never pass them.
constexpr const char* kLevelWords[] = {"", "  DEBUG", "   INFO", "WARNING", "  ERROR", "", "", "E", "S"};
constexpr int kEventWordEnd = 7;      // an event that is not a connection change
constexpr int kEventWordChange = 8;   // "connected..." / "disconnected..."
// Only the beginning of an event's text decides whether it is a connection change.
constexpr std::string_view kConnectedPrefix = "connected";
constexpr std::string_view kDisconnectedPrefix = "disconnected";
constexpr std::size_t kTimeBufferSize = 256;
// gzwrite takes an unsigned length; a live file that grew far past the
// limit while rotations were skipped is left uncompressed beyond this.
constexpr std::uint64_t kMaxCompressedInput = 0x7FFFFFFF;
constexpr mode_t kLogFileMode = 0666;  // as fopen creates files; the umask applies

// Guards the console output, the file step of every line that passes the
// filter, the flood counters and the budget.
std::mutex log_mutex;

// The flood limit's count for one source line in the current second. A
// fixed table indexed by a hash of the source: two sources that share a slot
// take turns (each change of owner writes the old owner's count and starts a
// new one), which only makes the limit looser for them.
struct FloodSlot {
  const char* source = nullptr;
  int line = 0;
  std::int64_t second = 0;
  int count = 0;
  std::size_t bytes = 0;
  unsigned suppressed = 0;  // not written yet
};
constexpr std::size_t kFloodSlots = 256;
FloodSlot flood_slots[kFloodSlots];  // guarded by log_mutex
std::size_t slots_suppressing = 0;   // slots whose suppressed count is not written; log_mutex
std::int64_t last_quiet_scan = -1;   // second of the last scan for quiet slots; log_mutex

// Message bytes written in the current minute, and the lines suppressed
// because the minute's budget was spent. Guarded by log_mutex.
struct Budget {
  std::int64_t minute = 0;
  std::int64_t used = 0;
  unsigned suppressed = 0;
};
Budget budget;
// Held from a rotation until the compression of the rotated generations ends.
std::binary_semaphore rotation_lock{1};

// Every level above WARNING other than EVENT is written with the ERROR word,
// "  ERROR" (index 4), so no index outside the table can be reached.
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

// Moves every generation one step up. Generation 5 is dropped when
// generation 4 moves onto it: both of its forms go first, because a stale
// plain generation 5 left beside a fresh compressed one would be compressed
// over it by the next worker, replacing newer content with the oldest.
void shift_generations(const std::string& path) {
  int oldest = kLogRotateCount - 1;
  if (file_exists(plain_generation(path, oldest)) || file_exists(compressed_generation(path, oldest))) {
    ::unlink(plain_generation(path, kLogRotateCount).c_str());
    ::unlink(compressed_generation(path, kLogRotateCount).c_str());
  }
  for (int n = kLogRotateCount; n >= 1; --n) {
    std::string from = plain_generation(path, n - 1);
    if (file_exists(from)) std::rename(from.c_str(), plain_generation(path, n).c_str());
    if (n - 1 >= 1) {
      std::string gz = compressed_generation(path, n - 1);
      if (file_exists(gz)) std::rename(gz.c_str(), compressed_generation(path, n).c_str());
    }
  }
}

// Rotation failures are not reported: the line is still written to the live file.
void rotate(const std::string& path) {
  if (!rotation_lock.try_acquire()) return;  // a compression still runs: skip
  try {
    shift_generations(path);
    std::thread(log_compress_worker, path).detach();
  } catch (const std::exception&) {  // no memory for the path copy, or no thread
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


ssize_t write_file(int fd, const void* data, std::size_t size) {
  return log_testing::write_hook ? log_testing::write_hook(fd, data, size) : ::write(fd, data, size);
}

// Appends the whole line. The writes go straight to the descriptor rather
// than through a stdio buffer: a stdio stream drops its buffered bytes when a
// flush fails, so after a disk-full error a retried flush would "succeed"
// with the line lost. Here a write that stops at ENOSPC resumes where it
// stopped once the oldest rotated generation is deleted. Returns false with
// errno set on failure.
bool append_line(const std::string& path, const std::string& line) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode));
  if (file.get() < 0) return false;
  std::size_t written = 0;
  while (written < line.size()) {
    errno = 0;
    ssize_t n = write_file(file.get(), line.data() + written, line.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    int error = (n == 0) ? EIO : errno;
    if (error == EINTR) continue;
    if (error == ENOSPC && delete_oldest_generation(path)) continue;
    file.close();
    errno = error;
    return false;
  }
  return file.close() == 0;
}

// Appends one line to `path`, rotating first when the line would take the
// file past the size limit. Called with the log mutex held.
void log_rotation_fwrite(const std::string& path, const char* source, int source_line, int word_index,
                         const std::string& message) {
  errno = 0;
  struct stat st{};
  std::int64_t size = 0;
  if (::stat(path.c_str(), &st) == 0) {
    size = static_cast<std::int64_t>(st.st_size);
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
  if (size + static_cast<std::int64_t>(line.size()) > kLogMaxSize) rotate(path);

  if (!append_line(path, line)) report_failure();
}

// Keeps the caller's errno: a log call must not change what the caller is
// about to report.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the whole plain generation; false when it cannot be read.
bool read_whole_file(const std::string& path, std::vector<char>& content) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  struct stat st{};
  if (::fstat(::fileno(file.get()), &st) != 0) return false;
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxCompressedInput) return false;
  content.resize(static_cast<std::size_t>(st.st_size));
  return std::fread(content.data(), 1, content.size(), file.get()) == content.size();
}

// zlib's gzip file functions, loaded when the first rotated generation is
// compressed rather than linked: the control tool, started once per
// command, then loads no library but the C library at its start. Null when
// zlib cannot be loaded; the generations then stay plain.
struct GzipApi {
  gzFile (*open)(const char*, const char*);
  int (*write)(gzFile, voidpc, unsigned);
  int (*close)(gzFile);
};

const GzipApi* gzip_api() {
  static const GzipApi api = [] {
    GzipApi loaded{};
    if (void* zlib = ::dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL)) {
      loaded.open = reinterpret_cast<gzFile (*)(const char*, const char*)>(::dlsym(zlib, "gzopen"));
      loaded.write = reinterpret_cast<int (*)(gzFile, voidpc, unsigned)>(::dlsym(zlib, "gzwrite"));
      loaded.close = reinterpret_cast<int (*)(gzFile)>(::dlsym(zlib, "gzclose"));
    }
    return loaded;
  }();
  return api.open != nullptr && api.write != nullptr && api.close != nullptr ? &api : nullptr;
}

// Compresses plain generation n of `path` into compressed generation n and
// deletes the plain one once the compressed one is complete.
void compress_generation(const std::string& path, int n) {
  std::string plain = plain_generation(path, n);
  if (!file_exists(plain)) return;
  std::vector<char> content;
  if (!read_whole_file(plain, content) || content.empty()) return;
  const GzipApi* gzip = gzip_api();
  if (gzip == nullptr) return;
  gzFile gz = gzip->open(compressed_generation(path, n).c_str(), "wb");
  if (gz == nullptr) return;
  int wrote = gzip->write(gz, content.data(), static_cast<unsigned>(content.size()));
  // gzwrite buffers: only a clean close proves the compressed generation is
  // complete, so the plain one is kept otherwise and compressed next time.
  bool closed = gzip->close(gz) == Z_OK;
  if (closed && wrote > 0 && static_cast<std::size_t>(wrote) == content.size()) ::unlink(plain.c_str());
}

std::int64_t monotonic_second() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec);
}

std::int64_t now_second() { return log_testing::clock_hook ? log_testing::clock_hook() : monotonic_second(); }

// The message as one line: a line break or carriage return inside it is
// written as "\n" or "\r", a long one is cut after kLogMessageMax bytes
// ("...(N bytes)" giving the formatted length), and it ends with the one
// final line feed (added when the format had none).
std::string one_line(std::string_view text) {
  if (text.ends_with('\n')) text.remove_suffix(1);
  std::string out;
  out.reserve(std::min(text.size(), kLogMessageMax) + 24);
  std::size_t used = 0;
  for (; used < text.size() && out.size() < kLogMessageMax; ++used) {
    if (text[used] == '\n') {
      out += "\\n";
    } else if (text[used] == '\r') {
      out += "\\r";
    } else {
      out += text[used];
    }
  }
  if (used < text.size()) out += "...(" + std::to_string(text.size()) + " bytes)";
  out += '\n';
  return out;
}

// Writes one line that passed the limits. Called with the log mutex held.
void write_line(int level, const char* source, int line, const std::string& message) {
  if (log_to_console) {
    std::fprintf(stderr, "%s: %d: %s: %s", source, line,
                 level == kLogEvent ? kLevelWords[kLogError] : level_word(level), message.c_str());
  }
  if (!log_to_file) return;

  const std::string* path = &log_file_path;
  int word_index;
  if (level == kLogEvent && !event_file_path.empty()) {
    path = &event_file_path;
    bool change = message.starts_with(kConnectedPrefix) || message.starts_with(kDisconnectedPrefix);
    word_index = change ? kEventWordChange : kEventWordEnd;
  } else if (level == kLogEvent) {
    word_index = kLogEvent;  // the empty word
  } else {
    word_index = (level >= kLogDebug && level <= kLogWarning) ? level : kLogError;
  }
  if (path->empty()) return;
  log_rotation_fwrite(*path, source, line, word_index, message);
}

// The bytes a message of `source` takes in the file: the message and the
// line's prefix (time, pid, source, line number and word) at its longest.
std::int64_t line_bytes(const char* source, const std::string& message) {
  constexpr std::size_t kLinePrefixBytes = 46;  // "YYYY-MM-DD HH:MM:SS (1234567)::12345\t  ERROR: "
  return static_cast<std::int64_t>(message.size() + std::strlen(source) + kLinePrefixBytes);
}

// Counts `size` bytes against the minute's budget; false (and nothing
// counted) when they do not fit.
bool budget_allows(std::int64_t size) {
  if (budget.used + size > kLogBudgetBytesPerMinute) return false;
  budget.used += size;
  return true;
}

// Writes the budget's suppressed count once its minute is over (or now, when
// `all`), and starts a new minute when one began. The count's own line is
// always written: it is one line a minute at most, and it counts in the
// new minute.
void roll_budget(std::int64_t now, bool all) {
  const std::int64_t minute = now / kSecondsPerMinute;
  if (minute == budget.minute && !all) return;
  if (minute != budget.minute) budget.used = 0;
  budget.minute = minute;
  if (budget.suppressed == 0) return;
  std::string notice = format_line("%u line(s) suppressed (over the log budget of %lld bytes a minute).\n",
                                   budget.suppressed, static_cast<long long>(kLogBudgetBytesPerMinute));
  budget.suppressed = 0;
  budget.used += line_bytes(kLogModule, notice);
  write_line(kLogWarning, kLogModule, __LINE__, notice);
}

// Writes the slot's suppressed count as a WARNING of its source line. Past
// the budget the count joins the budget's instead, unless `forced`.
void write_slot_count(FloodSlot& slot, bool forced) {
  if (slot.suppressed == 0) return;
  std::string notice = format_line("%u more line(s) from here suppressed (over %d lines or %zu bytes a second).\n",
                                   slot.suppressed, kLogFloodLinesPerSecond, kLogFloodBytesPerSecond);
  const std::int64_t size = line_bytes(slot.source, notice);
  if (forced) budget.used += size;
  if (forced || budget_allows(size)) {
    write_line(kLogWarning, slot.source, slot.line, notice);
  } else {
    budget.suppressed += slot.suppressed;
  }
  slot.suppressed = 0;
  --slots_suppressing;
}

// Writes the counts whose second or minute is over, or every count when
// `all`. Without a pending count this is two comparisons, and the slots are
// scanned at most once a second. Called with the log mutex held.
void write_quiet_counts(std::int64_t now, bool all) {
  roll_budget(now, false);
  if (slots_suppressing > 0 && (all || now != last_quiet_scan)) {
    last_quiet_scan = now;
    for (FloodSlot& slot : flood_slots) {
      if (slot.suppressed > 0 && (all || slot.second != now)) write_slot_count(slot, all);
    }
  }
  if (all) {
    roll_budget(now, true);
    budget.used = 0;  // the program's last lines are written, whatever came before
  }
}

// The flood slot of `source`:`line`, its count started anew when its second
// is over or another source line had it (whose count is written first).
FloodSlot& flood_slot(const char* source, int line, std::int64_t now) {
  const std::size_t hash = (reinterpret_cast<std::uintptr_t>(source) >> 3) * 31u + static_cast<unsigned>(line);
  FloodSlot& slot = flood_slots[hash % kFloodSlots];
  if (slot.source != source || slot.line != line || slot.second != now) {
    write_slot_count(slot, false);
    slot = FloodSlot{source, line, now, 0, 0, 0};
  }
  return slot;
}

void suppress(FloodSlot& slot) {
  if (slot.suppressed++ == 0) ++slots_suppressing;
}

// One log call past the level filter: the limits, then the line. A state
// event passes every limit. Called with the log mutex held.
void log_locked(int level, const char* source, int line, bool state_event, const char* format, va_list args) {
  try {
    const std::int64_t now = now_second();
    write_quiet_counts(now, false);
    if (!log_to_console && !log_to_file) return;
    FloodSlot* slot = state_event ? nullptr : &flood_slot(source, line, now);
    if (slot != nullptr && slot->count >= kLogFloodLinesPerSecond) {
      suppress(*slot);
      return;
    }
    std::string formatted;
    if (!format_text(formatted, format, args)) {
      errno = ENOMEM;
      report_failure();
      return;
    }
    const std::string message = one_line(formatted);
    if (slot != nullptr) {
      if (slot->bytes + message.size() > kLogFloodBytesPerSecond) {
        suppress(*slot);
        return;
      }
      if (!budget_allows(line_bytes(source, message))) {
        ++budget.suppressed;
        return;
      }
      ++slot->count;
      slot->bytes += message.size();
    } else {
      budget.used += line_bytes(source, message);
    }
    write_line(level, source, line, message);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    report_failure();
  }
}

}  // namespace

void log_message(int level, const char* source, int line, const char* format, ...) {
  if (level != kLogEvent && (level <= 0 || level < log_level)) return;

  ErrnoKeeper keep_errno;
  std::lock_guard<std::mutex> guard(log_mutex);
  va_list args;
  va_start(args, format);
  log_locked(level, source, line, false, format, args);
  va_end(args);
}

void log_state_event(const char* source, int line, const char* format, ...) {
  ErrnoKeeper keep_errno;
  std::lock_guard<std::mutex> guard(log_mutex);
  va_list args;
  va_start(args, format);
  log_locked(kLogEvent, source, line, true, format, args);
  va_end(args);
}

namespace {
// Writes the suppressed counts due (all of them at `stop`).
void flush_suppressed(bool stop) {
  ErrnoKeeper keep_errno;
  std::lock_guard<std::mutex> guard(log_mutex);
  try {
    write_quiet_counts(now_second(), stop);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    report_failure();
  }
}
}  // namespace

void log_flush_quiet_suppressed() { flush_suppressed(false); }

void log_flush_suppressed() { flush_suppressed(true); }

void log_compress_worker(std::string path) {
  // Released on every path, so a failed compression never blocks rotation.
  struct RotationLockRelease {
    ~RotationLockRelease() { rotation_lock.release(); }
  } release_rotation_lock;

  for (int n = 1; n <= kLogRotateCount; ++n) {
    try {
      compress_generation(path, n);
    } catch (const std::exception&) {
      // Compression failures are silent: the plain generation stays and the
      // next rotation's worker tries again.
    }
  }
}

void log_wait_for_compression() {
  rotation_lock.acquire();
  rotation_lock.release();
}

namespace log_testing {
void wait_for_compression() { log_wait_for_compression(); }
}  // namespace log_testing

std::string log_escape(std::string_view text, std::size_t max) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(std::min(text.size(), max) + 16);
  std::size_t used = 0;
  for (; used < text.size() && out.size() < max; ++used) {
    const auto byte = static_cast<unsigned char>(text[used]);
    switch (byte) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte >= 0x7f) {
          out += "\\x";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0f];
        } else {
          out += static_cast<char>(byte);
        }
    }
  }
  if (used < text.size()) out += "...(" + std::to_string(text.size()) + " bytes)";
  return out;
}
