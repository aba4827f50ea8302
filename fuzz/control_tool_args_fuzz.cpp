// Fuzzes the control tool's command line. The input is the argument list,
// arguments separated by NUL bytes (argv[0] is the program name). Every
// request the tool would send must be one the agent's parser accepts as the
// command that was named, and within the tool's length limits; every refusal
// is the bad-request code.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cloud/json_helper.h"
#include "control/command_line.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "fuzz/fuzz_support.h"
#include "log/log.h"

namespace {

constexpr std::size_t kMaxArguments = 64;

std::int32_t type_of_command(const std::string& name) {
  if (name == kCommandSendDiscovery) return kControlSendDiscovery;
  if (name == kCommandOnClaim) return kControlOnClaim;
  if (name == kCommandOnRelease) return kControlOnRelease;
  if (name == kCommandOnMoravault) return kControlOnMoravault;
  if (name == kCommandPauseConnections) return kControlPauseConnections;
  if (name == kCommandResumeConnections) return kControlResumeConnections;
  return kControlRequestNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  std::vector<std::string> arguments{"zelagent_control"};
  std::string current;
  for (std::size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
    if (data[i] == '\0') {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (!current.empty() && arguments.size() < kMaxArguments) arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(arguments.size());

  control_log_settings defaults;
  defaults.level = kLogError;
  defaults.to_file = 1;
  defaults.file_path = "/tmp/zelagent_control.log";
  const command_line_outcome outcome = read_command_line(argc, argv.data(), defaults);

  switch (outcome.action) {
    case command_line_action::usage:
    case command_line_action::version:
      if (!outcome.request.empty()) std::abort();
      break;
    case command_line_action::result:
      if (outcome.code != kResultBadRequest || !outcome.request.empty()) std::abort();
      break;
    case command_line_action::request: {
      // The command name follows the first "-c" that is not the value of
      // "--log_file".
      std::size_t c = 1;
      while (c < arguments.size() && arguments[c] != "-c") c += arguments[c] == "--log_file" ? 2 : 1;
      if (c + 1 >= arguments.size()) std::abort();
      const std::int32_t type = type_of_command(arguments[c + 1]);
      const std::size_t limit = type == kControlSendDiscovery ? kDiscoveryRequestMaxLength
                                                              : kShortRequestMaxLength;
      if (outcome.request.empty() || outcome.request.size() > limit) std::abort();
      control_request request;
      if (parse_control_request(outcome.request.c_str(), request) != 0) std::abort();
      if (request.type != type) std::abort();
      free_control_request(request);
      break;
    }
  }
  return 0;
}
