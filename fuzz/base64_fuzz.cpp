// base64 (the advisor's token): decoding never yields more than 3 bytes per
// 4 characters and agrees with its own length, and any bytes survive an
// encode and decode round trip.
#include "broker/base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t length = 0;
  const std::string decoded = base64_decode(input.data(), size, &length);
  if (length != decoded.size() || decoded.size() > size / 4 * 3 + 2) std::abort();
  const std::string encoded = base64_encode(data, size);
  if (encoded.size() != (size + 2) / 3 * 4 || base64_decode(encoded.data(), encoded.size()) != input)
    std::abort();
  return 0;
}
