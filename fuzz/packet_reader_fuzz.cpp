// The zelbroker packet reader fed a stream (after 4 bytes seeding the cut
// points) in pieces, as TCP or TLS reads cut it: the broker thread's callbacks
// take anything, and the packets seen do not depend on the cuts.
#include "broker/messages/packet_reader.h"
#include "broker/messages/plain_message.h"
#include "fuzz_support.h"

namespace {

std::string& record(packet_reader* reader) { return *static_cast<std::string*>(reader->user); }

// Everything the reader reports, in order, as text.
const packet_callbacks kRecording{
    nullptr,
    [](packet_reader* r) { record(r) += "T" + std::to_string(packet_reader_type(r)); return 0; },
    [](packet_reader* r) { record(r) += "N" + std::to_string(packet_reader_count(r)); return 0; },
    [](packet_reader* r, const std::uint8_t* part, std::uint16_t length) {
      record(r) += "P" + std::to_string(length) + ":" + std::string(reinterpret_cast<const char*>(part), length);
      return 0;
    },
    [](packet_reader* r) { record(r) += "E"; return 0; }};

// Feeds the bytes whole (null `cuts`) or in pieces; as none of the callbacks
// used here asks to stop, every piece must be taken whole.
std::string feed(const packet_callbacks* callbacks, const std::uint8_t* data, std::size_t size,
                 std::uint32_t* cuts) {
  std::string events;
  packet_reader reader;
  reader.user = &events;
  if (packet_reader_init(&reader) != 0) std::abort();
  for (std::size_t at = 0, piece = 0; at < size; at += piece) {
    piece = cuts != nullptr ? zelfuzz::next_piece(*cuts, size - at) : size;
    if (packet_reader_feed(&reader, callbacks, data + at, piece) != piece) std::abort();
  }
  packet_reader_release(&reader);
  return events;
}

}  // namespace

static void fuzz_input(const std::uint8_t* data, std::size_t size, const std::string&) {
  std::uint32_t cuts = 0;
  if (!zelfuzz::take_cuts(data, size, &cuts)) return;
  std::uint32_t same_cuts = cuts;
  // The broker thread's reader hands plain messages to the queue (refused
  // here: no sender runs), records heartbeat responses and skips the rest.
  feed(broker_packet_callbacks(), data, size, &cuts);
  plain_message_reset();
  if (feed(&kRecording, data, size, nullptr) != feed(&kRecording, data, size, &same_cuts)) std::abort();
}
