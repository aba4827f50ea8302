// Both readers of the control protocol: the agent's request parser gives an
// accepted request the payload of its kind and keeps none from a refused
// one; the control tool reads at most 255 bytes of a reply line.
#include <variant>

#include "cloud/json_helper.h"
#include "control/control_protocol.h"
#include "control_listener/control_listener.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t*, std::size_t, const std::string& text) {
  control_request request;
  const bool accepted = parse_control_request(text.c_str(), request) == 0;
  const auto* service = std::get_if<service_request>(&request.payload);
  bool sound = std::holds_alternative<std::monostate>(request.payload);
  switch (accepted ? request.type : kControlRequestNone) {
    case kControlSendDiscovery: sound = std::holds_alternative<discovery_request>(request.payload); break;
    case kControlOnClaim:
    case kControlOnRelease:
    case kControlOnMoravault: sound = service != nullptr && (service->value == 0 || service->value == 1); break;
    case kControlResumeConnections: sound = sound || std::holds_alternative<std::string>(request.payload); break;
  }
  free_control_request(request);
  if (!sound || !std::holds_alternative<std::monostate>(request.payload)) std::abort();
  (void)parse_reply(text.substr(0, kReplyBufferSize - 1).c_str());
}
