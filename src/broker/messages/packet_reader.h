// The incremental packet reader of the zelbroker link: it cuts a received
// byte stream into packets and reports each step through a callback set.
// It is pure: bytes in, callbacks out; no socket, no logging, no global state.
//
//   +------+-------+---------+----------+---------+----------+-----
//   | type | count | L1 (BE) | part 1   | L2 (BE) | part 2   | ...
//   | 1 B  | 1 B   | 2 B     | L1 bytes | 2 B     | L2 bytes |
//   +------+-------+---------+----------+---------+----------+-----
//
// A packet ends after its last part; a count byte of 0 means 256 parts, and a
// part length of 0 ends the packet at once however many parts are left.
// Packets may be split across feeds at any byte and several may arrive in
// one feed: the reader record carries all state between calls.
//
// Usage:
//
//   packet_reader reader;
//   reader.user = &my_state;
//   if (packet_reader_init(&reader) != 0) { ... no part buffer ... }
//   packet_callbacks callbacks{};
//   callbacks.on_part = my_part_handler;
//   packet_reader_feed(&reader, &callbacks, bytes, count);
//   ...
//   packet_reader_release(&reader);
//
// Threading: a reader belongs to one thread at a time; the functions keep no
// shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reader states, in the order a packet passes them.
enum packet_reader_state : std::uint8_t {
  kReaderBegin = 0,        // before the first byte after packet_reader_init
  kReaderType = 1,         // expecting the type byte
  kReaderCount = 2,        // expecting the part-count byte
  kReaderLengthHigh = 3,   // expecting the high byte of a part length
  kReaderLengthLow = 4,    // expecting the low byte of a part length
  kReaderPartBytes = 5,    // reading the bytes of a part
  kReaderComplete = 6,     // a packet ended and on_end asked to stop
};

// The largest part the framing can carry; the part buffer holds one more byte
// than that so that its size is a round 64 KiB.
constexpr std::size_t kMaxPartLength = 65535;
constexpr std::size_t kPartBufferSize = 65536;

struct packet_reader {
  std::uint8_t state = kReaderBegin;
  void* user = nullptr;  // opaque; kept by packet_reader_init
  std::uint8_t type = 0;
  std::uint8_t parts_left = 0;   // from the count byte, decremented per part (mod 256)
  std::uint16_t part_length = 0; // host order
  std::uint8_t length_bytes[2] = {0, 0};  // as received (network order)
  std::vector<std::uint8_t> part_buffer;  // kPartBufferSize bytes once initialised
  std::uint16_t received = 0;    // bytes of the current part taken so far
};

struct packet_callbacks;

// Each callback may be null. A non-zero result from on_begin, on_type,
// on_count or on_end stops the feed (see packet_reader_feed); the result of
// on_part is not used. `part` stays valid only during the call.
struct packet_callbacks {
  int (*on_begin)(packet_reader* reader, const packet_callbacks* callbacks,
                  const std::uint8_t* data) = nullptr;
  int (*on_type)(packet_reader* reader) = nullptr;
  int (*on_count)(packet_reader* reader) = nullptr;
  int (*on_part)(packet_reader* reader, const std::uint8_t* part, std::uint16_t length) = nullptr;
  int (*on_end)(packet_reader* reader) = nullptr;
};

// Zeroes every field but `user`, sets state 0 and allocates the part buffer.
// Returns 0, or -1 when the buffer cannot be allocated (the reader then has
// none and packet_reader_feed consumes nothing).
int packet_reader_init(packet_reader* reader);

// Feeds `count` bytes. Returns the number of bytes consumed: `count` unless a
// callback asked to stop, in which case the bytes before the one being
// handled (that byte is taken into the record; feeding it again repeats the
// callback). 0 for a count of 0, for a stop in on_begin, and for a reader
// without a part buffer.
std::size_t packet_reader_feed(packet_reader* reader, const packet_callbacks* callbacks,
                               const std::uint8_t* data, std::size_t count);

// Frees the part buffer; a second call does nothing.
void packet_reader_release(packet_reader* reader);

// The type and the parts-left count of the packet being read.
std::uint8_t packet_reader_type(const packet_reader* reader);
std::uint8_t packet_reader_count(const packet_reader* reader);
