#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "control/control_protocol.h"
#include "log/log.h"
#include "zelcloud_sim.h"

extern char** environ;

namespace zeltest {

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(2ms);  // a poll interval, not a synchronisation
  }
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zeltest.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();  // a read error (a file of a process that ended) ends the text, never throws
  return out.str();
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ::chmod(path.c_str(), mode);
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int count_of(const std::string& text, const std::string& fragment) {
  int found = 0;
  for (std::size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + fragment.size())) {
    ++found;
  }
  return found;
}

std::string built_program(const std::string& relative) {
  const char* dir = std::getenv("ZEL_BUILD_DIR");
  if (dir == nullptr) throw std::runtime_error("ZEL_BUILD_DIR is not set");
  return std::string(dir) + "/" + relative;
}

namespace {

// argv and environment as the exec calls want them; the strings are owned here.
struct ExecStrings {
  ExecStrings(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env)
      : args(argv) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view text = *entry;
      const auto replaced = [&](const auto& variable) { return text.substr(0, text.find('=')) == variable.first; };
      if (std::none_of(env.begin(), env.end(), replaced)) vars.emplace_back(text);
    }
    for (const auto& [name, value] : env) vars.push_back(name + "=" + value);
    for (std::string& arg : args) arg_ptrs.push_back(arg.data());
    for (std::string& var : vars) var_ptrs.push_back(var.data());
    arg_ptrs.push_back(nullptr);
    var_ptrs.push_back(nullptr);
  }
  std::vector<std::string> args, vars;
  std::vector<char*> arg_ptrs, var_ptrs;
};

// posix_spawn with a clean signal state and the given standard descriptors
// (-1: /dev/null for input, the paths for output).
pid_t spawn(const ExecStrings& exec, int out_fd, int err_fd, const std::string& out_path,
            const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const auto output = [&](int fd, int target, const std::string& path) {
    if (fd >= 0) return posix_spawn_file_actions_adddup2(&actions, fd, target);
    return posix_spawn_file_actions_addopen(&actions, target, path.empty() ? "/dev/null" : path.c_str(),
                                            O_WRONLY | O_CREAT | O_APPEND, 0644);
  };
  output(out_fd, STDOUT_FILENO, out_path);
  output(err_fd, STDERR_FILENO, err_path);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const bool spawned =
      ::posix_spawn(&pid, exec.arg_ptrs[0], &actions, &attributes, exec.arg_ptrs.data(), exec.var_ptrs.data()) == 0;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return spawned ? pid : -1;
}

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path,
                 const std::vector<std::pair<std::string, std::string>>& env)
    : pid_(spawn(ExecStrings(argv, env), -1, -1, out_path, err_path)) {}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    wait_exit();
  }
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds limit) {
  if (status_ || pid_ <= 0) return status_;
  wait_until(
      [this] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = exit_status(status);
        return true;
      },
      limit);
  return status_;
}

void Process::signal(int number) const { if (pid_ > 0) ::kill(pid_, number); }

ProgramResult run_program(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const auto left = [deadline] {
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(rest, std::chrono::milliseconds(0));
  };
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  UniqueFd out_read(out_pipe[0]), err_read(err_pipe[0]);
  const pid_t pid = spawn(ExecStrings(argv, env), out_pipe[1], err_pipe[1], "", "");
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ProgramResult result;
  if (pid < 0) return result;
  pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  for (int open = 2; open > 0 && !result.timed_out;) {
    const int ready = ::poll(fds, 2, static_cast<int>(left().count()));
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0) result.timed_out = true;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  const auto reaped = [&] { return ::waitpid(pid, &status, WNOHANG) == pid; };
  if (result.timed_out || !wait_until(reaped, left())) {
    // Still running at the deadline: a hang is a failure, never a wait.
    result.timed_out = true;
    ::kill(pid, SIGKILL);
    wait_until(reaped);
    result.err += "\n(killed: still running after " + std::to_string(limit.count()) + " ms)\n";
    return result;
  }
  result.status = exit_status(status);
  return result;
}

void install_agent_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

LogCapture::LogCapture(std::string path)
    : path_(std::move(path)), saved_level_(log_level), saved_console_(log_to_console), saved_path_(log_file_path) {
  log_file_path = path_;
  log_level = kLogDebug;
  log_to_console = 0;
  log_to_file = 1;
}

LogCapture::~LogCapture() {
  log_level = saved_level_;
  log_to_console = saved_console_;
  log_file_path = saved_path_;
}

UniqueFd listen_loopback(std::uint16_t* port, int backlog) { return zelsim::listen_loopback(0, backlog, port); }

UniqueFd listen_unix(const std::string& path, int backlog) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return UniqueFd();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ::unlink(path.c_str());
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), backlog) != 0) {
    return UniqueFd();
  }
  return fd;
}

UniqueFd connect_loopback(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
  return fd;
}

UniqueFd send_control(const std::string& text) {
  UniqueFd client = connect_loopback(kControlPort);
  if (client && ::send(client.get(), text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
    ::shutdown(client.get(), SHUT_WR);
  }
  return client;
}

std::string control_reply(int fd) {
  std::string got;
  char chunk[256];
  pollfd readable{fd, POLLIN, 0};
  for (ssize_t count; ::poll(&readable, 1, static_cast<int>(kWaitLimit.count())) == 1 &&
                      (count = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
    got.append(chunk, static_cast<std::size_t>(count));
  }
  return got;
}

std::string ask_control(const std::string& text) {
  const UniqueFd client = send_control(text);
  return client ? control_reply(client.get()) : "not sent";
}

HandlerSink::HandlerSink() {
  std::uint16_t port = 0;
  listener_ = listen_loopback(&port);
  endpoint_ = "127.0.0.1:" + std::to_string(port);
  start();
}

HandlerSink::HandlerSink(const std::string& path) : listener_(listen_unix(path)), endpoint_(path), path_(path) {
  start();
}

void HandlerSink::start() {
  int stop[2];
  if (!listener_ || ::pipe2(stop, O_CLOEXEC) != 0) throw std::runtime_error("cannot listen on " + endpoint_);
  stop_read_.reset(stop[0]);
  stop_write_.reset(stop[1]);
  thread_ = std::thread([this] { run(); });
}

HandlerSink::~HandlerSink() {
  stop_write_.reset();  // the end of the pipe stops the thread
  thread_.join();
  if (!path_.empty()) ::unlink(path_.c_str());
}

void HandlerSink::run() {
  constexpr int kHoldRecheckMs = 20;
  for (;;) {
    const bool holding = holding_.load();
    pollfd ready[2] = {{stop_read_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    if (::poll(ready, holding ? 1 : 2, holding ? kHoldRecheckMs : -1) < 0 && errno != EINTR) return;
    if (ready[0].revents != 0) return;
    if (holding_.load() || ready[1].revents == 0) continue;  // held meanwhile: not taken
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) continue;
    // Read to the end of the stream, unless the sink is stopped meanwhile.
    std::string payload;
    std::vector<char> chunk(std::max<std::size_t>(chunk_.load(), 1));
    for (;;) {
      pollfd reading[2] = {{conn.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
      if (::poll(reading, 2, -1) < 0 && errno != EINTR) return;
      if (reading[1].revents != 0) return;
      if (reading[0].revents == 0) continue;
      const ssize_t n = ::read(conn.get(), chunk.data(), chunk.size());
      if (n > 0) payload.append(chunk.data(), static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) break;
      // A slow reader: the pause is also a wait for the end of the sink.
      pollfd stop{stop_read_.get(), POLLIN, 0};
      if (pause_ms_.load() > 0 && ::poll(&stop, 1, pause_ms_.load()) > 0) return;
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      payloads_.push_back(std::move(payload));
    }
    changed_.notify_all();
  }
}

bool HandlerSink::wait_for(std::size_t count) const {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, kWaitLimit, [&] { return payloads_.size() >= count; });
}

std::vector<std::string> HandlerSink::payloads() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return payloads_;
}

bool child_subreaper_supported() {
  // Asked in a child, so that this process does not become one.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) == 0 ? 0 : 1);
  int status = 0;
  const bool ended = child > 0 && wait_until([&] { return ::waitpid(child, &status, WNOHANG) == child; });
  if (child > 0 && !ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool control_port_listening() {
  char listening[32];  // 127.0.0.1:14369 as /proc/net/tcp writes it
  std::snprintf(listening, sizeof listening, "0100007F:%04X", static_cast<unsigned>(kControlPort));
  std::ifstream tcp("/proc/net/tcp");
  for (std::string slot, local, remote, state, rest; tcp >> slot >> local >> remote >> state;) {
    std::getline(tcp, rest);
    if (local == listening && state == "0A") return true;
  }
  return false;
}

int processes_with(const std::string& marker) {
  int found = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    found += read_file(entry.path() / "cmdline").find(marker) != std::string::npos ? 1 : 0;
  }
  return found;
}

}  // namespace zeltest
