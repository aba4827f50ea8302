// The broker thread and its controls. One attempt of the thread's loop:
//
//   asking      request_broker_address (advisor; wait or failure sleep here)
//   connecting  open_broker_connection (direct TLS or through a proxy)
//   introducing hello, broker keepalive, socket keepalive options
//   connected   set_connected(1), then pselect on the socket and the command
//               pipe, feeding every byte to the packet reader; the wait
//               wakes every kBrokerStopCheckInterval to mark its progress
//               for the watchdog and to see a stop of the whole agent
//   closing     reader, connection and pipe released, set_connected(0)
//   sleeping    the zelbroker delay (skipped after a 'c' command)
//
// Stopping: stop_broker_thread clears keep_connection, then nudges the thread
// until it has ended: SIGUSR1 ends a socket wait (the thread keeps the signal
// blocked between its check of the flag and the wait, so the signal cannot
// slip in between) and an advisor "wait forever"; a wake of the sleep gate
// ends a timed sleep. The nudge is repeated at a short interval because a
// wake or a signal that lands just before the thread starts to wait is not
// seen by that wait.
#include "broker/zelbroker_connection.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "broker/base64.h"
#include "broker/messages/heartbeat_message.h"
#include "broker/messages/hello_message.h"
#include "broker/messages/packet_reader.h"
#include "broker/messages/plain_message.h"
#include "broker/net_helper.h"
#include "broker/proxy.h"
#include "broker/ssl_routine.h"
#include "cloud/http_helper.h"
#include "cloud/logic.h"
#include "config/config.h"
#include "daemon/daemon.h"
#include "daemon/liveness.h"
#include "delivery/message_sender.h"
#include "log/log.h"

std::atomic<int> keep_connection{0};

namespace {
constexpr const char* kLogModule = "zelbroker_connection";

constexpr std::size_t kReceiveBufferSize = 4096;
constexpr std::uint32_t kMaxPort = 65535;
// Sleeps go in turns of a second (the watchdog's beat); a turn that ends
// this much early was cut short by a wake.
constexpr std::int32_t kSleepTurnSeconds = 1;
constexpr std::chrono::milliseconds kWokenTurn{900};
// How often a stop repeats its nudge while the thread has not ended yet.
constexpr std::chrono::milliseconds kStopNudgeInterval{50};

// The start/stop mutex guards broker_thread and makes the start and stop
// sequences exclusive; a stop holds it across the join. It is taken after the
// discovery lock and before the log mutex.
std::mutex start_stop_mutex;
std::thread broker_thread;

// The command mutex guards command_write_fd: the write end of the current
// connection's command pipe, or -1 while there is no connection.
std::mutex command_mutex;
int command_write_fd = -1;

// True while the broker thread sleeps (or is about to sleep) in the sleep
// gate, so that a stop knows to wake the gate.
std::atomic<bool> in_gate_sleep{false};

// Set by the broker thread as the very last thing it does, so that a stop
// can wait for its end with a deadline between nudges.
std::mutex finished_mutex;
std::condition_variable finished_signal;
bool thread_finished = false;  // guarded by finished_mutex

sigset_t only_sigusr1() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  return set;
}

// Sleeps in the sleep gate; a stop or wake_sleepers ends it early. The
// sleep goes in one-second turns so that the thread marks its progress for
// the watchdog: a turn that ends before its second is up was woken, and ends
// the whole sleep.
void broker_sleep(std::int32_t seconds) {
  in_gate_sleep.store(true);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!broker_link_stopping() && std::chrono::steady_clock::now() < end) {
    note_progress(watched_thread::broker);
    const auto turn = std::chrono::steady_clock::now();
    sleep_for(kSleepTurnSeconds);
    if (std::chrono::steady_clock::now() - turn < kWokenTurn) break;
  }
  in_gate_sleep.store(false);
}

// The advisor's "wait forever": until a signal ends it (the stop's SIGUSR1)
// or the link is stopped, in one-second turns that mark progress.
void broker_wait_forever() {
  const timespec turn{kSleepTurnSeconds, 0};
  while (!broker_link_stopping()) {
    note_progress(watched_thread::broker);
    if (::nanosleep(&turn, nullptr) != 0) break;
  }
}

// The pipe through which other threads send command bytes. Both ends are
// non-blocking: a writer never waits for the broker thread.
struct CommandPipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Publishes the write end for send_command, or withdraws it (-1).
void publish_write_end(int fd) {
  std::lock_guard<std::mutex> lock(command_mutex);
  command_write_fd = fd;
}

// What a command byte asked of the read loop.
enum class LoopExit { kContinue, kCloseCommand };

// Reads what the socket has: one read, then more while TLS holds decrypted
// bytes. Clears `success` when the peer closed or the read failed.
void read_socket(connection* conn, packet_reader* reader, int* success) {
  std::uint8_t buffer[kReceiveBufferSize];
  do {
    errno = 0;
    const int count = connection_read(conn, buffer, sizeof buffer);
    const int read_errno = errno;
    if (count > 0) {
      packet_reader_feed(reader, broker_packet_callbacks(), buffer, static_cast<std::size_t>(count));
    } else if ((count == 0 && read_errno == EAGAIN) ||
               (count < 0 && (read_errno == EAGAIN || read_errno == EWOULDBLOCK || read_errno == EINTR))) {
      break;  // not yet: nothing more to read for this wake-up
    } else if (count == 0) {
      ZLOG(kLogEvent, "Other end disconnected.\n");
      ZLOG(kLogDebug, "Other end disconnected.\n");
      *success = 0;
    } else {
      *success = 0;
    }
  } while (connection_pending(conn) != 0);
}

// Reads and executes one command byte.
LoopExit read_command(connection* conn, int read_fd) {
  char command = 0;
  const ssize_t got = ::read(read_fd, &command, 1);
  if (got != 1) {
    if (got < 0) ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "zelbroker_connect", __LINE__, errno);
    return LoopExit::kContinue;
  }
  if (command == kCommandHeartbeat) {
    if (send_heartbeat(conn) < 0) {
      ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "zelbroker_connect", __LINE__, errno);
    }
  } else if (command == kCommandClose) {
    return LoopExit::kCloseCommand;
  }
  return LoopExit::kContinue;
}

// The connected phase's read loop. Returns true when a 'c' command ended it.
bool read_loop(connection* conn, packet_reader* reader, int pipe_read_fd, int* success) {
  const int sock = conn->sock.get();
  // SIGUSR1 is blocked from the check of keep_connection until pselect lets
  // it through, so a stop signal sent after the check ends the wait.
  const sigset_t usr1 = only_sigusr1();
  sigset_t wait_mask;
  pthread_sigmask(SIG_BLOCK, &usr1, &wait_mask);
  struct MaskRestorer {
    sigset_t mask;
    ~MaskRestorer() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{wait_mask};
  sigdelset(&wait_mask, SIGUSR1);

  while (*success != 0) {
    note_progress(watched_thread::broker);
    if (broker_link_stopping()) break;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock, &readable);
    int highest = sock;
    if (pipe_read_fd >= 0) {
      FD_SET(pipe_read_fd, &readable);
      highest = std::max(highest, pipe_read_fd);
    }
    // Bounded: a stop of the whole agent sends no signal, and the watchdog
    // wants to see this thread come round.
    const timespec wake{0, std::chrono::nanoseconds(kBrokerStopCheckInterval).count()};
    const int ready = ::pselect(highest + 1, &readable, nullptr, nullptr, &wake, &wait_mask);
    if (ready == 0) continue;
    if (ready < 0) {
      if (errno == EINTR) continue;
      ZLOG(kLogError, "select error %d.\n", errno);
      *success = 0;
      break;
    }
    if (FD_ISSET(sock, &readable)) read_socket(conn, reader, success);
    if (pipe_read_fd >= 0 && FD_ISSET(pipe_read_fd, &readable) &&
        read_command(conn, pipe_read_fd) == LoopExit::kCloseCommand) {
      return true;
    }
  }
  return false;
}

bool all_set(const keepalive_values& values) {
  return values.first != 0 && values.second != 0 && values.third != 0;
}

// One connection attempt after the advisor named a zelbroker: steps from the
// connect to the release of the link. Returns `success`; sets *delay to 0
// after a 'c' command.
int run_connection(agent_context* context, const std::string& host, std::uint16_t port,
                   const std::optional<std::string>& token, std::uint32_t* delay) {
  const std::uint32_t use_ssl = broker_ssl_enabled();
  ZLOG(kLogInfo, "zelbroker_host=%s, zelbroker_port=%d, using ssl=%d\n", log_escape(host).c_str(),
       static_cast<int>(port), static_cast<int>(use_ssl));

  std::unique_ptr<connection> conn =
      open_broker_connection(host.c_str(), port, static_cast<int>(use_ssl));
  if (!conn) return 1;

  ZLOG(kLogDebug, "Connected to zelbroker.\n");
  CommandPipe command_pipe;
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "zelbroker_connect", __LINE__, errno);
  } else {
    command_pipe.read_end.reset(fds[0]);
    command_pipe.write_end.reset(fds[1]);
    publish_write_end(command_pipe.write_end.get());
  }

  int success = 1;
  packet_reader reader;  // its part buffer is a vector: freed on every exit
  bool reader_ready = false;
  {
    const std::uint8_t* token_bytes =
        token ? reinterpret_cast<const std::uint8_t*>(token->data()) : nullptr;
    const std::size_t token_length = token ? token->size() : 0;
    if (broker_link_stopping() || send_hello(conn.get(), token_bytes, token_length) <= 0) {
      success = 1;
    } else {
      bool read_packets = true;
      const keepalive_values broker_keepalive = context->broker_keepalive;
      if (all_set(broker_keepalive)) {
        if (send_broker_keepalive(conn.get(), broker_keepalive.first, broker_keepalive.second,
                                  broker_keepalive.third) < 0) {
          ZLOG(kLogError, "Cannot send keepalives to zelbroker.\n");
          success = 0;
          read_packets = false;
        } else {
          ZLOG(kLogDebug, "keepalives sent to zelbroker.\n");
        }
      }
      const keepalive_values agent_keepalive = context->agent_keepalive;
      if (read_packets && all_set(agent_keepalive)) {
        if (set_keepalive(conn->sock.get(), agent_keepalive.first, agent_keepalive.second,
                          agent_keepalive.third) < 0) {
          ZLOG(kLogError,
               "Cannot set keepalives to connection with zelbroker - possibly connection status will be unsynchronized.\n");
        } else {
          ZLOG(kLogDebug, "keepalives values are set.\n");
        }
      }

      set_connected(1);
      set_nonblocking(conn.get());
      ZLOG(kLogDebug, "Reading packet header.\n");
      reader.user = context;
      if (packet_reader_init(&reader) != 0) {
        ZLOG(kLogError, "malloc().\n");
        success = 0;
        read_packets = false;
      } else {
        reader_ready = true;
      }
      if (read_packets &&
          read_loop(conn.get(), &reader, command_pipe.read_end.get(), &success)) {
        *delay = 0;  // 'c': reconnect at once
      }
    }
  }

  // Closing: reader, connection, then the pipe once nobody can write to it.
  if (reader_ready) packet_reader_release(&reader);
  // A message the link cut short is dropped now rather than held until the
  // next one begins.
  plain_message_reset();
  if (connection_close(conn.get()) != 0) {
    ZLOG(kLogError, "Failed to close socket. - %s.\n", std::strerror(errno));
  }
  publish_write_end(-1);
  return success;
}

// The broker thread's body: links to the zelbroker the advisor names, one
// after the other, until keep_connection is found 0 at the top of an attempt.
void zelbroker_connect(agent_context* context) {
  message_sender_set_agent_context(context);
  for (;;) {
    note_progress(watched_thread::broker);
    if (broker_link_stopping()) {
      ZLOG(kLogDebug, "exiting msg_processor thread.\n");
      return;
    }
    std::uint32_t delay = context->zelbroker_delay;
    std::string host;
    std::uint16_t port = 0;
    std::optional<std::string> token;

    if (request_broker_address(&host, &port, &token, context) != 0) continue;
    // A stop that came while the advisor answered: no point in connecting.
    if (broker_link_stopping()) continue;

    const int success = run_connection(context, host, port, token, &delay);

    token.reset();
    ZLOG(kLogDebug, "keep_connection=%d, success=%d.\n", keep_connection.load(), success);
    set_connected(0);

    if (delay != 0 && !broker_link_stopping()) {
      ZLOG(kLogError, "Connection to zelbroker was closed. Sleeping for %d secs.\n",
           static_cast<int>(delay));
      broker_sleep(static_cast<std::int32_t>(delay));
    }
  }
}

// The broker thread's entry (start_broker_thread).
void zelbroker_connection_thread(agent_context* context) {
  ZLOG(kLogDebug, "enter zelbroker_connection_thread\n");
  const sigset_t usr1 = only_sigusr1();
  if (pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr) != 0) {
    ZLOG(kLogError, "Cannot set pthread_sigmask!");
  }
  // A stop must not wait for a paused cloud request (the advisor request)
  // that only a resume, perhaps from the stopping thread itself, would free.
  http_abandon_requests_when_cleared(&keep_connection);
  zelbroker_connect(context);
  http_abandon_requests_when_cleared(nullptr);
  ZLOG(kLogDebug, "exiting zelbroker_connection_thread\n");
}

}  // namespace

int start_broker_thread(agent_context* context) {
  std::lock_guard<std::mutex> lock(start_stop_mutex);
  if (broker_thread.joinable()) {
    ZLOG(kLogWarning, "zelbroker thread already started.\n");
    return -1;
  }
  keep_connection.store(1);
  ZLOG(kLogDebug, "starting zelbroker thread.\n");
  {
    std::lock_guard<std::mutex> finished_lock(finished_mutex);
    thread_finished = false;
  }
  try {
    broker_thread = std::thread([context] {
      zelbroker_connection_thread(context);
      std::lock_guard<std::mutex> finished_lock(finished_mutex);
      thread_finished = true;
      finished_signal.notify_all();
    });
  } catch (const std::system_error& error) {
    // Without a thread the flag must not claim one is running, or the
    // control commands would never start the link again.
    ZLOG(kLogError, "Cannot create zelbroker thread: %s.\n", error.what());
    keep_connection.store(0);
    return -1;
  }
  ZLOG(kLogDebug, "zelbroker thread started.\n");
  return 0;
}

int stop_broker_thread() {
  std::lock_guard<std::mutex> lock(start_stop_mutex);
  keep_connection.store(0);
  ZLOG(kLogDebug, "stoping zelbroker thread.\n");
  if (!broker_thread.joinable()) {
    ZLOG(kLogWarning, "Trying to stop stopped/uncreated zelbroker thread.\n");
  } else if (broker_thread.get_id() == std::this_thread::get_id()) {
    // The thread cannot join itself: the cleared flag ends it at its next check.
    ZLOG(kLogWarning, "zelbroker thread asked to stop itself.\n");
    return 0;
  } else {
    std::unique_lock<std::mutex> finished_lock(finished_mutex);
    while (!thread_finished) {
      ::pthread_kill(broker_thread.native_handle(), SIGUSR1);
      if (in_gate_sleep.load()) wake_sleepers();
      http_wake_waiting_requests();
      finished_signal.wait_for(finished_lock, kStopNudgeInterval, [] { return thread_finished; });
    }
    finished_lock.unlock();
    broker_thread.join();
    broker_thread = std::thread();
  }
  ZLOG(kLogDebug, "zelbroker thread stoped.\n");
  return 0;
}

int send_command(char command) {
  std::lock_guard<std::mutex> lock(command_mutex);
  if (command_write_fd < 0) {
    ZLOG(kLogWarning, "Cannot send command '%d' to zelbroker thread - write end is not initialized.\n",
         static_cast<int>(command));
    return -1;
  }
  if (::write(command_write_fd, &command, 1) != 1) {
    ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "send_command", __LINE__, errno);
  }
  return 0;
}

int send_heartbeat_command() { return send_command(kCommandHeartbeat); }

int close_connection_command() { return send_command(kCommandClose); }

void check_heartbeat() {
  if (heartbeat_last_answered() != heartbeat_last_sent()) {
    ZLOG(kLogError, "latest heartbeat is not received! Sending command to close connection.\n");
    close_connection_command();
  } else {
    ZLOG(kLogDebug, "heartbeat OK!\n");
  }
}

int request_broker_address(std::string* host, std::uint16_t* port,
                           std::optional<std::string>* token, agent_context* context) {
  const std::uint32_t default_port = config_get_uint32_default(kKeyBrokerPort, kDefaultBrokerPort);
  ZLOG(kLogDebug, "Making advisor request for zelbroker address.\n");

  advisor_reply reply{};
  if (request_advisor(*context, reply) != 0) {
    broker_sleep(static_cast<std::int32_t>(context->advisor_delay));
    return -1;
  }

  int result = -1;
  if (reply.action == kAdvisorActionWait) {
    if (reply.period < 1) {
      ZLOG(kLogDebug, "'wait forever' command received from adviser. Sleeping forever.\n");
      // The stop's SIGUSR1 ends this sleep; a stop that came first is seen here.
      broker_wait_forever();
    } else {
      ZLOG(kLogDebug, "Wait command received from adviser. Sleeping for %d secs.\n", reply.period);
      broker_sleep(reply.period);
    }
  } else if (reply.action == kAdvisorActionConnect) {
    const std::string broker = reply.broker.value_or(std::string());
    host->assign(broker, 0, std::min(broker.size(), kBrokerHostMax));
    if (reply.token) {
      *token = base64_decode(reply.token->data(), reply.token->size());
    }
    if (reply.port == 0) {
      *port = static_cast<std::uint16_t>(default_port);
    } else if (reply.port < 0 || static_cast<std::uint32_t>(reply.port) > kMaxPort) {
      ZLOG(kLogWarning, "Advisor gave an invalid zelbroker port %d, using %u.\n", reply.port,
           static_cast<unsigned>(static_cast<std::uint16_t>(default_port)));
      *port = static_cast<std::uint16_t>(default_port);
    } else {
      *port = static_cast<std::uint16_t>(reply.port);
    }
    result = 0;
  } else {
    // An answer that names no action must not make the thread ask again at
    // once, over and over: it waits like after a failed request.
    ZLOG(kLogWarning, "Advisor answered with unknown action %d.\n", reply.action);
    broker_sleep(static_cast<std::int32_t>(context->advisor_delay));
  }
  release_advisor_reply(reply);
  return result;
}
