// The agent daemon: starts every module of the agent in an order that meets
// each one's needs, runs the heartbeat timer and answers signals, and shuts
// everything down again.
//
// Start-up, in order:
//   1. The service manager's variables, taken out of the environment (see
//      service_notify.h); logger settings, hardware id and model, trust paths.
//   2. Unless --foreground: refuse at once when another agent holds the pid
//      file, when the store cannot be read or a cloud URL is not set, then
//      daemonise while the process has its only thread. The starting process
//      waits: it ends with status 0 once the daemon holds its pid file and
//      its control port, or with 1 and the daemon's reason on standard error.
//   3. The pid-file lock, before anything touches the store, the network or a
//      handler: a refused second agent leaves no trace.
//   4. Signals: SIGUSR1 handler that only returns (no SA_RESTART: it ends the
//      broker thread's waits), SIGPIPE ignored, SIGTERM, SIGINT and SIGHUP
//      blocked in every thread and taken by the main loop. Handler programs
//      that have ended are reaped every second by the main loop.
//   5. The agent context (a store that cannot be read, or a missing cloud
//      URL, is an error naming the store or the key).
//   6. The message sender, then the agent state (the first report is a
//      message, and carries the daemon's own pid), the shared HTTP state.
//   7. The control listener on its exit pipe. A daemon, and an agent started
//      by a service manager (NOTIFY_SOCKET), wait until it listens (or refuse
//      the start); then the starting process ends, and the service manager
//      hears READY=1.
//   8. Registration (or, when registered, the broker link under its rules).
//   9. The main loop: the heartbeat timer, the service manager's watchdog
//      keep-alive (only while every long-lived thread makes progress);
//      SIGHUP sends a refresh report, SIGTERM and SIGINT shut the agent down.
//
// Shut-down: STOPPING=1 to the service manager, the control listener through its exit pipe (no new requests),
// the registration, the broker link, the discovery thread's waits, the
// message sender (what is queued is delivered within kShutdownDrainSeconds
// of the stop request, writes in progress cut then and the rest dropped,
// every message not delivered counted in an ERROR), the handler programs and
// everything they started (the agent is their subreaper: SIGTERM, then
// SIGKILL), the HTTP state, the pid file; then the process ends with status 0.
#pragma once

#include <optional>
#include <string>

#include "agent/agent_options.h"

// Byte written to the control listener's exit pipe at shut-down. It ends
// only the listener thread (kExitCommandByte would end the process there and
// then, before the queued messages are delivered).
inline constexpr char kListenerStopByte = 'q';

// How long the shut-down waits for a thread that is inside a cloud request
// (registration, discovery) before it leaves it behind; both give up their
// requests within about a second of the stop.
inline constexpr int kShutdownRequestWaitSeconds = 5;

// Runs the agent with `options` (help and version already dealt with).
// Returns the process's exit status: kAgentExitOk after an orderly shut-down
// (in practice the shut-down ends the process itself with status 0),
// kAgentExitFailure when the start is refused (another agent holds the pid
// file, a cloud URL is missing, no hardware id, daemonising failed).
int run_agent(const agent_options& options);

// The first of the four cloud URL keys that is not set in the store, or
// std::nullopt when all are.
std::optional<std::string> missing_cloud_url_key();

// The error text for a missing cloud URL key: names the key and how to set it.
std::string missing_url_message(const std::string& key);

// `path` made absolute against the current directory (the daemon changes
// directory to "/"); empty stays empty.
std::string absolute_path(const std::string& path);
