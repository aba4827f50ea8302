// zelcloud_sim: runs the simulator (zelcloud_sim.h) as a program.
//
//   zelcloud_sim [--dir DIR] [--command-port PORT] [--heartbeat SECONDS]
//                [--broker-keepalive A,B,C] [--agent-keepalive A,B,C]
//                [--plain-broker] [--cloud-cert FAULT] [--broker-cert FAULT]
//                [--quiet]
//   zelcloud_sim --send COMMAND [--dir DIR | --command-port PORT]
//
// The second form sends one command to a simulator that runs already (its
// command port given, or read from DIR/sim.env), prints the reply line and
// exits with 0 for an "ok" reply, 1 otherwise.
//
// It prints its settings, then one line per request, packet and command.
// Commands come from standard input (one per line; "quit" ends the program)
// and from a loopback TCP command port: a client sends one line and reads
// the one-line reply, e.g. from bash:
//
//   exec 3<>/dev/tcp/127.0.0.1/$port; echo claim >&3; read -r reply <&3
//
// When everything is up, DIR/sim.env is written (shell assignments of the
// cloud URL, the CA file and folder, the ports and the pid), so scripts can
// wait for it and source it. SIGTERM and SIGINT end the program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>

#include "broker/net_helper.h"
#include "broker_server.h"
#include "https_server.h"
#include "zelcloud_sim.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMaxCommandBytes = 64 * 1024;
constexpr int kCommandReadTimeoutMs = 5000;
constexpr int kListenBacklog = 8;
constexpr const char* kEnvFileName = "sim.env";
constexpr long kMaxPort = 65535;

// The faulty certificates of --cloud-cert and --broker-cert, by name.
constexpr std::pair<const char*, zelsim::CertFault> kCertFaults[] = {
    {"good", zelsim::CertFault::kNone},
    {"expired", zelsim::CertFault::kExpired},
    {"wrong-name", zelsim::CertFault::kWrongName},
    {"unknown-issuer", zelsim::CertFault::kUnknownIssuer},
    {"self-signed", zelsim::CertFault::kSelfSigned},
};

bool cert_fault(const std::string& name, zelsim::CertFault* fault) {
  for (const auto& [known, value] : kCertFaults) {
    if (name == known) {
      *fault = value;
      return true;
    }
  }
  return false;
}

const char* cert_fault_name(zelsim::CertFault fault) {
  for (const auto& [name, value] : kCertFaults) {
    if (fault == value) return name;
  }
  return "?";
}

struct sim_arguments {
  std::string dir;
  std::string send;  // --send: the command for a running simulator
  std::uint16_t command_port = 0;
  bool quiet = false;
  zelsim::SimulatorOptions options;
};

int usage(const char* program, int status) {
  std::fprintf(status == kExitOk ? stdout : stderr,
               "Usage: %s [--dir DIR] [--command-port PORT] [--heartbeat SECONDS]\n"
               "          [--broker-keepalive A,B,C] [--agent-keepalive A,B,C] [--plain-broker]\n"
               "          [--cloud-cert FAULT] [--broker-cert FAULT] [--quiet]\n"
               "       %s --send COMMAND [--dir DIR | --command-port PORT]\n"
               "A local zelCloud (HTTPS) and zelbroker (TLS) on loopback for the agent.\n"
               "  --send COMMAND          send one command to the simulator that runs with DIR (or\n"
               "                          that listens on PORT), print its reply, exit 0 for \"ok\"\n"
               "  --dir DIR               where certificates and sim.env go (default: a new\n"
               "                          folder under /tmp, removed at exit)\n"
               "  --command-port PORT     loopback TCP port for commands (default: any free one)\n"
               "  --heartbeat SECONDS     the advisor's agentHeartbeat (0: none; default 30)\n"
               "  --broker-keepalive A,B,C  the advisor's brokerKeepalive (\"\": none)\n"
               "  --agent-keepalive A,B,C   the advisor's agentKeepalive (\"\": none)\n"
               "  --plain-broker          the zelbroker speaks plain TCP (zel_broker_ssl 0)\n"
               "  --cloud-cert FAULT      the zelCloud presents a faulty certificate: expired,\n"
               "                          wrong-name, unknown-issuer or self-signed (default good)\n"
               "  --broker-cert FAULT     the same for the zelbroker\n"
               "  --quiet                 print only the settings and command replies\n"
               "Commands (standard input or the command port; \"help\" lists them):\n"
               "  claim [ID], release [ID], send HANDLER [TEXT], raw BYTES, drop, wait SECONDS,\n"
               "  connect, heartbeats on|off, register accept|refuse|fail, fault ..., devices,\n"
               "  discoveries, requests [clear], status\n",
               program, program);
  return status;
}

int parse_arguments(int argc, char** argv, sim_arguments* arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (name == "--help" || name == "-h") return usage(argv[0], kExitOk) + 1;
    if (name == "--quiet") {
      arguments->quiet = true;
    } else if (name == "--plain-broker") {
      arguments->options.broker_tls = false;
    } else if (name == "--dir") {
      if (!value(&arguments->dir)) return -1;
    } else if (name == "--send") {
      if (!value(&arguments->send) || arguments->send.empty()) return -1;
    } else if (name == "--command-port") {
      if (!value(&text)) return -1;
      const long port = std::strtol(text.c_str(), nullptr, 10);
      if (port < 0 || port > kMaxPort) return -1;
      arguments->command_port = static_cast<std::uint16_t>(port);
    } else if (name == "--heartbeat") {
      if (!value(&text)) return -1;
      arguments->options.agent_heartbeat = static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
    } else if (name == "--cloud-cert" || name == "--broker-cert") {
      if (!value(&text) ||
          !cert_fault(text, name == "--cloud-cert" ? &arguments->options.cloud_cert : &arguments->options.broker_cert)) {
        return -1;
      }
    } else if (name == "--broker-keepalive") {
      if (!value(&arguments->options.broker_keepalive)) return -1;
    } else if (name == "--agent-keepalive") {
      if (!value(&arguments->options.agent_keepalive)) return -1;
    } else {
      return -1;
    }
  }
  return 0;
}

// Reads one command line from a client (up to a newline or its end of
// stream, bounded in size and time), runs it and writes the reply line.
void serve_command_client(int fd, zelsim::Simulator& sim, const std::function<void(const std::string&)>& print) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandReadTimeoutMs);
  char buffer[512];
  while (line.find('\n') == std::string::npos && line.size() < kMaxCommandBytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return;
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    if (count <= 0) break;
    line.append(buffer, static_cast<std::size_t>(count));
  }
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  print("command: " + line);
  const std::string reply = sim.execute(line);
  print("reply:   " + reply);
  const std::string out = reply + "\n";
  send_all(fd, out.data(), out.size());
}

bool write_env_file(const std::string& dir, zelsim::Simulator& sim, std::uint16_t command_port) {
  const std::string path = dir + "/" + kEnvFileName;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary);
    out << "ZEL_SIM_CLOUD_URL=" << sim.base_url() << "\n"
        << "ZEL_SIM_CA_FILE=" << sim.ca_file() << "\n"
        << "ZEL_SIM_CA_PATH=" << sim.ca_path() << "\n"
        << "ZEL_SIM_CLOUD_PORT=" << sim.cloud().port() << "\n"
        << "ZEL_SIM_BROKER_PORT=" << sim.broker().port() << "\n"
        << "ZEL_SIM_COMMAND_PORT=" << command_port << "\n"
        << "ZEL_SIM_PID=" << ::getpid() << "\n";
    if (!out) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The command port of the simulator that wrote DIR/sim.env; 0 when unknown.
std::uint16_t command_port_of(const std::string& dir) {
  std::ifstream env(dir + "/" + kEnvFileName);
  const std::string key = "ZEL_SIM_COMMAND_PORT=";
  for (std::string line; std::getline(env, line);) {
    if (line.rfind(key, 0) == 0) {
      const long port = std::strtol(line.c_str() + key.size(), nullptr, 10);
      return port > 0 && port <= kMaxPort ? static_cast<std::uint16_t>(port) : 0;
    }
  }
  return 0;
}

// --send: one command to a running simulator; the reply on standard output.
int send_command(const sim_arguments& arguments) {
  const std::uint16_t port = arguments.command_port != 0 ? arguments.command_port
                             : arguments.dir.empty()      ? 0
                                                          : command_port_of(arguments.dir);
  if (port == 0) {
    std::fprintf(stderr, "zelcloud_sim: no simulator to send to: give --dir DIR (with its sim.env) or --command-port\n");
    return kExitUsage;
  }
  UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!sock || ::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "zelcloud_sim: no simulator listens on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    return kExitFailure;
  }
  const std::string line = arguments.send + "\n";
  send_all(sock.get(), line.data(), line.size());
  std::string reply;
  char buffer[512];
  for (ssize_t n; reply.find('\n') == std::string::npos && (n = ::recv(sock.get(), buffer, sizeof buffer, 0)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  reply = reply.substr(0, reply.find('\n'));
  std::printf("%s\n", reply.c_str());
  return reply.rfind("ok", 0) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  sim_arguments arguments;
  const int parsed = parse_arguments(argc, argv, &arguments);
  if (parsed > 0) return kExitOk;
  if (parsed < 0) return usage(argv[0], kExitUsage);
  if (!arguments.send.empty()) return send_command(arguments);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  bool own_dir = false;
  if (arguments.dir.empty()) {
    char pattern[] = "/tmp/zelcloud_sim.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      std::perror("zelcloud_sim: mkdtemp");
      return kExitFailure;
    }
    arguments.dir = pattern;
    own_dir = true;
  } else {
    std::error_code error;
    std::filesystem::create_directories(arguments.dir, error);
    arguments.dir = std::filesystem::absolute(arguments.dir).lexically_normal().string();
  }
  arguments.options.cert_dir = arguments.dir;

  // The simulator's threads inherit the blocked set; the main loop takes the
  // signals through a signalfd.
  UniqueFd signals = zelsim::stop_signal_fd();

  int status = kExitOk;
  try {
    zelsim::Simulator sim(arguments.options);
    auto print = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
    if (!arguments.quiet) sim.set_printer(print);

    std::uint16_t command_port = 0;
    UniqueFd commands = zelsim::listen_loopback(arguments.command_port, kListenBacklog, &command_port);
    if (!commands) {
      std::fprintf(stderr, "zelcloud_sim: cannot listen on command port %u\n", arguments.command_port);
      return kExitFailure;
    }
    std::printf("zelcloud_sim ready: zelCloud %s, zelbroker localhost:%u (%s), commands on 127.0.0.1:%u\n",
                sim.base_url().c_str(), sim.broker().port(), arguments.options.broker_tls ? "TLS" : "plain TCP",
                command_port);
    std::printf("trust anchor for the agent: --ca-file %s (or --ca-path %s)\n", sim.ca_file().c_str(),
                sim.ca_path().c_str());
    for (const auto& [server, fault] : {std::pair("zelCloud", arguments.options.cloud_cert),
                                        std::pair("zelbroker", arguments.options.broker_cert)}) {
      if (fault != zelsim::CertFault::kNone) std::printf("the %s's certificate is %s\n", server, cert_fault_name(fault));
    }
    for (const auto& [key, value] : sim.store_settings()) {
      std::printf("store setting: pvo set %s %s\n", key.c_str(), value.c_str());
    }
    if (!write_env_file(arguments.dir, sim, command_port)) {
      std::fprintf(stderr, "zelcloud_sim: cannot write %s/%s\n", arguments.dir.c_str(), kEnvFileName);
      return kExitFailure;
    }

    bool stdin_open = true;
    std::string pending_input;
    for (bool running = true; running;) {
      pollfd fds[3] = {{signals.get(), POLLIN, 0}, {commands.get(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      const nfds_t count = stdin_open ? 3 : 2;
      if (::poll(fds, count, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) break;
      if (fds[1].revents & POLLIN) {
        UniqueFd client(::accept4(commands.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client) serve_command_client(client.get(), sim, print);
      }
      if (stdin_open && (fds[2].revents & (POLLIN | POLLHUP)) != 0) {
        char buffer[512];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
          stdin_open = false;
          continue;
        }
        pending_input.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t newline; (newline = pending_input.find('\n')) != std::string::npos;) {
          const std::string line = pending_input.substr(0, newline);
          pending_input.erase(0, newline + 1);
          if (line == "quit" || line == "exit") {
            running = false;
            break;
          }
          std::printf("%s\n", sim.execute(line).c_str());
        }
      }
    }
    std::printf("zelcloud_sim stopping\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zelcloud_sim: %s\n", error.what());
    status = kExitFailure;
  }
  if (own_dir) {
    std::error_code error;
    std::filesystem::remove_all(arguments.dir, error);
  }
  return status;
}
