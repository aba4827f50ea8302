// The packet reader keeps each half-read packet as explicit state in its
// record, so a feed can stop at any byte and the next feed resumes there.
// Part bytes are copied in runs rather than one by one; the observable steps
// (callbacks, states, results) are those of a byte-at-a-time reader.
#include "broker/messages/packet_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The end step of a packet: state 6 while on_end runs, then ready for the
// next type byte. Returns the on_end result.
int end_packet(packet_reader* reader, const packet_callbacks* callbacks) {
  reader->state = kReaderComplete;
  if (callbacks->on_end != nullptr && callbacks->on_end(reader) != 0) return 1;
  reader->state = kReaderType;
  return 0;
}

}  // namespace

int packet_reader_init(packet_reader* reader) {
  void* user = reader->user;
  reader->state = kReaderBegin;
  reader->type = 0;
  reader->parts_left = 0;
  reader->part_length = 0;
  reader->length_bytes[0] = 0;
  reader->length_bytes[1] = 0;
  reader->received = 0;
  reader->user = user;
  try {
    reader->part_buffer.assign(kPartBufferSize, 0);
  } catch (const std::bad_alloc&) {
    reader->part_buffer = {};
    return -1;
  }
  return 0;
}

void packet_reader_release(packet_reader* reader) {
  // swap with an empty vector so the memory really goes back
  std::vector<std::uint8_t>().swap(reader->part_buffer);
}

std::uint8_t packet_reader_type(const packet_reader* reader) { return reader->type; }

std::uint8_t packet_reader_count(const packet_reader* reader) { return reader->parts_left; }

std::size_t packet_reader_feed(packet_reader* reader, const packet_callbacks* callbacks,
                               const std::uint8_t* data, std::size_t count) {
  if (count == 0) return 0;
  // Without a part buffer no part could be stored: consume nothing.
  if (reader->part_buffer.size() < kPartBufferSize) return 0;
  if (reader->state == kReaderBegin) {
    if (callbacks->on_begin != nullptr && callbacks->on_begin(reader, callbacks, data) != 0) {
      return 0;
    }
    reader->state = kReaderType;
  }

  std::size_t i = 0;
  while (i < count) {
    const std::uint8_t byte = data[i];
    switch (reader->state) {
      case kReaderType:
        reader->type = byte;
        if (callbacks->on_type != nullptr && callbacks->on_type(reader) != 0) return i;
        reader->state = kReaderCount;
        ++i;
        break;
      case kReaderCount:
        reader->parts_left = byte;
        if (callbacks->on_count != nullptr && callbacks->on_count(reader) != 0) return i;
        reader->state = kReaderLengthHigh;
        ++i;
        break;
      case kReaderLengthHigh:
        reader->length_bytes[0] = byte;
        reader->state = kReaderLengthLow;
        ++i;
        break;
      case kReaderLengthLow:
        reader->length_bytes[1] = byte;
        reader->part_length = static_cast<std::uint16_t>((reader->length_bytes[0] << 8) | byte);
        if (reader->part_length == 0) {
          // An empty part ends the packet however many parts are left.
          if (end_packet(reader, callbacks) != 0) return i;
        } else {
          reader->state = kReaderPartBytes;
        }
        ++i;
        break;
      case kReaderPartBytes: {
        const std::size_t wanted = reader->part_length - reader->received;
        const std::size_t run = std::min(wanted, count - i);
        std::memcpy(reader->part_buffer.data() + reader->received, data + i, run);
        reader->received = static_cast<std::uint16_t>(reader->received + run);
        if (run < wanted) return count;  // the part goes on in the next feed
        const std::size_t last = i + run - 1;  // the byte that completes the part
        reader->parts_left = static_cast<std::uint8_t>(reader->parts_left - 1);
        if (callbacks->on_part != nullptr) {
          callbacks->on_part(reader, reader->part_buffer.data(), reader->part_length);
        }
        reader->received = 0;
        reader->part_length = 0;
        if (reader->parts_left != 0) {
          reader->state = kReaderLengthHigh;
        } else if (end_packet(reader, callbacks) != 0) {
          return last;
        }
        i = last + 1;
        break;
      }
      case kReaderComplete:
        // Only after an on_end that asked to stop: the byte that completed
        // the packet is fed again; it is consumed and on_end asked again.
        if (end_packet(reader, callbacks) != 0) return i;
        ++i;
        break;
      default:
        // kReaderBegin cannot occur here; treat an unknown state as a new packet.
        reader->state = kReaderType;
        break;
    }
  }
  return count;
}
