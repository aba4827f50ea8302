// Plain messages from the zelbroker and the callback set with which the
// broker thread reads its link.
//
// A plain message (type 2) has a handler id as its first part and the body
// as the concatenation of all further parts:
//
//   02 n | L1 handler id | L2 body part | L3 body part | ...
//
// The message is assembled in one process-wide record: reset when a type-2
// packet begins, filled part by part, and handed to the message queue
// (send_message_to_queue, which takes both buffers) when the packet ends. A
// message cut short by a dropped link is discarded by the next type-2 reset.
//
// The assembly is bounded by what the queue could take at all: a message
// costs its body, its handler id and kQueuedMessageOverhead bytes against
// kPlainMessageMaxBytes. Each part is checked before it is kept; a message
// that can no longer fit is discarded part by part (the bytes of its later
// parts are counted, not kept) and reported once, with its size, when it
// ends (or when a dropped link cuts it short). The stream stays in step: the packet after it is read normally.
// Heartbeat responses (type 12) go to handle_heartbeat_response; every other
// type is read by the framing rules and ignored.
//
// Threading: the record and the callbacks belong to the broker thread alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "broker/messages/packet_reader.h"
#include "delivery/message_sender.h"

// The message queue's byte limit and the bytes it adds to each message's body
// and handler id (local delivery's own values; a message the queue would
// refuse is not worth assembling).
inline constexpr std::uint64_t kPlainMessageMaxBytes = kQueueMaxBytes;
inline constexpr std::uint64_t kQueuedMessageOverhead = kQueuedMessageBytes + kQueueNodeBytes;

// True when a message with a handler id of `handler_id_length` bytes and a
// body of `body_length` bytes is within the queue's limit.
bool plain_message_fits(std::uint64_t handler_id_length, std::uint64_t body_length);

// The broker thread's callback set: on_type resets the record for type 2,
// on_part is dispatch_part, on_end delivers a type-2 message. It never asks
// the reader to stop. The set lives for the whole process.
const packet_callbacks* broker_packet_callbacks();

// on_part of the broker set: type 12 to handle_heartbeat_response, type 2 to
// the plain message part step, others ignored. Returns 0.
int dispatch_part(packet_reader* reader, const std::uint8_t* part, std::uint16_t length);

// The single steps, for the callbacks and the tests:
// frees what an earlier message left and zeroes the record;
void plain_message_reset();
// index 0: handler id (copied, NUL appended); index 1: body; later: appended
// to the body. A part that would take the message past the limit discards
// it: the kept bytes are freed and this and later parts only counted. A
// failed allocation drops the part and keeps the index;
void plain_message_add_part(const std::uint8_t* part, std::uint16_t length);
// hands handler id, body (null for a one-part message) and body length to the
// queue, which takes both; without a handler id logs an ERROR and delivers
// nothing; a discarded message logs ERROR "Plain message for handler '%s' of
// %llu bytes is larger than the queue's limit of %llu bytes: discarded.\n"
// (the bytes the queue would have accounted: body, handler id and
// kQueuedMessageOverhead) instead.
void plain_message_deliver();
// Bytes the record holds now (handler id and body capacity), for tests.
std::size_t plain_message_held_bytes();
