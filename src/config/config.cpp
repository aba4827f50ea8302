// Typed readers over the raw store access, and the number conversion that
// every numeric setting goes through. Each reader passes its own default;
// there is no table of defaults here (the key table only names them).
#include "config/config.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <new>

#include "log/log.h"

namespace {

constexpr const char* kLogModule = "config";
constexpr int kExitOutOfMemory = 1;

constexpr int kDecimalBase = 10;
// The device's C library converts with a 32-bit long: a larger positive
// text is clamped to this value, and it must read the same on every host.
constexpr long long kSigned32Max = std::numeric_limits<std::int32_t>::max();

}  // namespace

int str_to_uint32(const char* text, std::uint32_t* value) {
  if (text == nullptr || value == nullptr) return -1;
  errno = 0;
  long long number = std::strtoll(text, nullptr, kDecimalBase);
  if (number > 0) {
    *value = static_cast<std::uint32_t>(number > kSigned32Max ? kSigned32Max : number);
    return 0;
  }
  if (number == 0 && errno == 0) {
    *value = 0;
    return 0;
  }
  return -1;
}

int config_get_uint32(const char* key, std::uint32_t* value) {
  char buffer[kConfigNumberBufferSize];
  if (config_get(key, buffer, sizeof buffer) != 0) return -1;
  return str_to_uint32(buffer, value);
}

std::uint32_t config_get_uint32_default(const char* key, std::uint32_t default_value) {
  std::uint32_t value = 0;
  return config_get_uint32(key, &value) == 0 ? value : default_value;
}

std::optional<std::string> config_get_string(const char* key) {
  char buffer[kConfigStringBufferSize];
  if (config_get(key, buffer, sizeof buffer) != 0) return std::nullopt;
  try {
    return std::string(buffer);
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "malloc().\n");
    std::exit(kExitOutOfMemory);
  }
}
