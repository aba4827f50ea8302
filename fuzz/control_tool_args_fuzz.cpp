// The control tool's command line (arguments separated by NUL bytes): every
// request it would send is accepted by the agent's parser as the command
// named, within its length limit; every refusal is the bad-request code.
#include <vector>

#include "cloud/json_helper.h"
#include "control/command_line.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t* data, std::size_t size, const std::string&) {
  std::vector<std::string> args{"zelagent_control"};
  for (std::size_t at = 0; at < size && args.size() < 64;) {
    const std::size_t end = std::find(data + at, data + size, 0) - data;
    args.emplace_back(reinterpret_cast<const char*>(data) + at, end - at);
    at = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  const command_line_outcome outcome = read_command_line(static_cast<int>(args.size()), argv.data(), {});
  if (outcome.action != command_line_action::request) {
    if (!outcome.request.empty()) std::abort();
    if (outcome.action == command_line_action::result && outcome.code != kResultBadRequest) std::abort();
    return;
  }
  // The command follows the first "-c" that is not the value of "--log_file".
  std::size_t c = 1;
  while (c + 1 < args.size() && args[c] != "-c") c += args[c] == "--log_file" ? 2 : 1;
  const std::string command = c + 1 < args.size() ? args[c + 1] : "";
  const char* const names[] = {kCommandSendDiscovery, kCommandOnClaim, kCommandOnRelease,
                               kCommandResumeConnections, kCommandPauseConnections, kCommandOnMoravault};
  control_request request;
  if (parse_control_request(outcome.request.c_str(), request) != 0) std::abort();
  const bool discovery = request.type == kControlSendDiscovery;
  if (request.type < 0 || request.type > 5 || command != names[request.type] ||
      outcome.request.size() > (discovery ? kDiscoveryRequestMaxLength : kShortRequestMaxLength))
    std::abort();
  free_control_request(request);
}
