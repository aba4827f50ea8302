// Fuzzes base64_decode (the advisor's token) and checks both directions
// against each other: decoding never produces more than 3 bytes per 4
// characters, re-encoding decoded bytes and decoding again gives the same
// bytes, and any bytes survive an encode/decode round trip.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "broker/base64.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  const char* text = reinterpret_cast<const char*>(data);

  std::size_t decoded_length = 0;
  const std::string decoded = base64_decode(text, size, &decoded_length);
  if (decoded_length != decoded.size()) std::abort();
  if (decoded.size() > (size / 4) * 3 + 2) std::abort();
  if (decoded.c_str()[decoded.size()] != '\0') std::abort();

  const std::string again = base64_encode(decoded.data(), decoded.size());
  if (base64_decode(again.data(), again.size()) != decoded) std::abort();

  const std::string encoded = base64_encode(data, size);
  if (encoded.size() != (size + 2) / 3 * 4) std::abort();
  std::size_t round_trip_length = 0;
  const std::string round_trip = base64_decode(encoded.data(), encoded.size(), &round_trip_length);
  if (round_trip_length != size || round_trip != std::string(text, size)) std::abort();
  return 0;
}
