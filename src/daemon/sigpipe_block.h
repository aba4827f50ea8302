// A scope that keeps SIGPIPE away from the process on one thread, for writes
// that cannot pass MSG_NOSIGNAL: shared by the broker link (TLS writes) and
// local delivery (writes to a handler program's pipe).
#pragma once

#include <csignal>

// Keeps SIGPIPE blocked on the calling thread for its lifetime, for writes
// that cannot pass MSG_NOSIGNAL (a TLS library writing to its socket, a
// write to a pipe). A SIGPIPE raised meanwhile on this thread is consumed
// before the old signal mask is restored, so it never reaches the process.
class ScopedSigpipeBlock {
 public:
  ScopedSigpipeBlock() noexcept;
  ~ScopedSigpipeBlock();
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;

 private:
  sigset_t old_mask_;
  bool was_pending_ = false;
};
