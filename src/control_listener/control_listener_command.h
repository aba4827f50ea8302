// The control commands: what the agent does for each kind of control request.
// They start or stop the broker link, pause or resume the cloud requests,
// record whether the device is claimed, tell a local service about a claim
// or a release, and trigger discoveries. Each handler's return value is the
// control result code of the reply (control/control_protocol.h).
//
// Usage (the control request executor, control_listener.h):
//
//   int code = handle_on_claim(request.service, request.value, context);
//
// The handlers keep no state of their own. The paused state of the cloud
// requests spans requests: after handle_pause_connections, send_discovery and
// a not-claimed on_release (with discovery in use) answer -10 until
// handle_resume_connections.
//
// Threading: local requests run on the control listener thread, requests from
// the zelbroker on the message thread, so handlers may overlap; they change
// shared state only through the operations of the broker link, the cloud
// client and the discovery scheduler, which lock for themselves.
// keep_connection and the pause flag are read without a lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cloud/json_helper.h"

class agent_context;  // cloud/logic.h

// send_discovery (called only while zel_use_discovery is 1). Returns -1 while
// the context has no agent id, -10 while cloud requests are paused; else
// takes the request's carrier id (when given) into the context and returns
// push_discovery's result (0, -5, -4, -7, -8, 1, ...; -10 when a pause
// ended its cloud request).
int handle_send_discovery(const discovery_request& request, agent_context& context);

// on_claim: starts the broker link when it is not meant to run, marks the
// device claimed and notifies the service "event_sink_<service>" with claimed
// true. `value` is only logged. Returns 0.
int handle_on_claim(const std::string& service, std::int32_t value, agent_context& context);

// on_moravault: starts the broker link when it is not meant to run; `value`
// is only logged. Returns 0.
int handle_on_moravault(const std::string& service, std::int32_t value, agent_context& context);

// on_release. With `value` 1 the device stays claimed (the link is started
// and the claimed state set when the link is not meant to run). Otherwise,
// with discovery in use: -10 while paused (nothing changes, no notification);
// else a discovery for `service` with the default window is pushed (its
// result ignored, but for -10 when a pause ended it: then as while paused)
// and the link started. Without discovery the link is stopped
// unless forced. Then the device is marked not claimed. In every case but -10
// the service is notified with claimed false. Returns 0 or -10.
int handle_on_release(const std::string& service, std::int32_t value, agent_context& context);

// resume_connections: replaces the context's carrier id when `carrier` is
// given, resumes the cloud requests (waking every sleeper) and then starts the
// broker link when start_broker_thread_if_allowed allows. Returns 0.
int handle_resume_connections(const std::optional<std::string>& carrier, agent_context& context);

// pause_connections: stops the broker link, then pauses the cloud requests.
// Returns 0.
int handle_pause_connections();
