// zelagent_control: the agent's command-line client. It turns its command
// line into one control request, sends it to the control listener on
// 127.0.0.1:14369, prints the reply line and exits with the result code as
// its status. It keeps no state between runs and never retries.
//
//   zelagent_control [global options] -c <command> [command options]
//
// The command line is read by read_command_line (command_line.h); this file
// applies its outcome and holds the exchange with the agent.
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

#include "common/unique_fd.h"
#include "control/command_line.h"
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


struct AddrinfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

[[noreturn]] void usage_exit(const char* program) {
  std::printf(kUsage, program);
  std::exit(kUsageStatus);
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
  ZLOG(kLogDebug, "Readed %zd bytes from zelagent: %s\n", received, log_escape(reply).c_str());
  return parse_reply(reply);
}

}  // namespace

// A fatal C++ error in the tool aborts it without a demangled type name: the
// runtime's verbose handler would bring the whole name demangler along, a
// third of the tool's size.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int main(int argc, char** argv) {
  control_log_settings defaults;
  defaults.level = kLogError;
  defaults.to_console = 0;
  defaults.to_file = log_to_file;
  defaults.file_path = kDefaultLogFile;
  log_file_path = defaults.file_path;
  log_level = defaults.level;
  log_to_console = defaults.to_console;
  // Every end of the tool is an exit(): let a compression started by a
  // rotation finish first, or it never would.
  std::atexit(log_wait_for_compression);
  std::atexit(log_flush_suppressed);  // runs first: its line may rotate

  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : kFallbackProgramName;
  command_line_outcome outcome;
  try {
    outcome = read_command_line(argc, argv, defaults);
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "strdup().\n");
    return kOutOfMemoryStatus;
  }
  log_level = outcome.settings.level;
  log_to_console = outcome.settings.to_console;
  log_to_file = outcome.settings.to_file;
  log_file_path = outcome.settings.file_path;
  if (!outcome.error.empty()) {
    // The text holds the caller's arguments; it ends with its own line feed.
    std::string_view error = outcome.error;
    if (error.ends_with('\n')) error.remove_suffix(1);
    ZLOG(kLogError, "%s\n", log_escape(error).c_str());
  }

  switch (outcome.action) {
    case command_line_action::usage:
      usage_exit(program);
    case command_line_action::version:
      std::printf("Version %s%s\n", kVersion, kVersionSuffix);
      std::exit(0);
    case command_line_action::result:
      exit_with_result(outcome.code);
    case command_line_action::request:
      break;
  }
  exit_with_result(exchange(outcome.request));
}
