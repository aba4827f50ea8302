// The broker link: the one long-lived connection to the zelbroker, run by the
// broker thread. In a loop the thread asks the cloud advisor where the
// zelbroker is, connects (directly or through a proxy), introduces itself
// with a hello, sends its keepalive settings, reports the agent connected and
// then reads packets until the link breaks, a command closes it or the thread
// is told to stop; then it reports the agent disconnected, sleeps the
// zelbroker delay and starts over.
//
// Usage (the agent's entry point; the control commands and the discovery
// scheduler start and stop the thread the same way):
//
//   // once, before the first start: a SIGUSR1 handler that only returns,
//   // installed without SA_RESTART, and SIGPIPE ignored
//   start_broker_thread(&context);
//   ...
//   // the heartbeat timer, on each tick:
//   check_heartbeat();
//   send_heartbeat_command();
//   ...
//   stop_broker_thread();
//
// Threads: start_broker_thread, stop_broker_thread, send_command and its two
// shorthands and check_heartbeat may be called from any thread. The
// connection, the packet reader and the command pipe's read end belong to the
// broker thread alone; other threads reach it only through the command pipe
// (under the command mutex) and through stop_broker_thread.
//
// Stopping: stop_broker_thread clears keep_connection, then interrupts
// whatever the thread waits in (the socket wait, an advisor "wait forever",
// a timed sleep of the sleep gate, a name lookup, connect, TLS handshake,
// proxy exchange or write) and joins it. The broker thread keeps SIGUSR1
// blocked except inside its waits, so a stop signal is never lost between a
// check of the flag and the wait. Every wait on a peer also looks at
// keep_connection and agent_stop_requested() at least every
// kBrokerStopCheckInterval (net_helper.h), and marks the thread's progress
// (note_progress) as often, so a stop of the whole agent ends it too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class agent_context;

// 1 while the broker thread is to keep running; 0 once a stop has been asked
// for (and before any start). The start and stop of the broker thread write
// it; the broker thread, the control commands and the socket helpers read it
// from any thread without a lock.
extern std::atomic<int> keep_connection;

// Command bytes of the command pipe; any other byte is ignored.
inline constexpr char kCommandHeartbeat = 'h';  // send a heartbeat now
inline constexpr char kCommandClose = 'c';      // drop the link, reconnect without the delay

// Longest zelbroker host name taken from the advisor (a 256-byte buffer).
inline constexpr std::size_t kBrokerHostMax = 255;

// Starts the broker thread with `context` (which must outlive the thread).
// Returns 0 when a thread was started, -1 when one is already running
// (WARNING "zelbroker thread already started.\n").
int start_broker_thread(agent_context* context);

// Stops the broker thread and waits until it has ended and released its
// connection, pipe and reader. Returns 0 (also with no thread running, after
// WARNING "Trying to stop stopped/uncreated zelbroker thread.\n"). A start
// made meanwhile waits for the stop to finish. Not from the broker thread.
int stop_broker_thread();

// Writes one command byte to the broker thread. Returns 0 after the write
// (a failed write is traced at DEBUG), -1 when there is no connection to
// receive it (WARNING with the byte as a number).
int send_command(char command);
int send_heartbeat_command();    // send_command('h')
int close_connection_command();  // send_command('c')

// Compares the last answered heartbeat number with the last sent one: when
// they differ, logs ERROR "latest heartbeat is not received! Sending command
// to close connection.\n" and closes the link (the thread reconnects at
// once); otherwise DEBUG "heartbeat OK!\n".
void check_heartbeat();

// Asks the advisor where the zelbroker is. Returns 0 with `host` (at most 255
// characters), `port` (the advisor's, else `zel_broker_port`) and `token`
// (the decoded advisor token, or none) filled in; -1 after a failed request
// (having slept the advisor delay), after a "wait" answer (having slept its
// period, or until interrupted for "wait forever") and for any other answer.
int request_broker_address(std::string* host, std::uint16_t* port,
                           std::optional<std::string>* token, agent_context* context);
