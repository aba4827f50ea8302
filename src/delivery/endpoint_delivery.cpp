// Delivery of one message to one endpoint as a non-blocking step machine:
// every state change goes through start, advance, cut and finish.
#include "delivery/endpoint_delivery.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "daemon/sigpipe_block.h"
#include "delivery/handler_programs.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "message_sender";
// A UNIX listener with a full backlog refuses a non-blocking connect with
// EAGAIN and never says when it has room: the connect is tried again this often.
constexpr std::chrono::milliseconds kConnectRetry{20};
// How often a program endpoint looks for a free slot.
constexpr std::chrono::milliseconds kSlotRetry{50};

bool resolve_ipv4(const std::string& host, in_addr* address) {
  if (::inet_pton(AF_INET, host.c_str(), address) == 1) return true;
  // Handler hosts are local names; a resolver that takes its time holds the
  // message thread for the resolver's own time-out.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> hosts(found, &::freeaddrinfo);
  if (rc != 0 || found == nullptr) {
    ZLOG(kLogWarning, "Can't resolve host '%s'. h_errno=%d - %s.\n", log_escape(host).c_str(), rc,
         ::gai_strerror(rc));
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  return true;
}
}  // namespace

void EndpointDelivery::start(const handler_endpoint& endpoint, const std::string& owner, std::string_view payload,
                             int step_ms) {
  endpoint_ = endpoint;
  owner_ = owner;
  payload_ = payload;
  step_ms_ = step_ms;
  written_ = 0;
  result_ = DeliveryResult::kPending;
  progressed();
  if (endpoint_.kind == kEndpointProgram) {
    begin_program();
  } else {
    begin_socket();
  }
}

void EndpointDelivery::begin_program() {
  const pid_t pid = start_handler_program(owner_, endpoint_.address, &fd_, &status_);
  if (pid < 0) return finish(DeliveryResult::kFailed);
  if (pid == 0) {
    state_ = State::kNeedSlot;
    retry_at_ = Clock::now() + kSlotRetry;
    return;
  }
  pid_ = pid;
  state_ = State::kStarting;
  progressed();
}

void EndpointDelivery::begin_socket() {
  if (endpoint_.port != 0) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd_) {
      const int error = errno;
      ZLOG(kLogError, "Can't open socket: errno=%d-%s.\n", error, std::strerror(error));
      return finish(DeliveryResult::kFailed);
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(endpoint_.port);
    if (!resolve_ipv4(endpoint_.address, &target.sin_addr)) return finish(DeliveryResult::kFailed);
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
      state_ = State::kWriting;
      return write_some();
    }
    if (errno == EINPROGRESS || errno == EINTR) {
      state_ = State::kConnecting;
      return;
    }
    return fail_connect(errno);
  }
  fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_) {
    const int error = errno;
    ZLOG(kLogError, "Can't open socket: errno=%d-%s.\n", error, std::strerror(error));
    return finish(DeliveryResult::kFailed);
  }
  try_unix_connect();
}

void EndpointDelivery::try_unix_connect() {
  sockaddr_un target{};
  const std::string& path = endpoint_.address;
  if (path.size() >= sizeof target.sun_path) {
    ZLOG(kLogError, "Handler endpoint '%s' refused: unix socket path longer than %zu characters.\n",
         log_escape(path).c_str(), kUnixSocketPathMax);
    return finish(DeliveryResult::kFailed);
  }
  target.sun_family = AF_UNIX;
  std::memcpy(target.sun_path, path.data(), path.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&target), length) == 0) {
    state_ = State::kWriting;
    return write_some();
  }
  if (errno == EAGAIN || errno == EINTR) {
    state_ = State::kConnectRetry;
    retry_at_ = Clock::now() + kConnectRetry;
    return;
  }
  if (errno == EINPROGRESS) {
    state_ = State::kConnecting;
    return;
  }
  fail_connect(errno);
}

void EndpointDelivery::fail_connect(int error) {
  if (endpoint_.port != 0) {
    ZLOG(kLogWarning, "Can't connect to '%s':%d, errno=%d - %s.\n", log_escape(endpoint_.address).c_str(),
         static_cast<int>(endpoint_.port), error, std::strerror(error));
  } else {
    ZLOG(kLogWarning, "Can't connect to unix socket '%s', errno=%d - %s.\n", log_escape(endpoint_.address).c_str(),
         error, std::strerror(error));
  }
  finish(error == ETIMEDOUT ? DeliveryResult::kTimedOut : DeliveryResult::kFailed);
}

void EndpointDelivery::write_some() {
  const bool program = endpoint_.kind == kEndpointProgram;
  while (written_ < payload_.size()) {
    ssize_t rc;
    if (program) {
      ScopedSigpipeBlock no_sigpipe;
      rc = ::write(fd_.get(), payload_.data() + written_, payload_.size() - written_);
    } else {
      rc = ::send(fd_.get(), payload_.data() + written_, payload_.size() - written_, MSG_NOSIGNAL);
    }
    if (rc > 0) {
      written_ += static_cast<std::size_t>(rc);
      progressed();
      continue;
    }
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // poll for room
    const int error = errno;
    if (!program) {
      ZLOG(kLogError, "Failed to send msg to zelhandler on port '%s':%d.\n", log_escape(endpoint_.address).c_str(),
           static_cast<int>(endpoint_.port));
    } else if (rc == 0) {
      ZLOG(kLogError, "connection was closed. Possible error.\n");
    } else {
      ZLOG(kLogError, "some error. errno = %d - %s.\n", error, std::strerror(error));
      ZLOG(kLogError, "write(). Writed %zu bytes instead of %zu.\n", written_, payload_.size());
    }
    return finish(DeliveryResult::kFailed);
  }
  if (fd_.close() != 0 && !program) {
    const int error = errno;
    ZLOG(kLogError, "Failed to close socket: errno=%d-%s.\n", error, std::strerror(error));
  }
  if (program) {
    ZLOG(kLogDebug, "Sended %zu bytes to local handler %s.\n", written_, log_escape(endpoint_.address).c_str());
  } else if (!payload_.empty()) {
    ZLOG(kLogInfo, "Sent to handler %zu bytes.\n", payload_.size());
  }
  finish(DeliveryResult::kDelivered);
}

int EndpointDelivery::fd() const {
  switch (state_) {
    case State::kConnecting:
    case State::kWriting:
      return fd_.get();
    case State::kStarting:
      return status_.get();
    default:
      return -1;
  }
}

short EndpointDelivery::events() const { return state_ == State::kStarting ? POLLIN : POLLOUT; }

EndpointDelivery::Clock::time_point EndpointDelivery::wake_at() const {
  switch (state_) {
    case State::kNeedSlot:
      return retry_at_;
    case State::kConnectRetry:
      return std::min(retry_at_, deadline_);
    case State::kConnecting:
    case State::kStarting:
    case State::kWriting:
      return deadline_;
    default:
      return Clock::time_point::max();
  }
}

void EndpointDelivery::advance(short revents) {
  const auto now = Clock::now();
  switch (state_) {
    case State::kNeedSlot:
      if (now >= retry_at_) begin_program();
      return;
    case State::kConnectRetry:
      if (now >= deadline_) return fail_connect(ETIMEDOUT);
      if (now >= retry_at_) try_unix_connect();
      return;
    case State::kConnecting:
      if (revents != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error != 0) return fail_connect(error);
        state_ = State::kWriting;
        progressed();
        return write_some();
      }
      if (now >= deadline_) fail_connect(ETIMEDOUT);
      return;
    case State::kStarting:
      if (revents != 0) {
        const int started = read_program_start(status_.get(), endpoint_.address);
        if (started == 0) return finish(DeliveryResult::kFailed);
        if (started < 0) return;
      } else if (now < deadline_) {
        return;
      } else {
        // Written all the same: the pipe keeps the input until it runs.
        ZLOG(kLogWarning, "Handler %s did not start within %d ms.\n", log_escape(endpoint_.address).c_str(),
             step_ms_);
      }
      status_.reset();
      state_ = State::kWriting;
      progressed();
      return write_some();
    case State::kWriting:
      if (revents != 0) write_some();
      if (state_ == State::kWriting && Clock::now() >= deadline_) {
        if (endpoint_.kind == kEndpointProgram) {
          ZLOG(kLogError, "Handler %s has not read its input for %d ms.\n", log_escape(endpoint_.address).c_str(),
               step_ms_);
          ZLOG(kLogError, "write(). Writed %zu bytes instead of %zu.\n", written_, payload_.size());
        } else {
          ZLOG(kLogError, "Failed to send msg to zelhandler on port '%s':%d.\n",
               log_escape(endpoint_.address).c_str(), static_cast<int>(endpoint_.port));
        }
        finish(DeliveryResult::kTimedOut);
      }
      return;
    default:
      return;
  }
}

void EndpointDelivery::cut() {
  if (!finished()) finish(DeliveryResult::kCut);
}

void EndpointDelivery::finish(DeliveryResult result) {
  fd_.reset();
  status_.reset();
  state_ = State::kDone;
  result_ = result;
}

DeliveryResult deliver_to_endpoint(const handler_endpoint& endpoint, const std::string& owner,
                                   std::string_view payload, int step_ms) {
  using Clock = EndpointDelivery::Clock;
  EndpointDelivery delivery;
  delivery.start(endpoint, owner, payload, step_ms);
  const auto slot_deadline = Clock::now() + std::chrono::milliseconds(step_ms);
  while (!delivery.finished()) {
    if (delivery.waiting_for_slot()) {
      reap_handler_programs();
      if (Clock::now() >= slot_deadline) {
        ZLOG(kLogError, "Handler %s: no free handler-program slot within %d ms.\n",
             log_escape(endpoint.address).c_str(), step_ms);
        delivery.cut();
        return DeliveryResult::kFailed;
      }
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(delivery.wake_at() - Clock::now());
    pollfd ready{delivery.fd(), delivery.events(), 0};
    const int rc = ::poll(&ready, delivery.fd() >= 0 ? 1 : 0,
                          static_cast<int>(std::clamp<long long>(wait.count() + 1, 0, step_ms)));
    delivery.advance(rc > 0 ? ready.revents : 0);
  }
  return delivery.result();
}
