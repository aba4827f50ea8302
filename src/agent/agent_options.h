// The agent's command line: what `zelagent` is told when it is started, and
// the defaults a device gets when it is told nothing.
//
//   zelagent [--foreground] [--pid-file PATH] [--log-file PATH]
//            [--event-file PATH] [--log-level LEVEL] [--console]
//            [--hardware-id ID] [--model MODEL]
//            [--ca-file FILE] [--ca-path DIR] [--help] [--version]
//
// Every option that takes a value accepts both "--name value" and
// "--name=value". Parsing is pure: it neither prints nor exits, so the
// program decides what to do with the result.
//
// Usage:
//
//   agent_options options;
//   std::string error;
//   if (parse_agent_options(argc, argv, &options, &error) != 0) {
//     std::fprintf(stderr, "%s\n%s", error.c_str(), agent_usage_text("zelagent").c_str());
//     return kAgentExitUsage;
//   }
#pragma once

#include <optional>
#include <string>

// Defaults for an embedded device.
inline constexpr const char* kDefaultPidFile = "/var/run/zelagent.pid";
inline constexpr const char* kDefaultLogFile = "/var/log/zelagent.log";
inline constexpr int kDefaultAgentLogLevel = 2;  // INFO

// Exit statuses of `zelagent` (the daemonising parent exits 0 once the
// daemon is detached; these are the statuses of the process that fails).
inline constexpr int kAgentExitOk = 0;
inline constexpr int kAgentExitFailure = 1;  // refused start: another agent, missing setting, ...
inline constexpr int kAgentExitUsage = 2;    // bad command line

struct agent_options {
  bool help = false;
  bool version = false;
  bool foreground = false;   // false: the agent daemonises
  bool console = false;      // echo log lines on standard error
  std::string pid_file = kDefaultPidFile;
  std::string log_file = kDefaultLogFile;
  std::string event_file;    // empty: EVENT lines stay in the log file
  int log_level = kDefaultAgentLogLevel;  // 1 DEBUG .. 5 silent
  std::optional<std::string> hardware_id;  // unset: found on the device (device_info.h)
  std::optional<std::string> model;        // unset: found on the device
  std::string ca_file;       // empty: the system trust store only
  std::string ca_path;
};

// Parses argv[1..argc-1] into `options` (which keeps its defaults for
// everything not given). Returns 0, or -1 with a one-line explanation in
// `error` for an unknown option, a missing or empty value, or a log level
// that is neither a name (debug, info, warning, error, silent) nor 1 to 5.
// --help and --version stop nothing: the caller looks at the flags first.
int parse_agent_options(int argc, const char* const* argv, agent_options* options, std::string* error);

// The usage text, ending in a newline, with `program` as the program name.
std::string agent_usage_text(const std::string& program);

// The version line, ending in a newline ("zelagent <version>").
std::string agent_version_text();
