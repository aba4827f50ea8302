// Handler lines as read from the store: the endpoints and their commas make
// up the whole line, and each endpoint is classified (host:port, program,
// UNIX socket) within its field limits. Nothing is delivered.
#include <string_view>

#include "config/config_keys.h"
#include "delivery/message_sender.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t*, std::size_t, const std::string& text) {
  const std::string stored = text.substr(0, std::min(text.find('\0'), kConfigHandlerBufferSize - 1));
  const std::string_view line = stored;
  const std::int32_t count = handler_endpoint_count(line);
  std::size_t covered = static_cast<std::size_t>(count) - 1;
  for (std::int32_t index = 0; index < count; ++index) {
    const std::string_view text = handler_endpoint_text(line, index);
    covered += text.size();
    handler_endpoint endpoint;
    if (text.find(',') != std::string_view::npos) std::abort();
    if (!resolve_endpoint(text, &endpoint)) continue;
    const bool tcp = endpoint.kind == kEndpointTcp && endpoint.port != 0;
    const bool path = (endpoint.kind == kEndpointProgram || endpoint.kind == kEndpointUnixSocket) &&
                      endpoint.port == 0 && endpoint.address == text;
    if ((!tcp && !path) || endpoint.address.size() > kEndpointAddressMax) std::abort();
    if (endpoint.kind == kEndpointUnixSocket && endpoint.address.size() > kUnixSocketPathMax) std::abort();
  }
  if (count < 1 || covered != line.size() || !handler_endpoint_text(line, count).empty()) std::abort();
}
