// The control listener: the agent's local control server on 127.0.0.1:14369
// (control/control_protocol.h). One thread takes one request per connection,
// reads it to the end of the client's stream, parses it into a control
// request (parse_control_request, cloud/json_helper.h), executes it through
// the control commands (control_listener_command.h), writes the reply
// "{\"result\":%d}" and closes the connection.
//
// Usage (the agent's entry point):
//
//   int exit_pipe[2];
//   pipe(exit_pipe);
//   std::thread listener = start_control_listener(&context, exit_pipe[0]);
//   ...
//   write(exit_pipe[1], &kExitCommandByte, 1);   // ends the whole process (status 0)
//   // any other byte ends only the listener thread: then listener.join()
//
// A local client cannot hold the listener: the thread reads every open
// connection at once (poll), each with its own kControlReadTimeoutSeconds to
// deliver its whole request and a cap of kControlRequestMaxBytes; a
// connection that runs past either is answered with -1 (and logged). Complete
// requests are taken in the order they became complete. Nor can the network
// hold it: a command that may wait on the zelCloud (a discovery) runs on the
// control worker (control_worker.h), which answers its client when it has
// run, while the listener goes on serving the others (pause_connections
// ends such a command with -10). At most kControlMaxConnections are read at
// once: a new one then pushes out the one that has waited longest. A failed
// accept (no descriptors or memory left) is logged, waits kAcceptRetryMs,
// and never ends the listener. The thread goes round its loop at least once
// a second and marks its progress (daemon/liveness.h).
//
// Threading: the listener thread alone accepts and serves connections.
// execute_control_request and free_control_request are also called on the
// control worker and on the message thread for control requests from the
// zelbroker (execute_incoming_request, incoming_requests.h).
#pragma once

#include <cstddef>
#include <thread>

#include "cloud/json_helper.h"

class agent_context;  // cloud/logic.h

// The byte on the exit pipe that ends the process rather than the thread.
inline constexpr char kExitCommandByte = 't';
// Requests are read in chunks of this size.
inline constexpr std::size_t kRequestReadChunk = 4096;
// Longest request text accepted; a longer one is answered with -1.
inline constexpr std::size_t kControlRequestMaxBytes = 64 * 1024;
// Time a connection has to deliver its whole request (up to its half-close).
inline constexpr int kControlReadTimeoutSeconds = 5;
// Backlog of the listening socket.
inline constexpr int kControlListenBacklog = 128;
// Connections read at the same time; one more pushes out the oldest.
inline constexpr std::size_t kControlMaxConnections = 64;
// Wait after a failed accept that lacked descriptors, buffers or memory.
inline constexpr int kAcceptRetryMs = 100;
// At most one log line per this many seconds about such failures.
inline constexpr int kAcceptFailureLogSeconds = 10;

// What the listener thread works with: the agent context (passed to every
// command) and the read end of the exit pipe (owned by the caller, who
// holds the write end).
struct control_listener_args {
  agent_context* context = nullptr;
  int exit_pipe_fd = -1;
};

// Stores the two arguments in the process-wide record, starts the control
// worker and the listener thread on the record. Returns the thread (the caller joins it after a
// byte other than kExitCommandByte); an empty std::thread when the thread
// cannot be created (logged). Also installs the check by which the message
// sender hands messages for the agent's own handler name to
// execute_incoming_request (incoming_requests.h).
std::thread start_control_listener(agent_context* context, int exit_pipe_fd);

// The listener thread's routine: returns at once for a null record. Sets up
// the socket (failures end the thread, logged), serves connections until a
// byte arrives on the exit pipe (or poll fails), closes the socket and stops
// the control worker. The exit byte 't' then ends the process with status 0.
void control_listener_thread(const control_listener_args* args);

// Writes the reply "{\"result\":<result>}" to a control client's connection
// without waiting (a failure is logged). Any thread.
void send_control_reply(int fd, int result);

// 1 while the listener thread is listening on the control port, -1 after it
// failed to set up its socket, else 0.
int control_listener_listening();

// Executes a parsed request with the command handlers and returns the control
// result code. send_discovery while zel_use_discovery is not 1 is answered 0
// (WARNING "Discovery is disabled."); a request of an unknown type is
// answered 0 after a WARNING and nothing runs; a request whose kind needs a
// payload and has none (only possible when built by hand) is refused with -1.
int execute_control_request(const control_request& request, agent_context& context);

// Releases the request's payload and clears it (the type stays).
void free_control_request(control_request& request);

// Seams for the tests only.
namespace control_listener_testing {
// Replaces the read limit of kControlReadTimeoutSeconds (0 restores it).
void set_read_timeout_ms(int milliseconds);
}  // namespace control_listener_testing
