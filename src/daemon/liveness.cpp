// Progress marks of the watched threads: one atomic time stamp each.
#include "daemon/liveness.h"

#include <atomic>
#include <chrono>

namespace {
std::atomic<std::int64_t> progress_ms[kWatchedThreads];
}  // namespace

std::int64_t liveness_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void note_progress(watched_thread which) { progress_ms[static_cast<int>(which)].store(liveness_now_ms()); }

std::int64_t last_progress_ms(watched_thread which) { return progress_ms[static_cast<int>(which)].load(); }
