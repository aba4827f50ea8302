// The control worker: one thread that runs the control commands which may
// wait on the zelCloud (a discovery: send_discovery, and on_release with
// claimed false, while zel_use_discovery is 1), so that neither the control
// listener nor the message thread ever waits on the network. Every other
// command runs at once on the caller's thread, except a claim or a release
// while the worker has commands: it waits behind them, so that the claimed
// state is the last command's.
//
// Usage (the control listener; the message thread likewise without a client):
//
//   std::optional<int> now = run_control_request(std::move(request), context, connection);
//   if (now) send_control_reply(connection.get(), *now);   // ran here, or refused
//
// Commands wait in order in a queue of at most kControlWorkMaxQueued; one
// more is refused with -1 (ERROR "Control worker busy: ... refused ...").
// The worker's requests never wait for a resume: one that finds the cloud
// requests paused ends with -10, and a pause ends the one under way
// (pause_http_requests). stop_control_worker aborts the command under way
// and answers the queued ones with -1 without running them.
//
// Threading: run_control_request from any thread; start and stop from the
// control listener's owner. The worker writes its replies on its own thread.
#pragma once

#include <cstddef>
#include <optional>

#include "cloud/json_helper.h"
#include "common/unique_fd.h"

class agent_context;  // cloud/logic.h

// Commands that wait for the worker besides the one it runs.
inline constexpr std::size_t kControlWorkMaxQueued = 8;

// True when the request's command may talk to the zelCloud (reads
// zel_use_discovery).
bool control_request_needs_cloud(const control_request& request);

// Runs `request` with execute_control_request (control_listener.h). A command
// that needs the cloud is queued for the worker, which takes `client` over
// (the connection of the local client that waits for the answer; empty for
// the zelbroker's requests), writes the result to it with
// send_control_reply once the command ran and closes it: returns
// std::nullopt. So is an on_claim or on_release while the worker has
// commands queued or under way. Otherwise returns the result and leaves `client` alone: the
// command's when it ran on this thread, -1 when the queue is full or the
// worker does not run (both logged with a count).
std::optional<int> run_control_request(control_request request, agent_context& context, UniqueFd& client);

// Starts the worker thread; does nothing while it runs. Returns 0, or -1
// when the thread cannot be created (logged; cloud-bound commands are then
// refused with -1).
int start_control_worker();

// Ends the worker: the command under way gives up its cloud request (within
// about a second) and is answered with its result, the queued ones are
// answered -1 (one ERROR with their number); joins the thread. Idempotent.
void stop_control_worker();

// Seams for the tests only.
namespace control_worker_testing {
// Commands queued or under way on the worker.
std::size_t pending();
}  // namespace control_worker_testing
