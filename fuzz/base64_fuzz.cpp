// base64 (the advisor's token): decoding never yields more than 3 bytes per
// 4 characters and agrees with its own length, and any bytes survive an
// encode and decode round trip.
#include "broker/base64.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t* data, std::size_t size, const std::string& text) {
  std::size_t length = 0;
  const std::string decoded = base64_decode(text.data(), size, &length);
  if (length != decoded.size() || decoded.size() > size / 4 * 3 + 2) std::abort();
  const std::string encoded = base64_encode(data, size);
  if (encoded.size() != (size + 2) / 3 * 4 || base64_decode(encoded.data(), encoded.size()) != text)
    std::abort();
}
