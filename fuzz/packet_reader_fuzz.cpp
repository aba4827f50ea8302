// Fuzzes the zelbroker packet reader with the broker thread's own callback
// set, the bytes cut into pieces at random points as a TCP or TLS read would
// cut them. A recording callback set checks on the side that the cut points
// change nothing: the same bytes fed whole or in pieces give the same
// sequence of packets and parts.
//
// Input: 4 bytes seeding the cut points, then the byte stream of the link.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "broker/messages/packet_reader.h"
#include "broker/messages/plain_message.h"
#include "fuzz/fuzz_support.h"

namespace {

// Everything the reader reported, in order, as text: "T<type>", "N<count>",
// "P<length>:<bytes>", "E".
struct recording {
  std::string events;
};

int record_type(packet_reader* reader) {
  auto* out = static_cast<recording*>(reader->user);
  out->events += 'T';
  out->events += std::to_string(packet_reader_type(reader));
  return 0;
}

int record_count(packet_reader* reader) {
  auto* out = static_cast<recording*>(reader->user);
  out->events += 'N';
  out->events += std::to_string(packet_reader_count(reader));
  return 0;
}

int record_part(packet_reader* reader, const std::uint8_t* part, std::uint16_t length) {
  auto* out = static_cast<recording*>(reader->user);
  out->events += 'P';
  out->events += std::to_string(length);
  out->events += ':';
  out->events.append(reinterpret_cast<const char*>(part), length);
  return 0;
}

int record_end(packet_reader* reader) {
  static_cast<recording*>(reader->user)->events += 'E';
  return 0;
}

const packet_callbacks kRecordingCallbacks{nullptr, record_type, record_count, record_part,
                                           record_end};

// Feeds `data` in pieces chosen by `seed`; every piece must be taken whole,
// since none of the callbacks used here ever asks to stop.
void feed_in_pieces(packet_reader* reader, const packet_callbacks* callbacks,
                    const std::uint8_t* data, std::size_t size, std::uint32_t seed) {
  zelfuzz::SplitGenerator cuts(seed);
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t piece = cuts.next_length(size - offset);
    if (packet_reader_feed(reader, callbacks, data + offset, piece) != piece) std::abort();
    offset += piece;
  }
}

std::string record(const std::uint8_t* data, std::size_t size, const std::uint32_t* seed) {
  recording out;
  packet_reader reader;
  reader.user = &out;
  if (packet_reader_init(&reader) != 0) std::abort();
  if (seed == nullptr) {
    if (packet_reader_feed(&reader, &kRecordingCallbacks, data, size) != size) std::abort();
  } else {
    feed_in_pieces(&reader, &kRecordingCallbacks, data, size, *seed);
  }
  packet_reader_release(&reader);
  return out.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  std::uint32_t seed = 0;
  if (!zelfuzz::take_split_seed(data, size, seed)) return 0;

  // The broker thread's reader: plain messages are assembled and handed to
  // the message queue (refused here, as no sender runs), heartbeat responses
  // recorded, other types skipped.
  packet_reader reader;
  if (packet_reader_init(&reader) != 0) std::abort();
  feed_in_pieces(&reader, broker_packet_callbacks(), data, size, seed);
  packet_reader_release(&reader);
  plain_message_reset();

  if (record(data, size, nullptr) != record(data, size, &seed)) std::abort();
  return 0;
}
