// SIGPIPE kept blocked on one thread for the length of a scope.
#include "daemon/sigpipe_block.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace {

sigset_t only_sigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

bool sigpipe_pending() {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

ScopedSigpipeBlock::ScopedSigpipeBlock() noexcept {
  sigset_t pipe_set = only_sigpipe();
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask_);
  was_pending_ = sigpipe_pending();
}

ScopedSigpipeBlock::~ScopedSigpipeBlock() {
  // A SIGPIPE that was already pending belongs to someone else: leave it.
  if (!was_pending_ && sigpipe_pending()) {
    sigset_t pipe_set = only_sigpipe();
    const timespec no_wait{0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}
