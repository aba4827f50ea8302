// Framing of outgoing packets and the byte-order helpers of the link.
#include "broker/messages/packet.h"

#include <algorithm>

namespace {

constexpr unsigned kBitsPerByte = 8;

}  // namespace

void put_be16(std::uint8_t* out, std::uint16_t value) {
  out[0] = static_cast<std::uint8_t>(value >> kBitsPerByte);
  out[1] = static_cast<std::uint8_t>(value);
}

void put_be32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 3; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value);
    value >>= kBitsPerByte;
  }
}

void put_be64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value);
    value >>= kBitsPerByte;
  }
}

std::uint64_t get_be64(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << kBitsPerByte) | in[i];
  return value;
}

std::vector<std::uint8_t> encode_packet(std::uint8_t type,
                                        std::span<const std::span<const std::uint8_t>> parts) {
  if (parts.empty() || parts.size() > kMaxPacketParts) return {};
  std::size_t total = kPacketHeaderSize;
  for (const auto& part : parts) {
    if (part.size() > kMaxPacketPartLength) return {};
    total += kPartLengthSize + part.size();
  }
  std::vector<std::uint8_t> packet(total);
  packet[0] = type;
  // 256 parts wrap to a count byte of 0, which the reader takes as 256.
  packet[1] = static_cast<std::uint8_t>(parts.size());
  std::size_t at = kPacketHeaderSize;
  for (const auto& part : parts) {
    put_be16(&packet[at], static_cast<std::uint16_t>(part.size()));
    at += kPartLengthSize;
    if (!part.empty()) {
      std::copy(part.begin(), part.end(), packet.begin() + static_cast<std::ptrdiff_t>(at));
    }
    at += part.size();
  }
  return packet;
}

std::vector<std::uint8_t> encode_packet(std::uint8_t type, std::span<const std::uint8_t> part) {
  const std::span<const std::uint8_t> parts[] = {part};
  return encode_packet(type, parts);
}
