// Progress marks of the watched threads: one atomic time stamp each.
#include "daemon/liveness.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<std::int64_t> progress_ms[kWatchedThreads];

#ifdef ZEL_TEST_HOOKS
// Test builds only: the thread named by ZEL_TEST_STALLED_THREAD keeps its
// first mark and no later one, as if it hung after its first turn. Read
// before main, while the process has one thread.
const int stalled_thread = [] {
  const char* name = std::getenv("ZEL_TEST_STALLED_THREAD");
  const char* const names[kWatchedThreads] = {"control_listener", "message", "broker"};
  for (int i = 0; name != nullptr && i < kWatchedThreads; ++i) {
    if (std::strcmp(name, names[i]) == 0) return i;
  }
  return -1;
}();
#endif
}  // namespace

std::int64_t liveness_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void note_progress(watched_thread which) {
  const int index = static_cast<int>(which);
#ifdef ZEL_TEST_HOOKS
  if (index == stalled_thread && progress_ms[index].load() != 0) return;
#endif
  progress_ms[index].store(liveness_now_ms());
}

std::int64_t last_progress_ms(watched_thread which) { return progress_ms[static_cast<int>(which)].load(); }
