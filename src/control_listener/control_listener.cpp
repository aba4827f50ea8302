// The control listener thread and the control request executor.
//
// Connections are served one at a time on the listener thread. Each one has a
// bounded time to deliver its whole request and a bounded size, so one local
// process that connects and never half-closes, or sends without end, cannot
// stop all control (nor exhaust the agent's memory): it is answered with -1
// and the next client is served.
#include "control_listener/control_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>
#include <variant>

#include "broker/net_helper.h"
#include "cloud/logic.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener_command.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "control_listener";

constexpr int kMillisPerSecond = 1000;
constexpr int kSocketOptionOn = 1;
constexpr int kPollForever = -1;
constexpr std::uint32_t kDiscoveryInUse = 1;
constexpr int kExitStatusOk = 0;

// The record the listener thread reads; written by start_control_listener
// before the thread is created.
control_listener_args listener_record;

std::atomic<int> listening{0};
std::atomic<int> read_timeout_ms{kControlReadTimeoutSeconds * kMillisPerSecond};

enum class ReadOutcome {
  kComplete,  // the end of the stream (or a failed read) ended the request
  kTooLarge,  // more than kControlRequestMaxBytes arrived
  kTimedOut,  // the read limit passed before the end of the stream
};

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, 0 once it has passed.
int millis_left(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads the request into `text` until the end of the stream, within the read
// limit and the size cap. `received` tells whether any byte came. Past the
// cap the rest is read and dropped (up to the end of the stream or the
// limit), so the client still gets its answer rather than a reset.
ReadOutcome read_request(int fd, std::string& text, bool& received) {
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(read_timeout_ms.load());
  bool too_large = false;
  char chunk[kRequestReadChunk];
  for (;;) {
    const ReadOutcome late = too_large ? ReadOutcome::kTooLarge : ReadOutcome::kTimedOut;
    const int left = millis_left(deadline);
    if (left == 0) return late;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, left);
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) return late;
    if (polled < 0) {
      ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "read_request", __LINE__, errno);
      break;
    }
    const ssize_t count = ::read(fd, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count < 0) {
      ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "read_request", __LINE__, errno);
      break;
    }
    if (count == 0) break;
    received = true;
    if (too_large) continue;
    if (text.size() + static_cast<std::size_t>(count) > kControlRequestMaxBytes) {
      too_large = true;
      text.clear();
      text.shrink_to_fit();
      continue;
    }
    text.append(chunk, static_cast<std::size_t>(count));
  }
  return too_large ? ReadOutcome::kTooLarge : ReadOutcome::kComplete;
}

// Reads, parses and executes one request and writes its reply.
void serve_connection(int fd, agent_context& context) {
  std::string text;
  bool received = false;
  control_request request;
  int result = kResultBusy;
  switch (read_request(fd, text, received)) {
    case ReadOutcome::kTimedOut:
      ZLOG(kLogError, "Control request not complete within %d ms: refused.\n", read_timeout_ms.load());
      break;
    case ReadOutcome::kTooLarge:
      ZLOG(kLogError, "Control request longer than %u bytes: refused.\n",
           static_cast<unsigned>(kControlRequestMaxBytes));
      break;
    case ReadOutcome::kComplete:
      ZLOG(kLogDebug, "Received message %s.\n", received ? text.c_str() : "(null)");
      if (parse_control_request(received ? text.c_str() : nullptr, request) != 0) {
        ZLOG(kLogError, "Cannot parse incoming request.\n");
      } else {
        result = execute_control_request(request, context);
      }
      break;
  }
  ZLOG(kLogDebug, "Command execution result is %d\n", result);

  const std::string reply = format_reply(result);
  // MSG_NOSIGNAL: a client that has gone must not end the agent with SIGPIPE.
  if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
    ZLOG(kLogError, "write() error %d writing back to client\n", errno);
  }
  free_control_request(request);
}

// Failures of accept that concern only the connection being accepted: the
// listener goes on with the next one.
bool accept_failure_is_transient(int error) {
  switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Socket, options, bind and listen; an empty descriptor after a logged failure.
UniqueFd open_listening_socket() {
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    ZLOG(kLogError, "socket(). errno: %d.\n", errno);
    return UniqueFd();
  }
  const int on = kSocketOptionOn;
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    ZLOG(kLogError, "cannot set SO_REUSEADDR option");
  }
  if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
    ZLOG(kLogError, "cannot set SO_REUSEPORT option");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kControlPort);
  if (::inet_pton(AF_INET, kControlHost, &address.sin_addr) != 1 ||
      ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ZLOG(kLogError, "bind(). errno: %d.\n", errno);
    return UniqueFd();
  }
  if (::listen(sock.get(), kControlListenBacklog) != 0) {
    ZLOG(kLogError, "listen(). errno: %d.\n", errno);
    return UniqueFd();
  }
  return sock;
}

// Serves connections until the exit pipe speaks (or poll/accept fail).
// Returns the byte read from the pipe, 0 when none was read.
char serve_until_exit(int listen_fd, const control_listener_args& args) {
  for (;;) {
    pollfd ready[2] = {{listen_fd, POLLIN, 0}, {args.exit_pipe_fd, POLLIN, 0}};
    if (::poll(ready, 2, kPollForever) < 0) {
      if (errno == EINTR) continue;
      ZLOG(kLogError, "select(). errno: %d.\n", errno);
      return 0;
    }
    // The listening socket first: the pipe is looked at when no client waits.
    if (ready[0].revents != 0) {
      UniqueFd client(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
      if (!client) {
        if (accept_failure_is_transient(errno)) continue;
        ZLOG(kLogError, "accept(). errno: %d.\n", errno);
        return 0;
      }
      serve_connection(client.get(), *args.context);
      continue;
    }
    if (ready[1].revents != 0) {
      ZLOG(kLogDebug, "received message in control listener pipe!\n");
      char byte = 0;
      ssize_t count;
      do {
        count = ::read(args.exit_pipe_fd, &byte, 1);
      } while (count < 0 && errno == EINTR);
      if (count < 0) ZLOG(kLogError, "read() error %d from pipe\n", errno);
      return count == 1 ? byte : 0;
    }
  }
}

}  // namespace

std::thread start_control_listener(agent_context* context, int exit_pipe_fd) {
  install_agent_handler_check();
  listener_record.context = context;
  listener_record.exit_pipe_fd = exit_pipe_fd;
  try {
    return std::thread(control_listener_thread, &listener_record);
  } catch (const std::system_error& error) {
    ZLOG(kLogError, "Cannot create control listener thread: %s.\n", error.what());
    return std::thread();
  }
}

void control_listener_thread(const control_listener_args* args) {
  if (args == nullptr) return;
  ZLOG(kLogDebug, "start control listener thread.\n");
  if (args->context == nullptr) {
    ZLOG(kLogError, "NULL parameter.\n");
    return;
  }
  UniqueFd listener = open_listening_socket();
  if (!listener) return;
  listening.store(1);
  const char byte = serve_until_exit(listener.get(), *args);
  listening.store(0);
  listener.reset();
  ZLOG(kLogDebug, "end control listener thread.\n");
  if (byte == kExitCommandByte) {
    ZLOG(kLogInfo, "received command from zelagent thread to call exit()");
    // Other threads (broker link, discovery, message thread) may still run:
    // static destructors must not run under them (a joinable thread object
    // being destroyed would abort the process). Log lines are already on disk.
    std::_Exit(kExitStatusOk);
  }
}

int control_listener_listening() { return listening.load(); }

int execute_control_request(const control_request& request, agent_context& context) {
  const auto* discovery = std::get_if<discovery_request>(&request.payload);
  const auto* service = std::get_if<service_request>(&request.payload);
  switch (request.type) {
    case kControlSendDiscovery:
      if (discovery == nullptr) break;
      if (use_discovery() == kDiscoveryInUse) return handle_send_discovery(*discovery, context);
      ZLOG(kLogWarning, "Discovery is disabled.");
      return kResultOk;
    case kControlOnClaim:
      if (service == nullptr) break;
      return handle_on_claim(service->service, service->value, context);
    case kControlOnMoravault:
      if (service == nullptr) break;
      return handle_on_moravault(service->service, service->value, context);
    case kControlOnRelease:
      if (service == nullptr) break;
      return handle_on_release(service->service, service->value, context);
    case kControlResumeConnections: {
      const auto* carrier = std::get_if<std::string>(&request.payload);
      return handle_resume_connections(carrier ? std::optional<std::string>(*carrier) : std::nullopt, context);
    }
    case kControlPauseConnections:
      return handle_pause_connections();
    default:
      ZLOG(kLogWarning, "Cannot execute request with unknown type %d.\n", static_cast<int>(request.type));
      return kResultOk;
  }
  // Only a request built by hand can get here: the parser never leaves a
  // kind that needs a payload without one.
  ZLOG(kLogError, "Request of type %d has no payload.\n", static_cast<int>(request.type));
  return kResultBusy;
}

void free_control_request(control_request& request) { request.payload = std::monostate{}; }

namespace control_listener_testing {

void set_read_timeout_ms(int milliseconds) {
  read_timeout_ms.store(milliseconds > 0 ? milliseconds : kControlReadTimeoutSeconds * kMillisPerSecond);
}

}  // namespace control_listener_testing
