#include "control/fake_control_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace zeltest {

namespace {

constexpr int kBacklog = 5;
constexpr std::size_t kChunkSize = 256;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

FakeControlListener::FakeControlListener(std::uint16_t port) : port_(port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket()");
  int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, kBacklog) != 0) {
    std::string error = std::strerror(errno);
    close_fd(listen_fd_);
    throw std::runtime_error("cannot listen on the control port: " + error);
  }
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    close_fd(listen_fd_);
    throw std::runtime_error("pipe2()");
  }
  thread_ = std::thread(&FakeControlListener::serve, this);
}

FakeControlListener::~FakeControlListener() {
  char stop = 's';
  [[maybe_unused]] ssize_t ignored = ::write(stop_pipe_[1], &stop, 1);
  thread_.join();
  close_fd(listen_fd_);
  close_fd(stop_pipe_[0]);
  close_fd(stop_pipe_[1]);
}

void FakeControlListener::set_reply(const std::string& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = reply;
}

void FakeControlListener::set_behaviour(Behaviour behaviour) {
  std::lock_guard<std::mutex> lock(mutex_);
  behaviour_ = behaviour;
}

void FakeControlListener::set_responder(std::function<std::string(const std::string&)> responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

void FakeControlListener::set_read_deadline(std::chrono::milliseconds deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  read_deadline_ = deadline;
}

bool FakeControlListener::wait_for_requests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return served_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::vector<FakeControlListener::Request> FakeControlListener::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeControlListener::serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    serve_connection(fd);
  }
}

void FakeControlListener::serve_connection(int fd) {
  Behaviour behaviour;
  std::chrono::milliseconds read_deadline;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    behaviour = behaviour_;
    read_deadline = read_deadline_;
  }

  Request request;
  if (behaviour == Behaviour::kReset) {
    // A zero linger time makes close() send a reset instead of a FIN.
    linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  } else {
    auto deadline = std::chrono::steady_clock::now() + read_deadline;
    char chunk[kChunkSize];
    for (;;) {
      pollfd pfd{fd, POLLIN, 0};
      int ready = ::poll(&pfd, 1, remaining_ms(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;  // deadline: the client never ended its request
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        request.half_closed = n == 0;
        break;
      }
      request.text.append(chunk, static_cast<std::size_t>(n));
    }
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reply = responder_ ? responder_(request.text) : reply_;
    }
    if (behaviour == Behaviour::kReply && request.half_closed && !reply.empty()) {
      [[maybe_unused]] ssize_t ignored = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }
  ::close(fd);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  served_.notify_all();
}

ProgramResult run_program(const std::vector<std::string>& argv) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2()");
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    throw std::runtime_error("pipe2()");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ProgramResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (spawned == 0 && open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;
        --open_count;
      } else {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  if (spawned != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawned));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

}  // namespace zeltest
