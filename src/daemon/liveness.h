// Liveness of the agent's long-lived threads: each one marks its progress
// every time it goes round its loop (and at least once a second while idle),
// so that a service-manager watchdog can tell a hung thread from a quiet one.
//
// Usage, in a thread's loop:
//
//   note_progress(watched_thread::message);
//
// Test builds (ZEL_TEST_HOOKS) read ZEL_TEST_STALLED_THREAD (control_listener,
// message or broker) at start: that thread's marks after its first are
// ignored, which is how the agent's tests make a thread look hung.
#pragma once

#include <cstdint>

enum class watched_thread : int { control_listener = 0, message = 1, broker = 2 };
constexpr int kWatchedThreads = 3;

// Records that `which` made progress now. Any thread; lock-free.
void note_progress(watched_thread which);

// Milliseconds of the steady clock at `which`'s last progress, 0 before the
// first. Any thread.
std::int64_t last_progress_ms(watched_thread which);

// Milliseconds of the steady clock now (the clock of last_progress_ms).
std::int64_t liveness_now_ms();
