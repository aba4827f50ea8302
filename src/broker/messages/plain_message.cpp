// Assembly of plain messages and the callback set of the broker thread. The
// record lives for the whole process and is touched by the broker thread only.
#include "broker/messages/plain_message.h"

#include <new>
#include <string>

#include "broker/messages/heartbeat_message.h"
#include "broker/messages/packet.h"
#include "delivery/message_sender.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "plain_message";

// The plain message being assembled. A one-part message has a handler id and
// no body: it is delivered with an empty payload.
struct plain_message {
  bool has_handler_id = false;
  std::string handler_id;
  std::string body;
  std::uint32_t part_index = 0;  // parts taken so far
};
plain_message current;

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

void plain_message_reset() {
  // Swapping with fresh strings gives the memory of an earlier message back.
  std::string().swap(current.handler_id);
  std::string().swap(current.body);
  current.has_handler_id = false;
  current.part_index = 0;
}

void plain_message_add_part(const std::uint8_t* part, std::uint16_t length) {
  const char* text = reinterpret_cast<const char*>(part);
  try {
    if (current.part_index == 0) {
      current.handler_id.assign(text, length);
      current.has_handler_id = true;
    } else if (current.part_index == 1) {
      current.body.assign(text, length);
    } else {
      current.body.append(text, length);
    }
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "malloc().\n");
    return;  // the part is dropped and the index stays
  }
  ++current.part_index;
}

void plain_message_deliver() {
  if (!current.has_handler_id) {
    ZLOG(kLogError, "received message from zelbroker without handler id\n");
    return;
  }
  // The queue takes both buffers; the record is left empty.
  send_message_to_queue(std::move(current.handler_id), std::move(current.body));
  plain_message_reset();
}
