// Reading the control tool's command line: see command_line.h.
#include "control/command_line.h"

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "control/control_protocol.h"
#include "log/log.h"

namespace {

// Steps through the global options up to "-c", applying each to `outcome`.
// Returns the index of "-c"; otherwise sets the outcome's action (usage or
// version) and returns -1.
int scan_global_options(int argc, const char* const* argv, command_line_outcome& outcome) {
  control_log_settings& settings = outcome.settings;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-c") return i;
    if (arg == "-v" || arg == "--version") {
      outcome.action = command_line_action::version;
      return -1;
    }
    if (arg == "--log_file") {
      if (i + 1 >= argc) {
        outcome.action = command_line_action::usage;
        return -1;
      }
      settings.file_path = argv[++i];
    } else if (arg == "--enable_console") {
      settings.to_console = 1;
    } else if (arg == "--disable_log_file") {
      settings.to_file = 0;
    } else if (arg == "--log_debug") {
      settings.level = kLogDebug;
    } else if (arg == "--log_info") {
      settings.level = kLogInfo;
    } else if (arg == "--log_warning") {
      settings.level = kLogWarning;
    } else if (arg == "--log_error") {
      settings.level = kLogError;
    } else if (arg == "--log_silent") {
      settings.level = kLogSilent;
    }
  }
  outcome.action = command_line_action::usage;
  return -1;
}

struct CommandOption {
  const char* name;
  std::optional<std::string>* value;
};

// Searches the whole argument list for the command's options: each takes the
// next argument as its value, a later occurrence overrides an earlier one,
// anything else is skipped, and an option with no value after it ends the
// search.
void scan_command_options(int argc, const char* const* argv,
                          std::initializer_list<CommandOption> options) {
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
std::optional<std::string> first_carrier_id(int argc, const char* const* argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-carrier_id") == 0) return std::string(argv[i + 1]);
  }
  return std::nullopt;
}

void bad_request(command_line_outcome& outcome, std::string error) {
  outcome.action = command_line_action::result;
  outcome.code = kResultBadRequest;
  outcome.error = std::move(error);
  outcome.request.clear();
}

// A builder's verdict: the text is the request, or the request is refused
// as too long.
void take_built(command_line_outcome& outcome, int built, std::string text,
                const std::string& command) {
  if (built != 0) {
    bad_request(outcome, "Request " + command + " is too long, not sent.\n");
    return;
  }
  outcome.action = command_line_action::request;
  outcome.request = std::move(text);
}

// Turns the command part of the command line into the request text.
void build_request(int argc, const char* const* argv, const std::string& command,
                   command_line_outcome& outcome) {
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
      bad_request(outcome, "Send discovery command is not full.\n");
      return;
    }
    if (args.discovery_time && !discovery_time_is_accepted(*args.discovery_time)) {
      bad_request(outcome, "Invalid value '" + *args.discovery_time + "' of option -t: a number expected.\n");
      return;
    }
    args.service = std::move(*service);
    int built = build_send_discovery_request(args, &text);
    take_built(outcome, built, std::move(text), command);
  } else if (command == kCommandOnClaim || command == kCommandOnRelease ||
             command == kCommandOnMoravault) {
    std::optional<std::string> service;
    std::optional<std::string> value;
    scan_command_options(argc, argv, {{"-s", &service}, {"-r", &value}});
    const bool moravault = command == kCommandOnMoravault;
    if (!service || !value) {
      bad_request(outcome, moravault ? "Send moravault command is not full.\n"
                                     : "Send claimed command is not full.\n");
      return;
    }
    if (!is_json_boolean(*value)) {
      bad_request(outcome,
                  "Invalid value '" + *value + "' of option -r: true or false expected.\n");
      return;
    }
    int built = moravault ? build_moravault_request(*service, *value, &text)
                          : build_claim_request(
                                command == kCommandOnClaim ? kCommandOnClaim : kCommandOnRelease,
                                *service, *value, &text);
    take_built(outcome, built, std::move(text), command);
  } else if (command == kCommandPauseConnections) {
    int built = build_pause_request(&text);
    take_built(outcome, built, std::move(text), command);
  } else if (command == kCommandResumeConnections) {
    int built = build_resume_request(first_carrier_id(argc, argv), &text);
    take_built(outcome, built, std::move(text), command);
  } else {
    bad_request(outcome, "unknown command " + command + ".\n");
  }
}

}  // namespace

command_line_outcome read_command_line(int argc, const char* const* argv,
                                       const control_log_settings& defaults) {
  command_line_outcome outcome;
  outcome.settings = defaults;
  if (argc <= 1 || argv == nullptr) {
    outcome.action = command_line_action::usage;
    return outcome;
  }
  const int command_index = scan_global_options(argc, argv, outcome);
  if (command_index < 0) return outcome;
  if (command_index + 1 >= argc) {
    bad_request(outcome, "");
    return outcome;
  }
  build_request(argc, argv, argv[command_index + 1], outcome);
  return outcome;
}
