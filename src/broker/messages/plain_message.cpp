// Assembly of plain messages and the callback set of the broker thread. The
// record lives for the whole process and is touched by the broker thread only.
#include "broker/messages/plain_message.h"

#include <algorithm>
#include <new>
#include <string>

#include "broker/messages/heartbeat_message.h"
#include "broker/messages/packet.h"
#include "delivery/message_sender.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "plain_message";
constexpr std::size_t kSmallBodyBytes = 256 * 1024;

// The plain message being assembled. A one-part message has a handler id and
// no body: it is delivered with an empty payload.
struct plain_message {
  bool has_handler_id = false;
  std::string handler_id;
  std::string body;
  std::uint32_t part_index = 0;  // parts taken so far
  // Set once a part would have taken the message past the queue's limit:
  // nothing more is kept, and `discarded_bytes` counts handler id and body.
  bool discarding = false;
  std::uint64_t discarded_bytes = 0;
};
plain_message current;

void report_discarded() {
  ZLOG(kLogError,
       "Plain message for handler '%s' of %llu bytes is larger than the queue's limit of %llu bytes: discarded.\n",
       log_escape(current.handler_id).c_str(), static_cast<unsigned long long>(current.discarded_bytes),
       static_cast<unsigned long long>(kPlainMessageMaxBytes));
}

// Appends to the body. A small body grows by doubling; one that outgrows
// kSmallBodyBytes moves once into room for the largest body the queue can
// take. That room costs address space only: its pages become resident as
// the parts are written. So a large message is never copied again, never
// holds twice its size, and the memory freed after one is reused by the next.
void append_body(const char* text, std::uint16_t length) {
  const std::size_t needed = current.body.size() + length;
  if (needed > current.body.capacity()) {
    const std::size_t most = static_cast<std::size_t>(kPlainMessageMaxBytes - kQueuedMessageOverhead -
                                                      current.handler_id.size());
    const std::size_t doubled = std::max(needed, current.body.capacity() * 2);
    // A fresh string takes the capacity asked for; reserve on a full one
    // would double it past the limit.
    std::string bigger;
    bigger.reserve(doubled <= kSmallBodyBytes ? doubled : most);
    bigger.append(current.body);
    current.body.swap(bigger);
  }
  current.body.append(text, length);
}

int on_type(packet_reader* reader) {
  if (packet_reader_type(reader) == PACKET_PLAIN_MESSAGE) plain_message_reset();
  return 0;
}

int on_end(packet_reader* reader) {
  if (packet_reader_type(reader) == PACKET_PLAIN_MESSAGE) plain_message_deliver();
  return 0;
}

const packet_callbacks kBrokerCallbacks{nullptr, on_type, nullptr, dispatch_part, on_end};

}  // namespace

const packet_callbacks* broker_packet_callbacks() { return &kBrokerCallbacks; }

int dispatch_part(packet_reader* reader, const std::uint8_t* part, std::uint16_t length) {
  switch (packet_reader_type(reader)) {
    case PACKET_HEARTBEAT_RESPONSE:
      handle_heartbeat_response(part, length);
      break;
    case PACKET_PLAIN_MESSAGE:
      plain_message_add_part(part, length);
      break;
    default:
      break;
  }
  return 0;
}

bool plain_message_fits(std::uint64_t handler_id_length, std::uint64_t body_length) {
  return handler_id_length + body_length + kQueuedMessageOverhead <= kPlainMessageMaxBytes;
}

std::size_t plain_message_held_bytes() {
  return current.handler_id.capacity() + current.body.capacity();
}

void plain_message_reset() {
  // A discarded message cut short (by a dropped link) is reported all the same.
  if (current.discarding) report_discarded();
  current.discarding = false;
  current.discarded_bytes = 0;
  // Swapping with fresh strings gives the memory of an earlier message back.
  std::string().swap(current.handler_id);
  std::string().swap(current.body);
  current.has_handler_id = false;
  current.part_index = 0;
}

void plain_message_add_part(const std::uint8_t* part, std::uint16_t length) {
  const char* text = reinterpret_cast<const char*>(part);
  if (current.discarding) {
    current.discarded_bytes += length;
    ++current.part_index;
    return;
  }
  // The handler id alone cannot break the limit (at most 65,535 bytes); each
  // body part is checked before a byte of it is kept.
  if (current.part_index != 0 && !plain_message_fits(current.handler_id.size(),
                                                      std::uint64_t{current.body.size()} + length)) {
    current.discarding = true;
    current.discarded_bytes = current.handler_id.size() + std::uint64_t{current.body.size()} + length +
                              kQueuedMessageOverhead;
    std::string().swap(current.body);
    ++current.part_index;
    return;
  }
  try {
    if (current.part_index == 0) {
      current.handler_id.assign(text, length);
      current.has_handler_id = true;
    } else if (current.part_index == 1) {
      current.body.assign(text, length);
    } else {
      append_body(text, length);
    }
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "malloc().\n");
    return;  // the part is dropped and the index stays
  }
  ++current.part_index;
}

void plain_message_deliver() {
  if (current.discarding) {
    plain_message_reset();  // reports it
    return;
  }
  if (!current.has_handler_id) {
    ZLOG(kLogError, "received message from zelbroker without handler id\n");
    return;
  }
  // The queue takes both buffers; the record is left empty.
  send_message_to_queue(std::move(current.handler_id), std::move(current.body));
  plain_message_reset();
}
