// Fuzzes both readers of the control protocol: the agent's control-request
// parser (texts from local clients and from the zelbroker under the agent's
// own handler name) and the control tool's reading of the reply line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "cloud/json_helper.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "fuzz/fuzz_support.h"

namespace {

// The payload a parsed request must carry for its kind.
bool payload_matches_type(const control_request& request) {
  switch (request.type) {
    case kControlSendDiscovery:
      return std::holds_alternative<discovery_request>(request.payload);
    case kControlOnClaim:
    case kControlOnRelease:
    case kControlOnMoravault: {
      const service_request* service = std::get_if<service_request>(&request.payload);
      return service != nullptr && (service->value == 0 || service->value == 1);
    }
    case kControlResumeConnections:
      return !std::holds_alternative<discovery_request>(request.payload) &&
             !std::holds_alternative<service_request>(request.payload);
    case kControlPauseConnections:
      return std::holds_alternative<std::monostate>(request.payload);
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  // Both readers take NUL-terminated text, as the listener and the tool hold it.
  const std::string text(reinterpret_cast<const char*>(data), size);

  control_request request;
  if (parse_control_request(text.c_str(), request) == 0) {
    if (!payload_matches_type(request)) std::abort();
  } else if (!std::holds_alternative<std::monostate>(request.payload)) {
    std::abort();  // a refused request must not leave a payload to execute
  }
  free_control_request(request);
  if (!std::holds_alternative<std::monostate>(request.payload)) std::abort();

  // The tool reads at most 255 bytes of the reply.
  const std::string reply = text.substr(0, kReplyBufferSize - 1);
  (void)parse_reply(reply.c_str());
  return 0;
}
