// The control listener thread and the control request executor.
//
// One thread reads every open connection at once with poll: each connection
// has its own deadline and size cap, so local processes that connect and
// never half-close, or send without end, cost only themselves (each is
// answered with -1) and cannot delay other clients. Complete requests are
// executed one at a time on this thread.
#include "control_listener/control_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "broker/net_helper.h"
#include "cloud/logic.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener_command.h"
#include "control_listener/control_worker.h"
#include "control_listener/incoming_requests.h"
#include "daemon/liveness.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "control_listener";

constexpr int kMillisPerSecond = 1000;
constexpr int kSocketOptionOn = 1;
// The loop goes round at least this often, idle or not, so that its
// progress mark shows a live thread.
constexpr int kListenerWakeMs = 1000;
constexpr std::uint32_t kDiscoveryInUse = 1;
constexpr int kExitStatusOk = 0;

// The record the listener thread reads; written by start_control_listener
// before the thread is created.
control_listener_args listener_record;

std::atomic<int> listening{0};
std::atomic<int> read_timeout_ms{kControlReadTimeoutSeconds * kMillisPerSecond};

using SteadyClock = std::chrono::steady_clock;

// One connection whose request is being read.
struct Client {
  UniqueFd fd;
  SteadyClock::time_point deadline;
  std::string text;
  bool received = false;   // any byte came
  bool too_large = false;  // past the cap: the rest is read and dropped
};

enum class ReadState { kOpen, kComplete };

// Milliseconds from now until `when`, at least 0 and at most INT_MAX.
int millis_until(SteadyClock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - SteadyClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT32_MAX));
}

// Reads what the client has sent so far. Past the cap the rest is read and
// dropped (up to the end of the stream or the deadline), so the client still
// gets its answer rather than a reset.
ReadState read_available(Client& client) {
  char chunk[kRequestReadChunk];
  for (;;) {
    const ssize_t count = ::recv(client.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadState::kOpen;
    if (count < 0) {
      ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "read_request", __LINE__, errno);
      return ReadState::kComplete;
    }
    if (count == 0) return ReadState::kComplete;
    client.received = true;
    if (client.too_large) continue;
    if (client.text.size() + static_cast<std::size_t>(count) > kControlRequestMaxBytes) {
      client.too_large = true;
      std::string().swap(client.text);
      continue;
    }
    client.text.append(chunk, static_cast<std::size_t>(count));
  }
}

// Parses a complete request and runs it (run_control_request): the reply
// is written here, or by the control worker once a command that waits on
// the zelCloud has run there (the connection stays open until then).
void serve_request(Client& client, agent_context& context) {
  control_request request;
  int result = kResultBusy;
  if (client.too_large) {
    ZLOG(kLogError, "Control request longer than %u bytes: refused.\n",
         static_cast<unsigned>(kControlRequestMaxBytes));
  } else {
    ZLOG(kLogDebug, "Received message %s.\n", client.received ? log_escape(client.text).c_str() : "(null)");
    if (parse_control_request(client.received ? client.text.c_str() : nullptr, request) != 0) {
      ZLOG(kLogError, "Cannot parse incoming request.\n");
    } else {
      const std::optional<int> now = run_control_request(std::move(request), context, client.fd);
      if (!now) return;
      result = *now;
    }
  }
  ZLOG(kLogDebug, "Command execution result is %d\n", result);
  send_control_reply(client.fd.get(), result);
  free_control_request(request);
}

// Failures of accept that concern only the connection being accepted: the
// listener goes on with the next one at once.
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

// Logs failed accepts (no descriptors, buffers or memory left) at most once
// per kAcceptFailureLogSeconds, with the number of failures in between. It
// keeps one descriptor in reserve: without it the log file could not be
// opened when the process has run out of descriptors, and the line saying
// so would be lost.
class AcceptFailureLog {
 public:
  AcceptFailureLog() : spare_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}

  void failed(int error) {
    ++failures_;
    const SteadyClock::time_point now = SteadyClock::now();
    if (logged_once_ && now - last_ < std::chrono::seconds(kAcceptFailureLogSeconds)) return;
    spare_.reset();
    ZLOG(kLogError, "accept(). errno: %d (%d failure(s)); control requests wait until resources are free.\n",
         error, failures_);
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    failures_ = 0;
    last_ = now;
    logged_once_ = true;
  }

 private:
  UniqueFd spare_;
  int failures_ = 0;
  bool logged_once_ = false;
  SteadyClock::time_point last_;
};

// Reads the exit pipe; the byte read, 0 when none was read.
char read_exit_byte(int fd) {
  ZLOG(kLogDebug, "received message in control listener pipe!\n");
  char byte = 0;
  ssize_t count;
  do {
    count = ::read(fd, &byte, 1);
  } while (count < 0 && errno == EINTR);
  if (count < 0) ZLOG(kLogError, "read() error %d from pipe\n", errno);
  return count == 1 ? byte : 0;
}

// Serves connections until the exit pipe speaks (or poll fails). Returns the
// byte read from the pipe, 0 when none was read.
char serve_until_exit(int listen_fd, const control_listener_args& args) {
  std::deque<Client> clients;  // in the order they were accepted
  AcceptFailureLog accept_failures;
  SteadyClock::time_point accept_after{};  // back-off after a resource failure
  std::vector<pollfd> ready;
  for (;;) {
    note_progress(watched_thread::control_listener);
    const SteadyClock::time_point now = SteadyClock::now();
    const bool accepting = now >= accept_after;
    ready.assign({{args.exit_pipe_fd, POLLIN, 0}, {accepting ? listen_fd : -1, POLLIN, 0}});
    SteadyClock::time_point wake = accepting ? SteadyClock::time_point::max() : accept_after;
    for (const Client& client : clients) {
      ready.push_back({client.fd.get(), POLLIN, 0});
      wake = std::min(wake, client.deadline);
    }
    const int timeout = wake == SteadyClock::time_point::max() ? kListenerWakeMs
                                                                : std::min(millis_until(wake), kListenerWakeMs);
    if (::poll(ready.data(), ready.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      ZLOG(kLogError, "select(). errno: %d.\n", errno);
      return 0;
    }
    if (ready[0].revents != 0) return read_exit_byte(args.exit_pipe_fd);

    // Requests that are complete now, in the order they became complete;
    // those past their deadline are answered -1.
    std::vector<Client> complete;
    for (std::size_t i = 0, slot = 2; i < clients.size(); ++slot) {
      Client& client = clients[i];
      const bool late = SteadyClock::now() >= client.deadline;
      // A late client gets one last read: its end may have come meanwhile.
      if ((ready[slot].revents != 0 || late) && read_available(client) == ReadState::kComplete) {
        complete.push_back(std::move(client));
      } else if (late) {
        ZLOG(kLogError, "Control request not complete within %d ms: refused.\n", read_timeout_ms.load());
        send_control_reply(client.fd.get(), kResultBusy);
      } else {
        ++i;
        continue;
      }
      clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
    }

    if (ready[1].revents != 0) {
      UniqueFd accepted(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (accepted) {
        if (clients.size() >= kControlMaxConnections) {
          ZLOG(kLogError, "More than %u control connections open: the oldest is refused.\n",
               static_cast<unsigned>(kControlMaxConnections));
          send_control_reply(clients.front().fd.get(), kResultBusy);
          clients.pop_front();
        }
        const auto limit = std::chrono::milliseconds(read_timeout_ms.load());
        clients.push_back(Client{std::move(accepted), SteadyClock::now() + limit, {}, false, false});
      } else if (!accept_failure_is_transient(errno)) {
        // Out of descriptors, buffers or memory: the pending connection
        // stays queued and is taken once the back-off is over.
        accept_failures.failed(errno);
        accept_after = SteadyClock::now() + std::chrono::milliseconds(kAcceptRetryMs);
      }
    }

    for (Client& client : complete) serve_request(client, *args.context);
  }
}

}  // namespace

std::thread start_control_listener(agent_context* context, int exit_pipe_fd) {
  install_agent_handler_check();
  start_control_worker();
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
  if (!listener) {
    listening.store(-1);
    return;
  }
  listening.store(1);
  const char byte = serve_until_exit(listener.get(), *args);
  listening.store(0);
  listener.reset();
  // The command under way gives up its cloud request; the queued ones are
  // answered without running.
  stop_control_worker();
  ZLOG(kLogDebug, "end control listener thread.\n");
  if (byte == kExitCommandByte) {
    ZLOG(kLogInfo, "received command from zelagent thread to call exit()");
    // Other threads (broker link, discovery, message thread) may still run:
    // static destructors must not run under them (a joinable thread object
    // being destroyed would abort the process). Log lines are already on disk.
    std::_Exit(kExitStatusOk);
  }
}

void send_control_reply(int fd, int result) {
  const std::string reply = format_reply(result);
  // MSG_NOSIGNAL: a client that has gone must not end the agent with SIGPIPE.
  if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    ZLOG(kLogError, "write() error %d writing back to client\n", errno);
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
