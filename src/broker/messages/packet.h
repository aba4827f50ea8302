// Packet types and the writing side of the zelbroker framing (the reading
// side is packet_reader.h):
//
//   byte 0      type
//   byte 1      part count (0 stands for 256)
//   then, per part: 2-byte big-endian length L, then L bytes
//
// There is no magic, version, checksum or total length; text inside parts
// carries no terminating NUL. encode_packet is shared by the agent's senders,
// the simulator's zelbroker (tools/broker_server.cpp) and the benchmarks.
//
// Threading: pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

enum packet_type : std::uint8_t {
  PACKET_HELLO_AGENT_ID = 0,       // agent -> zelbroker: the agent id text
  PACKET_HELLO_TOKEN = 1,          // agent -> zelbroker: the decoded advisor token
  PACKET_PLAIN_MESSAGE = 2,        // zelbroker -> agent: handler id, then body parts
  PACKET_BROKER_KEEPALIVE = 10,    // agent -> zelbroker: three 32-bit values
  PACKET_HEARTBEAT = 11,           // agent -> zelbroker: sequence number, send time
  PACKET_HEARTBEAT_RESPONSE = 12,  // zelbroker -> agent: answered number, 8 unread bytes
};

constexpr std::size_t kPacketHeaderSize = 2;      // type and part count
constexpr std::size_t kPartLengthSize = 2;        // big-endian 16-bit length
constexpr std::size_t kMaxPacketParts = 256;      // a count byte of 0
constexpr std::size_t kMaxPacketPartLength = 65535;

// Frames `parts` as one packet of `type`. Returns the bytes, or an empty
// vector when there are no parts, more than 256, or a part longer than 65,535
// bytes (none of which the framing can express).
std::vector<std::uint8_t> encode_packet(std::uint8_t type,
                                        std::span<const std::span<const std::uint8_t>> parts);

// One-part shorthand; empty result for a part longer than 65,535 bytes.
std::vector<std::uint8_t> encode_packet(std::uint8_t type, std::span<const std::uint8_t> part);

// Big-endian helpers used by the packet builders and readers.
void put_be16(std::uint8_t* out, std::uint16_t value);
void put_be32(std::uint8_t* out, std::uint32_t value);
void put_be64(std::uint8_t* out, std::uint64_t value);
std::uint64_t get_be64(const std::uint8_t* in);
