// The agent's command line. Parsing only fills a record: printing the usage,
// the version or an error is main's business.
#include "agent/agent_options.h"

#include <array>

#include "log/log.h"

#ifndef ZELAGENT_VERSION
#define ZELAGENT_VERSION "unknown"
#endif

namespace {

struct level_name {
  const char* name;
  int level;
};
constexpr std::array<level_name, 5> kLevelNames = {{
    {"debug", kLogDebug},
    {"info", kLogInfo},
    {"warning", kLogWarning},
    {"error", kLogError},
    {"silent", kLogSilent},
}};

// A log level from its name or number (1..5); std::nullopt when neither.
std::optional<int> parse_log_level(const std::string& text) {
  for (const level_name& entry : kLevelNames) {
    if (text == entry.name) return entry.level;
  }
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') return text[0] - '0';
  return std::nullopt;
}

// Options that take a value, and where the value goes.
enum class value_option { kPidFile, kLogFile, kEventFile, kLogLevel, kHardwareId, kModel, kCaFile, kCaPath };

struct value_option_name {
  const char* name;
  value_option option;
};
constexpr std::array<value_option_name, 8> kValueOptions = {{
    {"--pid-file", value_option::kPidFile},
    {"--log-file", value_option::kLogFile},
    {"--event-file", value_option::kEventFile},
    {"--log-level", value_option::kLogLevel},
    {"--hardware-id", value_option::kHardwareId},
    {"--model", value_option::kModel},
    {"--ca-file", value_option::kCaFile},
    {"--ca-path", value_option::kCaPath},
}};

int store_value(value_option option, const std::string& name, const std::string& value, agent_options* options,
                std::string* error) {
  if (value.empty()) {
    *error = "option " + name + " needs a non-empty value";
    return -1;
  }
  switch (option) {
    case value_option::kPidFile: options->pid_file = value; break;
    case value_option::kLogFile: options->log_file = value; break;
    case value_option::kEventFile: options->event_file = value; break;
    case value_option::kHardwareId: options->hardware_id = value; break;
    case value_option::kModel: options->model = value; break;
    case value_option::kCaFile: options->ca_file = value; break;
    case value_option::kCaPath: options->ca_path = value; break;
    case value_option::kLogLevel: {
      std::optional<int> level = parse_log_level(value);
      if (!level) {
        *error = "unknown log level '" + value + "' (debug, info, warning, error, silent or 1 to 5)";
        return -1;
      }
      options->log_level = *level;
      break;
    }
  }
  return 0;
}

}  // namespace

int parse_agent_options(int argc, const char* const* argv, agent_options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i] != nullptr ? argv[i] : "";
    if (argument == "--help" || argument == "-h") {
      options->help = true;
      continue;
    }
    if (argument == "--version" || argument == "-v") {
      options->version = true;
      continue;
    }
    if (argument == "--foreground" || argument == "-f") {
      options->foreground = true;
      continue;
    }
    if (argument == "--console") {
      options->console = true;
      continue;
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const value_option_name* match = nullptr;
    for (const value_option_name& entry : kValueOptions) {
      if (name == entry.name) match = &entry;
    }
    if (match == nullptr) {
      *error = "unknown option '" + argument + "'";
      return -1;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc && argv[i + 1] != nullptr) {
      value = argv[++i];
    } else {
      *error = "option " + name + " needs a value";
      return -1;
    }
    if (store_value(match->option, name, value, options, error) != 0) return -1;
  }
  return 0;
}

std::string agent_usage_text(const std::string& program) {
  return "Usage: " + program +
         " [options]\n"
         "The cloud agent of the device: registers it with the zelCloud, keeps its\n"
         "zelbroker link, delivers broker messages to local handlers and serves\n"
         "zelagent_control on 127.0.0.1:14369. Settings are read from the nvram store.\n"
         "\n"
         "  -f, --foreground       stay in the foreground (default: run as a daemon)\n"
         "      --pid-file PATH    pid file held while the agent runs\n"
         "                         (default " + kDefaultPidFile + ")\n"
         "      --log-file PATH    log file, rotated at 4 MiB into 5 gzip generations\n"
         "                         (default " + kDefaultLogFile + ")\n"
         "      --event-file PATH  write EVENT lines (connected, disconnected, ...) here\n"
         "      --log-level LEVEL  debug, info, warning, error or silent, or 1 to 5\n"
         "                         (default info)\n"
         "      --console          also write log lines to standard error\n"
         "      --hardware-id ID   the device's hardware id (default: the Serial line of\n"
         "                         /proc/cpuinfo, else /etc/machine-id, else the MAC\n"
         "                         address of the first network interface)\n"
         "      --model MODEL      the device model (default: /proc/device-tree/model,\n"
         "                         else generic-<machine>)\n"
         "      --ca-file FILE     PEM file of extra trusted CA certificates\n"
         "      --ca-path DIR      hashed directory of extra trusted CA certificates\n"
         "  -h, --help             print this text and exit\n"
         "  -v, --version          print the version and exit\n"
         "\n"
         "Signals: SIGTERM or SIGINT shut the agent down, SIGHUP sends a refresh\n"
         "report to the \"event_sink\" handler.\n"
         "Exit status: 0 after an orderly shut-down, 1 when the start is refused\n"
         "(another agent running, a cloud URL not set, ...), 2 for a bad command line.\n";
}

std::string agent_version_text() { return std::string("zelagent ") + ZELAGENT_VERSION + "\n"; }
