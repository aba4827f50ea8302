// Heartbeats and their answers. The numbers are the only state shared with
// another thread (the heartbeat timer reads them), hence the atomics.
#include "broker/messages/heartbeat_message.h"

#include <atomic>
#include <ctime>

#include "broker/messages/packet.h"
#include "broker/net_helper.h"
#include "broker/ssl_routine.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "heartbeat_message";

constexpr std::size_t kSequenceOffset = 4;   // in the heartbeat packet
constexpr std::size_t kTimeOffset = 12;

// Last sent and last answered sequence numbers; 0 at process start and never
// reset. Written by the broker thread, read by the heartbeat timer's thread.
std::atomic<std::uint64_t> last_sent{0};
std::atomic<std::uint64_t> last_answered{0};
}  // namespace

std::vector<std::uint8_t> build_heartbeat_packet(std::uint64_t sequence, std::int64_t now) {
  std::vector<std::uint8_t> packet(kHeartbeatPacketSize);
  packet[0] = PACKET_HEARTBEAT;
  packet[1] = 1;
  put_be16(&packet[2], static_cast<std::uint16_t>(kHeartbeatPayloadSize));
  put_be64(&packet[kSequenceOffset], sequence);
  put_be64(&packet[kTimeOffset], static_cast<std::uint64_t>(now));
  return packet;
}

int send_heartbeat(connection* conn) {
  // The number is taken before anything else, even for a null connection.
  const std::uint64_t sequence = last_sent.fetch_add(1) + 1;
  const std::vector<std::uint8_t> packet =
      build_heartbeat_packet(sequence, static_cast<std::int64_t>(std::time(nullptr)));
  if (conn == nullptr) return -1;
  const int written =
      connection_write_before(conn, packet.data(), packet.size(), broker_step_deadline(), "heartbeat");
  ZLOG(kLogDebug, "heartbeat with seq number %llu was sent.\n",
       static_cast<unsigned long long>(sequence));
  return written;
}

int handle_heartbeat_response(const std::uint8_t* part, std::size_t length) {
  if (length != kHeartbeatResponseSize) {
    // One message stands for shorter and longer parts alike.
    ZLOG(kLogWarning, "Size of hearbeat responce is more than we expected. Expected %zu, but received %zu.\n",
         kHeartbeatResponseSize, length);
    return 0;
  }
  const std::uint64_t answered = get_be64(part);
  ZLOG(kLogDebug, "Received heartbeat response with sequence number %llu, latest sent was %llu.\n",
       static_cast<unsigned long long>(answered), static_cast<unsigned long long>(last_sent.load()));
  last_answered.store(answered);
  return 0;
}

std::uint64_t heartbeat_last_sent() { return last_sent.load(); }

std::uint64_t heartbeat_last_answered() { return last_answered.load(); }
