// Fuzzes str_to_uint32, the reader of every number in the store, against its
// rule written out independently: an optional blank run and sign, then
// decimal digits; a positive number is taken (clamped to 2147483647, as the
// 32-bit target's strtol clamps it), text without digits reads as 0, a
// negative number is refused.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/config.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::uint32_t kSigned32Max = 2147483647;
constexpr std::uint32_t kUntouched = 0xA5A5A5A5;

// The expected result: -1 for refused, otherwise the value.
std::int64_t expected(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (std::isdigit(static_cast<unsigned char>(*p)) == 0) return 0;  // no digits: 0
  std::uint64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)) != 0; ++p) {
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    if (value > kSigned32Max) value = std::uint64_t{kSigned32Max} + 1;  // saturate
  }
  if (negative && value != 0) return -1;
  return value > kSigned32Max ? kSigned32Max : static_cast<std::int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint32_t value = kUntouched;
  const int rc = str_to_uint32(text.c_str(), &value);
  const std::int64_t want = expected(text.c_str());
  if (want < 0) {
    if (rc != -1 || value != kUntouched) std::abort();
  } else if (rc != 0 || value != static_cast<std::uint32_t>(want)) {
    std::abort();
  }
  return 0;
}
