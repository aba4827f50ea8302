// What the agent tells a service manager that runs it with Type=notify
// (systemd): that it is ready once it holds its pid file and the control
// port, that it is alive (the watchdog keep-alive, sent only while every
// long-lived thread makes progress, so that a thread that hangs in a live
// process gets the agent restarted), and that it has begun to shut down.
//
// The protocol: one datagram of NAME=value lines ("READY=1") to the UNIX
// datagram socket named by NOTIFY_SOCKET, a path or, after '@', a name in the
// abstract namespace. WATCHDOG_USEC is the watchdog period; WATCHDOG_PID,
// when set, names the process it is meant for. Without NOTIFY_SOCKET nothing
// is sent and the agent behaves as it always did.
//
// Usage by the agent's main thread:
//
//   service_notify_init();          // first thing, while the process has one thread
//   ...                             // pid file and control port held
//   service_notify("READY=1");
//   service_watchdog watchdog(service_watchdog_period_ms(), liveness_now_ms());
//   for (;;) { if (watchdog.due(liveness_now_ms())) service_notify("WATCHDOG=1"); ... }
//   service_notify("STOPPING=1");
#pragma once

#include <cstdint>

// Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID out of the environment
// and keeps them here. Handler programs inherit the agent's environment: they
// must not speak to the service manager for the agent (with NotifyAccess=all
// a handler's keep-alive would hide a hung agent). Call once, before any
// other thread exists (unsetenv is not safe beside other threads).
void service_notify_init();

// True when the agent was started with a notification socket.
bool service_manager_present();

// Sends `state` (one or more NAME=value lines) to the service manager without
// waiting. Returns 0 when sent or when there is no service manager, -1 when
// the datagram could not be sent (logged).
int service_notify(const char* state);

// The watchdog period the service manager asks for, in milliseconds; 0 when
// there is none (no socket, WATCHDOG_USEC missing or not a positive number,
// WATCHDOG_PID naming another process).
std::int64_t service_watchdog_period_ms();

// Decides when the watchdog keep-alive is sent: every half period, and only
// while the control listener, the message thread (once it has started) and
// the broker thread (while keep_connection is 1) have each marked progress
// (daemon/liveness.h) within the period. A thread counts from the watchdog's
// start, or for the broker from the moment its link was switched on, so a
// thread that has just started is not taken for a hung one. Logs when a
// thread is found stalled and when it moves again. Main thread only.
class service_watchdog {
 public:
  // `period_ms` 0 or less: never due.
  service_watchdog(std::int64_t period_ms, std::int64_t now_ms);

  // True when a keep-alive is due at `now_ms` and every watched thread is
  // alive: the caller sends WATCHDOG=1. Call it every turn of the main loop.
  bool due(std::int64_t now_ms);

  // Milliseconds from `now_ms` until due() has something to decide (0 or
  // more; INT64_MAX when never), so the main loop can wake in time.
  std::int64_t ms_until_due(std::int64_t now_ms) const;

 private:
  std::int64_t period_ms_;
  std::int64_t started_ms_;
  std::int64_t next_due_ms_;
  std::int64_t broker_since_ms_ = 0;  // when keep_connection was seen 1; 0 while it is 0
  int stalled_ = -1;                  // the watched thread last found stalled, -1: none
};
