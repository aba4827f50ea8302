// Fuzzes the handler description lines read from the store: the split into
// endpoints and the classification of each (host:port, program, UNIX socket)
// with its port parsing. Nothing is delivered: the classifier only looks at
// the file system. The line is cut to the store's line buffer, as
// deliver_message reads it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/config_keys.h"
#include "delivery/message_sender.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  std::string stored(reinterpret_cast<const char*>(data), size);
  // The store holds NUL-terminated text of at most the buffer size less one.
  stored = stored.substr(0, stored.find('\0'));
  if (stored.size() >= kConfigHandlerBufferSize) stored.resize(kConfigHandlerBufferSize - 1);
  const std::string_view line = stored;

  const std::int32_t count = handler_endpoint_count(line);
  if (count < 1 || static_cast<std::size_t>(count) > line.size() + 1) std::abort();
  std::size_t covered = 0;
  for (std::int32_t index = 0; index < count; ++index) {
    const std::string_view text = handler_endpoint_text(line, index);
    if (text.find(',') != std::string_view::npos) std::abort();
    covered += text.size();
    handler_endpoint endpoint;
    if (!resolve_endpoint(text, &endpoint)) continue;
    if (endpoint.address.size() > kEndpointAddressMax) std::abort();
    switch (endpoint.kind) {
      case kEndpointTcp:
        if (endpoint.port == 0 || endpoint.address.find(':') != std::string::npos) std::abort();
        break;
      case kEndpointProgram:
      case kEndpointUnixSocket:
        if (endpoint.port != 0 || endpoint.address != text) std::abort();
        if (endpoint.kind == kEndpointUnixSocket && endpoint.address.size() > kUnixSocketPathMax) {
          std::abort();
        }
        break;
      default:
        std::abort();
    }
  }
  // The endpoints and their commas make up the whole line.
  if (covered + static_cast<std::size_t>(count - 1) != line.size()) std::abort();
  if (!handler_endpoint_text(line, count).empty()) std::abort();
  (void)handler_key(line);
  return 0;
}
