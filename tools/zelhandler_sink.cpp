// zelhandler_sink: a local handler that shows what the agent delivers to it.
//
//   zelhandler_sink --name NAME (--unix PATH | --port PORT) [--out FILE]
//
// It listens on a UNIX stream socket (or a loopback TCP port), takes one
// connection at a time, reads each to its end (the agent's message) and
// prints it as one line, "NAME received: <message>", on standard output and,
// with --out, appends the message alone as one line to FILE. JSON messages
// are written compactly on one line; other bytes are shown with \xHH escapes.
// Point a handler at it with `pvo set zel_handler_NAME PATH` (or
// 127.0.0.1:PORT). SIGTERM and SIGINT end it; the socket file is removed.
#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "broker/net_helper.h"
#include "zelcloud_sim.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kBacklog = 16;
constexpr int kReadTimeoutMs = 10000;
constexpr std::size_t kMaxMessageBytes = 4 * 1024 * 1024;
constexpr std::size_t kShownBytes = 2000;
constexpr long kMaxPort = 65535;

int usage(const char* program) {
  std::fprintf(stderr, "Usage: %s --name NAME (--unix PATH | --port PORT) [--out FILE]\n", program);
  return kExitUsage;
}

std::string one_line(const std::string& message) {
  std::unique_ptr<cJSON, void (*)(cJSON*)> json(cJSON_Parse(message.c_str()), cJSON_Delete);
  if (json) {
    std::unique_ptr<char, void (*)(void*)> text(cJSON_PrintUnformatted(json.get()), std::free);
    if (text) return text.get();
  }
  return zelsim::printable(message, kShownBytes);
}

// The whole message of one connection (bounded in size and time).
std::string read_message(int fd) {
  std::string message;
  char buffer[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, kReadTimeoutMs) <= 0) break;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    message.append(buffer, static_cast<std::size_t>(got));
    if (message.size() > kMaxMessageBytes) break;
  }
  return message;
}

bool bind_and_listen(int sock, const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());
  return ::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(sock, kBacklog) == 0;
}

// The socket file appears only once it accepts connections: callers wait for
// the file, so it is bound and listening under a side name first, then renamed
// into place. A path too long for the side name is bound directly.
UniqueFd listen_unix(const std::string& path) {
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return sock;
  const std::string side = path + ".new";
  const bool by_side_name = side.size() < sizeof(sockaddr_un::sun_path);
  if (!bind_and_listen(sock.get(), by_side_name ? side : path)) return UniqueFd();
  if (by_side_name && ::rename(side.c_str(), path.c_str()) != 0) {
    ::unlink(side.c_str());
    return UniqueFd();
  }
  return sock;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  std::string unix_path;
  std::string out_path;
  long port = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage(argv[0]);
    const std::string value = argv[++i];
    if (option == "--name") {
      name = value;
    } else if (option == "--unix") {
      unix_path = value;
    } else if (option == "--out") {
      out_path = value;
    } else if (option == "--port") {
      char* end = nullptr;
      port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 1) return usage(argv[0]);
    } else {
      return usage(argv[0]);
    }
  }
  if (name.empty() || unix_path.empty() == (port < 0) || port > kMaxPort) return usage(argv[0]);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  UniqueFd signals = zelsim::stop_signal_fd();

  UniqueFd listener = unix_path.empty() ? zelsim::listen_loopback(static_cast<std::uint16_t>(port), kBacklog)
                                         : listen_unix(unix_path);
  if (!listener) {
    std::fprintf(stderr, "zelhandler_sink: cannot listen on %s: %s\n",
                 unix_path.empty() ? std::to_string(port).c_str() : unix_path.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  for (;;) {
    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if ((fds[1].revents & POLLIN) == 0) continue;
    UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    const std::string line = one_line(read_message(client.get()));
    std::printf("%s received: %s\n", name.c_str(), line.c_str());
    if (!out_path.empty()) {
      std::ofstream out(out_path, std::ios::app);
      out << line << "\n";
    }
  }
  if (!unix_path.empty()) ::unlink(unix_path.c_str());
  return kExitOk;
}
