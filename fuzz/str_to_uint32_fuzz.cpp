// str_to_uint32, the reader of every number in the store, against its rule
// written out independently: blanks, a sign, then digits; a positive number
// is clamped to 2147483647, no digits read as 0, a negative one is refused.
#include <cctype>

#include "config/config.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t*, std::size_t, const std::string& text) {
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  std::uint64_t want = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)) != 0; ++p) {
    want = std::min<std::uint64_t>(want * 10 + static_cast<std::uint64_t>(*p - '0'), 2147483648u);
  }
  const bool refused = negative && want != 0;
  std::uint32_t value = 0xA5A5A5A5u;
  if (str_to_uint32(text.c_str(), &value) != (refused ? -1 : 0)) std::abort();
  if (value != (refused ? 0xA5A5A5A5u : std::min<std::uint64_t>(want, 2147483647u))) std::abort();
}
