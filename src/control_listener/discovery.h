// The discovery scheduler: announces the device to a cloud service (a
// discovery) and keeps the broker link up for a while afterwards, the
// discovery window, so that a user of that service can claim the device.
// One discovery thread waits out the window, asks the zelCloud after each
// wait whether the device has been claimed, and at the end of the window
// stops the broker link unless the device was claimed (or the link is
// forced on). The two run rules of the broker link live here as well.
//
// Usage (the control commands):
//
//   discovery_request request;
//   request.service = "svc";                    // discovery_time 0: zel_claim_check
//   int rc = push_discovery(&request, &context);  // 0, -9 or post_discovery's code
//   ...
//   start_broker_thread_if_allowed(&context);    // forced, in a window, or claimed
//
// The window runs on the seconds since boot (uptime_seconds), so a change of
// the wall clock neither shortens nor lengthens it. A window is never
// shortened: a push whose window would end earlier leaves the deadline as it
// is (the discovery request is still sent).
//
// Threading: push_discovery may be entered from the control listener thread
// and the message thread at once. The discovery lock guards the deadline and
// the discovery thread's handle; it is taken before the broker thread's
// start/stop mutex (start_broker_thread, stop_broker_thread) and never by
// the broker thread. At most one discovery thread runs; an ended thread is
// joined exactly once, by the next push, under the discovery lock.
#pragma once

#include <chrono>
#include <cstdint>

#include "cloud/json_helper.h"

class agent_context;  // cloud/logic.h

// Result of push_discovery without a request.
inline constexpr int kDiscoveryNoRequest = -9;

// Sends the discovery (post_discovery with the request and the context), then
// opens or extends the window: its end becomes uptime plus the request's
// discovery time (the context's claim_check when that is 0 or less), unless
// the window already ends later. Starts the discovery thread and the broker
// thread when no discovery thread is recorded. Whatever the request's
// outcome, a discovery thread that has ended is joined first.
// Returns 0 on success, kDiscoveryNoRequest (-9) when `request` is null, or
// post_discovery's code (-5 for an HTTP status other than 200, -4, -7, -8,
// 1, ...): then the window is neither opened nor extended.
// `request` is only read; `context` must outlive the discovery thread.
int push_discovery(const discovery_request* request, agent_context* context);

// The discovery thread's routine (started by push_discovery; exposed for
// the thread and for tests). Returns when the device is seen claimed after a
// wait, or when the window is over (then the broker link is stopped unless
// zel_force_connection is 1); in both cases the deadline is 0 afterwards.
void discovery_thread(agent_context* context);

// 1 when the window's end lies after the current uptime, else 0. Reads the
// deadline without the lock; any thread.
int discovery_pending();

// Seconds since boot (sysinfo), 0 when that cannot be read. Any thread.
long uptime_seconds();

// -1 and nothing else when zel_force_connection is 1; otherwise stops the
// broker thread (stop_broker_thread) and returns 0. Never takes the
// discovery lock, so the discovery thread may call it while holding it.
int stop_broker_thread_unless_forced();

// Starts the broker thread (start_broker_thread) when zel_force_connection
// is 1, else when a discovery window is open, else when the device is
// claimed; otherwise does nothing. Returns 0.
int start_broker_thread_if_allowed(agent_context* context);

// For the agent's shut-down, once agent_stop_requested(): the discovery
// thread gives up its wait and its claim-status request, and ends without
// touching the broker link or the claimed state. Waits for that (waking the
// sleep gate's sleepers meanwhile) at most until `deadline` and joins the
// thread. True when no discovery thread runs any more.
bool join_discovery_thread(std::chrono::steady_clock::time_point deadline);

// Seams for the tests only.
namespace discovery_testing {
// Seconds added to what sysinfo reports: moves the window's clock forward
// (or back) without waiting. 0 restores the real clock. Any thread.
void set_uptime_offset(long seconds);
// The window's end (seconds of uptime; 0 = no window), read under the lock.
std::int32_t deadline();
// True while a discovery thread is running its routine.
bool thread_running();
// Number of waits for the window's end begun by discovery threads so far.
int waits_begun();
// Closes any open window and joins the discovery thread, leaving the
// scheduler idle: sets the deadline to 0 and wakes the sleepers until the
// thread has ended. The thread still asks the zelCloud for the claim status
// once (so the cloud must answer) and, unless it sees a claim, stops the
// broker link as at the end of any window (unless forced).
void end_window_and_join();
}  // namespace discovery_testing
