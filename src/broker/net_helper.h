// Socket helpers of the broker link (the control listener uses them too): TCP keepalive
// with the probe timings the advisor hands out, moving whole buffers over a
// socket while riding over interrupted system calls, and the bounded waits
// used while a broker link is being opened.
//
// Usage:
//
//   UniqueFd sock(::socket(AF_INET, SOCK_STREAM, 0));
//   ...
//   if (send_all(sock.get(), payload.data(), payload.size()) != (int)payload.size()) ...
//
// Every operation runs on the caller's thread, keeps no state of its own and
// may run on several threads at once. None of them closes the caller's
// socket. No operation here can end the process by SIGPIPE: sends use
// MSG_NOSIGNAL.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <csignal>
#include <functional>

#include "common/unique_fd.h"
#include "daemon/sigpipe_block.h"

struct connection;

// Switches a descriptor to non-blocking mode for its lifetime and puts the
// old file status flags back afterwards.
class NonblockingScope {
 public:
  explicit NonblockingScope(int fd) noexcept;
  ~NonblockingScope();
  NonblockingScope(const NonblockingScope&) = delete;
  NonblockingScope& operator=(const NonblockingScope&) = delete;

 private:
  int fd_;
  int flags_;
};

// Sets SO_KEEPALIVE on `sock`. Returns 0, or -1 after ERROR "setsockopt(): %s.\n".
int enable_keepalive(int sock);

// Switches keepalive on with the three timings: idle seconds before the first
// probe (TCP_KEEPIDLE), unanswered probes before the link is dropped
// (TCP_KEEPCNT), seconds between probes (TCP_KEEPINTVL), handed to the kernel
// unchanged. Returns 0 when all four options were set, -1 at the first that
// fails (logged).
int set_keepalive(int sock, std::uint32_t idle_seconds, std::uint32_t probe_count,
                  std::uint32_t interval_seconds);

// Reads exactly `length` bytes through `conn` (connection_read: TLS when the
// connection has a session). Returns `length`; 0 when the peer closed first
// (bytes already read stay in the buffer but are not reported); -1 on error,
// or when a read interrupted by a signal finds keep_connection at 0.
int read_exact(connection* conn, void* buffer, std::size_t length);

// Sends all `length` bytes on `sock` (MSG_NOSIGNAL), sending again after
// EINTR. Returns `length`; 0 when send reported 0 bytes; -1 on error. A
// caller that needs a bounded time gives the socket a send time-out
// (SO_SNDTIMEO): a send that times out is an error (-1).
int send_all(int sock, const void* buffer, std::size_t length);

// --- Bounded waits of the broker thread -----------------------------------
//
// Each step of opening a link (the name lookup, the TCP connect, the TLS
// handshake, each proxy or SOCKS exchange, the hello) and each write on an
// open link must end within kBrokerStepTimeoutSeconds, so that a zelbroker
// or proxy that accepts the connection and then stays silent (or reads
// nothing) cannot hold the broker thread for ever. A stop of the broker link
// ends a wait within kBrokerStopCheckInterval: keep_connection set to 0
// (stop_broker_thread, which also sends SIGUSR1 to end the wait at once) or
// a stop of the whole agent (agent_stop_requested). Every wait also marks the
// broker thread's progress for the watchdog at that interval.

inline constexpr int kBrokerStepTimeoutSeconds = 30;
inline constexpr std::chrono::milliseconds kBrokerStopCheckInterval{200};

// True once the broker link is to stop: keep_connection is 0 or the agent is
// stopping. Any thread.
bool broker_link_stopping();

using StepDeadline = std::chrono::steady_clock::time_point;

// The limit now in force, in milliseconds (kBrokerStepTimeoutSeconds unless a
// test shortened it).
int broker_step_timeout_ms();

// now + broker_step_timeout_ms().
StepDeadline broker_step_deadline();

// Waits until `sock` is ready for `events` (POLLIN, POLLOUT) or `deadline`
// passes. `step` names what is awaited, for the log ("TLS handshake").
// Returns 1 when ready (also for an error or hang-up condition, which the
// following read or write reports); 0 when the deadline passed (WARNING
// "Timed out after %d ms waiting for %s.\n"); -1 when poll fails or the
// broker link is being stopped (broker_link_stopping() before or during the
// wait: DEBUG "Broker link is stopping, %s abandoned.\n").
// SIGUSR1 is unblocked only inside the wait itself, so a stop signal sent
// after the flag was checked is never lost.
int wait_for_socket(int sock, short events, StepDeadline deadline, const char* step);

// One read through `conn` (connection_read) for a set-up exchange: waits for
// input until `deadline` first, and rides over "not yet" results (TLS needing
// more input, EAGAIN, EINTR) until the deadline. Returns the byte count
// (> 0); 0 when the peer closed; negative on a read error; -1 with errno
// ETIMEDOUT when the deadline passed or ECANCELED when the link is being
// stopped (both already logged by wait_for_socket).
int connection_read_before(connection* conn, void* buffer, std::size_t size,
                           StepDeadline deadline, const char* step);

// Writes all `length` bytes through `conn` before `deadline`: TLS or plain,
// with the socket non-blocking meanwhile, waiting for the socket whenever it
// cannot take more ("not yet": TLS wanting to write or read, EAGAIN, EINTR).
// Returns `length`; negative on a write error (logged by connection_write's
// rules), or -1 with errno ETIMEDOUT or ECANCELED (logged by wait_for_socket).
int connection_write_before(connection* conn, const void* bytes, std::size_t length,
                            StepDeadline deadline, const char* step);

// Runs `lookup` (a blocking name lookup, which may take the resolver's own
// minutes) on a helper thread and waits until it returns, `deadline` passes
// or the link is stopped. Returns true when it returned; false when it was
// abandoned (WARNING "Timed out after %d ms waiting for %s.\n" or DEBUG
// "Broker link is stopping, %s abandoned.\n"): the helper then ends on its
// own, so `lookup` must own (share) everything it touches. Runs `lookup`
// here when no thread can be made.
bool run_lookup_before(std::function<void()> lookup, StepDeadline deadline, const char* step);

namespace net_testing {
// Shortens (or restores with 0) the limit of each step for tests. Any thread.
void set_broker_step_timeout_ms(int milliseconds);
}  // namespace net_testing
