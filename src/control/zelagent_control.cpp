// zelagent_control: the agent's command-line client. It turns its command
// line into one control request, sends it to the control listener on
// 127.0.0.1:14369, prints the reply line and exits with the result code as
// its status. It keeps no state between runs and never retries.
//
//   zelagent_control [global options] -c <command> [command options]
//
// Global options are read up to "-c"; the command's options are searched in
// the whole argument list, so "-s svc -c on_claim -r true" is complete.
// Diagnostics go to the log file only (ERROR and EVENT by default); standard
// output carries the usage, the version or the reply line and nothing else.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "control/control_protocol.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "zelagent_control";

constexpr const char* kDefaultLogFile = "/tmp/zelagent_control.log";
constexpr const char* kVersion = "release-3.5.9_rbe871_2725daa_pvo";
constexpr const char* kVersionSuffix = "";
constexpr const char* kFallbackProgramName = "zelagent_control";
constexpr int kUsageStatus = 1;
constexpr int kOutOfMemoryStatus = 1;

// The letter after the dash in "-с send_discovery" is the Cyrillic small
// letter es (0xD1 0x81), as the tool has always printed it; every other "-c"
// is ASCII. Scripts that compare the usage text rely on these bytes.
constexpr const char* kUsage =
    "%s:\t[--enable_console] [--disable_log_file]\n"
    "\t\t[--log_debug|--log_info|--log_warning|--log_error|--log_silent]\n"
    "\t\t[-v|--version] [--log_file <filename>]\n"
    "\t\t[-\xD1\x81 send_discovery -s <service_name> [-t <discovery_time>]\n"
    "\t\t\t[-id <id>] [-carrier_id <id>] [-discovery_data <data>]]\n"
    "\t\t[-c on_claim   -s <service name> -r <claimed>]\n"
    "\t\t[-c on_moravault -s <service name> -r <registered>]\n"
    "\t\t[-c on_carrier_changed -id <id>]\n"
    "\t\t[-c pause_connections  ]\n"
    "\t\t[-c resume_connections [-carrier_id <id>]]\n";

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Closes now; the close's result (0 or -1 with errno).
  int close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

 private:
  int fd_;
};

struct AddrinfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

[[noreturn]] void usage_exit(const char* program) {
  std::printf(kUsage, program);
  std::exit(kUsageStatus);
}

// Steps through the global options up to "-c". Returns the index of "-c";
// prints the usage or the version and exits when the scan ends otherwise.
int scan_global_options(int argc, char** argv, const char* program) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-c") return i;
    if (arg == "-v" || arg == "--version") {
      std::printf("Version %s%s\n", kVersion, kVersionSuffix);
      std::exit(0);
    }
    if (arg == "--log_file") {
      if (i + 1 >= argc) usage_exit(program);
      log_file_path = argv[++i];
    } else if (arg == "--enable_console") {
      log_to_console = 1;
    } else if (arg == "--disable_log_file") {
      log_to_file = 0;
    } else if (arg == "--log_debug") {
      log_level = kLogDebug;
    } else if (arg == "--log_info") {
      log_level = kLogInfo;
    } else if (arg == "--log_warning") {
      log_level = kLogWarning;
    } else if (arg == "--log_error") {
      log_level = kLogError;
    } else if (arg == "--log_silent") {
      log_level = kLogSilent;
    }
  }
  usage_exit(program);
}

struct CommandOption {
  const char* name;
  std::optional<std::string>* value;
};

// Searches the whole argument list for the command's options: each takes the
// next argument as its value, a later occurrence overrides an earlier one,
// anything else is skipped, and an option with no value after it ends the
// search.
void scan_command_options(int argc, char** argv, std::initializer_list<CommandOption> options) {
  for (int i = 1; i < argc; ++i) {
    for (const CommandOption& option : options) {
      if (std::strcmp(argv[i], option.name) != 0) continue;
      if (i + 1 >= argc) return;
      *option.value = argv[++i];
      break;
    }
  }
}

// The first "-carrier_id" with an argument after it gives the carrier.
std::optional<std::string> first_carrier_id(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-carrier_id") == 0) return std::string(argv[i + 1]);
  }
  return std::nullopt;
}

[[noreturn]] void bad_request_exit() { exit_with_result(kResultBadRequest); }

void require_boolean(const char* option, const std::string& value) {
  if (is_json_boolean(value)) return;
  ZLOG(kLogError, "Invalid value '%s' of option %s: true or false expected.\n", value.c_str(), option);
  bad_request_exit();
}

void require_built(int built, const std::string& command) {
  if (built == 0) return;
  ZLOG(kLogError, "Request %s is too long, not sent.\n", command.c_str());
  bad_request_exit();
}

// Turns the command part of the command line into the request text; exits
// through exit_with_result(-6) on every command-line error.
std::string build_request(int argc, char** argv, const std::string& command) {
  std::string text;
  if (command == kCommandSendDiscovery) {
    std::optional<std::string> service;
    discovery_request_args args;
    scan_command_options(argc, argv,
                         {{"-s", &service},
                          {"-t", &args.discovery_time},
                          {"-id", &args.id},
                          {"-carrier_id", &args.carrier_id},
                          {"-discovery_data", &args.discovery_data}});
    if (!service) {
      ZLOG(kLogError, "Send discovery command is not full.\n");
      bad_request_exit();
    }
    if (args.discovery_time && !is_json_decimal_number(*args.discovery_time)) {
      ZLOG(kLogError, "Invalid value '%s' of option -t: a decimal number expected.\n",
           args.discovery_time->c_str());
      bad_request_exit();
    }
    args.service = std::move(*service);
    require_built(build_send_discovery_request(args, &text), command);
  } else if (command == kCommandOnClaim || command == kCommandOnRelease || command == kCommandOnMoravault) {
    std::optional<std::string> service;
    std::optional<std::string> value;
    scan_command_options(argc, argv, {{"-s", &service}, {"-r", &value}});
    bool moravault = command == kCommandOnMoravault;
    if (!service || !value) {
      if (moravault) {
        ZLOG(kLogError, "Send moravault command is not full.\n");
      } else {
        ZLOG(kLogError, "Send claimed command is not full.\n");
      }
      bad_request_exit();
    }
    require_boolean("-r", *value);
    int built = moravault ? build_moravault_request(*service, *value, &text)
                          : build_claim_request(command == kCommandOnClaim ? kCommandOnClaim : kCommandOnRelease,
                                                *service, *value, &text);
    require_built(built, command);
  } else if (command == kCommandPauseConnections) {
    require_built(build_pause_request(&text), command);
  } else if (command == kCommandResumeConnections) {
    require_built(build_resume_request(first_carrier_id(argc, argv), &text), command);
  } else {
    ZLOG(kLogError, "unknown command %s.\n", command.c_str());
    bad_request_exit();
  }
  return text;
}

[[noreturn]] void communication_failure(UniqueFd& socket) {
  socket.close();
  exit_with_result(kResultCommunication);
}

// Sends the request, half-closes and reads the reply once; returns the
// result code the agent answered (0 for an empty or unreadable reply text).
std::int32_t exchange(const std::string& request) {
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM, 0));
  if (socket.get() < 0) {
    int error = errno;
    ZLOG(kLogError, "Can't open socket: errno=%d-%s.\n", error, std::strerror(error));
    exit_with_result(kResultCommunication);
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(kControlHost, nullptr, &hints, &found) != 0 || found == nullptr) {
    ZLOG(kLogError, "Can't resolve localhost.\n");
    communication_failure(socket);
  }
  std::unique_ptr<addrinfo, AddrinfoDeleter> addresses(found);
  sockaddr_in address{};
  std::memcpy(&address, addresses->ai_addr, sizeof address);
  address.sin_port = htons(kControlPort);

  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ZLOG(kLogError, "Can't connect; errno=%d - %s.\n", error, std::strerror(error));
    communication_failure(socket);
  }

  // MSG_NOSIGNAL: a listener that went away must not kill the tool with
  // SIGPIPE before it can report the failure.
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(socket.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = errno;
      ZLOG(kLogError, "Can't send request; errno=%d - %s.\n", error, std::strerror(error));
      communication_failure(socket);
    }
    sent += static_cast<std::size_t>(n);
  }
  if (::shutdown(socket.get(), SHUT_WR) != 0) {
    int error = errno;
    ZLOG(kLogError, "Can't shut down sending; errno=%d - %s.\n", error, std::strerror(error));
    communication_failure(socket);
  }

  char reply[kReplyBufferSize];
  ssize_t received;
  do {
    received = ::recv(socket.get(), reply, sizeof reply - 1, 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    // A reset connection is no answer from the agent: the request may never
    // have been carried out, so it must not be reported as a success.
    int error = errno;
    ZLOG(kLogError, "Can't read reply; errno=%d - %s.\n", error, std::strerror(error));
    communication_failure(socket);
  }
  reply[received] = '\0';
  if (socket.close() != 0) {
    int error = errno;
    ZLOG(kLogError, "Failed to close socket: errno=%d-%s.\n", error, std::strerror(error));
  }
  ZLOG(kLogDebug, "Readed %zd bytes from zelagent: %s\n", received, reply);
  return parse_reply(reply);
}

}  // namespace

int main(int argc, char** argv) {
  log_file_path = kDefaultLogFile;
  log_level = kLogError;
  log_to_console = 0;
  // Every end of the tool is an exit(): let a compression started by a
  // rotation finish first, or it never would.
  std::atexit(log_wait_for_compression);

  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : kFallbackProgramName;
  if (argc <= 1) usage_exit(program);
  int command_index = scan_global_options(argc, argv, program);
  if (command_index + 1 >= argc) exit_with_result(kResultBadRequest);

  std::string request;
  try {
    request = build_request(argc, argv, argv[command_index + 1]);
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "strdup().\n");
    return kOutOfMemoryStatus;
  }
  exit_with_result(exchange(request));
}
