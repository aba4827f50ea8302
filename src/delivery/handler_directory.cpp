// The handler directory: handler keys, the endpoints of a description line
// and what kind of endpoint a text names.
#include "delivery/handler_directory.h"

#include <sys/stat.h>

#include <cstdlib>

#include "config/config.h"
#include "config/config_keys.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "message_sender";
constexpr mode_t kOwnerExecuteBit = 0100;
}  // namespace

std::string handler_key(std::string_view handler_name) {
  std::string key(kKeyHandlerPrefix);
  key.append(handler_name.substr(0, kHandlerNameKeyChars));
  return key;
}

std::int32_t handler_endpoint_count(std::string_view line) {
  std::int32_t count = 1;
  for (char c : line) {
    if (c == ',') ++count;
  }
  return count;
}

std::string_view handler_endpoint_text(std::string_view line, std::int32_t index) {
  if (index < 0) return {};
  std::size_t start = 0;
  for (std::int32_t i = 0; i < index; ++i) {
    const std::size_t comma = line.find(',', start);
    if (comma == std::string_view::npos) return {};
    start = comma + 1;
  }
  const std::size_t end = line.find(',', start);
  return line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

bool resolve_endpoint(std::string_view text, handler_endpoint* endpoint) {
  const std::string whole(text);
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    const std::string port_text(text.substr(colon + 1, kPortTextChars));
    char* end = nullptr;
    const long port = std::strtol(port_text.c_str(), &end, 10);
    if (end == port_text.c_str()) {
      ZLOG(kLogError, "Incorrect port in configuration for handler line: '%s'.\n",
           log_escape(port_text).c_str());
      return false;
    }
    // A negative port is refused like 0, never mapped into range.
    if (port <= 0 || port > kPortMax) {
      ZLOG(kLogError, "Incorrect port value in configuration: '%ld'.\n", port);
      return false;
    }
    if (colon > kEndpointAddressMax) {
      ZLOG(kLogError, "Handler endpoint '%s' refused: host longer than %zu characters.\n",
           log_escape(whole).c_str(), kEndpointAddressMax);
      return false;
    }
    endpoint->kind = kEndpointTcp;
    endpoint->address.assign(text.substr(0, colon));
    endpoint->port = static_cast<std::uint16_t>(port);
    return true;
  }
  if (text.size() > kEndpointAddressMax) {
    ZLOG(kLogError, "Handler endpoint '%s' refused: path longer than %zu characters.\n",
         log_escape(whole).c_str(), kEndpointAddressMax);
    return false;
  }
  endpoint->address = whole;
  endpoint->port = 0;
  struct stat info {};
  if (::stat(whole.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    // Started all the same: the exec reports whether it can run.
    if ((info.st_mode & kOwnerExecuteBit) == 0) {
      ZLOG(kLogWarning, "handler %s pointing to file, but executable bit is not set.\n",
           log_escape(whole).c_str());
    }
    endpoint->kind = kEndpointProgram;
    return true;
  }
  if (text.size() > kUnixSocketPathMax) {
    ZLOG(kLogError,
         "Handler endpoint '%s' refused: unix socket path longer than %zu characters.\n",
         log_escape(whole).c_str(), kUnixSocketPathMax);
    return false;
  }
  endpoint->kind = kEndpointUnixSocket;
  return true;
}

bool handler_fans_out(std::string_view handler_name) { return handler_name == kEventSinkHandler; }

bool read_handler_line(const std::string& key, std::string* line) {
  ZLOG(kLogDebug, "handler_desc='%s'\n", log_escape(key).c_str());
  char text[kConfigHandlerBufferSize] = {};
  if (config_get(key.c_str(), text, sizeof text) != 0) return false;
  if (text[0] == '\0') {
    ZLOG(kLogDebug, "host_address is empty.\n");
    return false;
  }
  ZLOG(kLogDebug, "host_address='%s'\n", log_escape(text).c_str());
  line->assign(text);
  return true;
}

EndpointLookup find_endpoint(const std::string& key, std::int32_t index, handler_endpoint* endpoint) {
  std::string line;
  if (!read_handler_line(key, &line)) return EndpointLookup::kNoLine;
  endpoint->count = handler_endpoint_count(line);
  if (index >= endpoint->count) {
    ZLOG(kLogWarning, "requested %d handler, but we can find only %d.\n", static_cast<int>(index),
         static_cast<int>(endpoint->count));
    return EndpointLookup::kBeyond;
  }
  return resolve_endpoint(handler_endpoint_text(line, index), endpoint) ? EndpointLookup::kFound
                                                                         : EndpointLookup::kRefused;
}

void warn_if_several_endpoints(std::string_view handler_name, std::int32_t count) {
  if (count < 2) return;
  ZLOG(kLogWarning, "handler for %s has multiple endpoints (%d). Only event_sink support this.\n",
       log_escape(handler_name).c_str(), static_cast<int>(count));
}
