// The hello and broker keepalive packets. Each is built whole and written
// as one piece (connection_write_before), within the step limit of the link's
// set-up: a zelbroker that reads nothing cannot hold the broker thread.
#include "broker/messages/hello_message.h"

#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "broker/messages/packet.h"
#include "broker/net_helper.h"
#include "broker/ssl_routine.h"
#include "config/config.h"
#include "log/log.h"

namespace {
constexpr const char* kLogModule = "hello_message";

constexpr int kExitFailure = 1;
constexpr const char* kStep = "hello";
constexpr std::size_t kKeepaliveValuesOffset = 4;
constexpr std::size_t kKeepaliveValueSize = 4;
constexpr std::uint16_t kKeepalivePayloadSize = 12;
constexpr std::size_t kBrokerKeepalivePacketSize = 16;

std::vector<std::uint8_t> build_hello_packet(bool is_token, const std::uint8_t* bytes,
                                             std::size_t length) {
  return encode_packet(is_token ? PACKET_HELLO_TOKEN : PACKET_HELLO_AGENT_ID,
                       std::span<const std::uint8_t>(bytes, length));
}

std::vector<std::uint8_t> build_broker_keepalive_packet(std::uint32_t first, std::uint32_t second,
                                                        std::uint32_t third) {
  std::vector<std::uint8_t> packet(kBrokerKeepalivePacketSize);
  packet[0] = PACKET_BROKER_KEEPALIVE;
  packet[1] = 1;
  put_be16(&packet[2], kKeepalivePayloadSize);
  put_be32(&packet[kKeepaliveValuesOffset], first);
  put_be32(&packet[kKeepaliveValuesOffset + kKeepaliveValueSize], second);
  put_be32(&packet[kKeepaliveValuesOffset + 2 * kKeepaliveValueSize], third);
  return packet;
}

}  // namespace

int send_hello(connection* conn, const std::uint8_t* token, std::size_t token_length) {
  std::vector<std::uint8_t> packet;
  try {
    if (token != nullptr) {
      if (token_length > kMaxPacketPartLength) {
        ZLOG(kLogError, "Token of %zu bytes is too long for the hello packet.\n", token_length);
        return -1;
      }
      packet = build_hello_packet(true, token, token_length);
    } else {
      const std::optional<std::string> agent_id = config_get_string(kKeyAgentId);
      if (!agent_id) {
        // Not registered yet (a claim can start the link before the
        // registration succeeds): the link fails and is tried again later,
        // rather than ending the agent.
        ZLOG(kLogError, "Cannot get %s value.\n", kKeyAgentId);
        return -1;
      }
      packet = build_hello_packet(false, reinterpret_cast<const std::uint8_t*>(agent_id->data()),
                                  agent_id->size());
    }
  } catch (const std::bad_alloc&) {
    ZLOG(kLogError, "malloc().\n");
    std::exit(kExitFailure);
  }
  return connection_write_before(conn, packet.data(), packet.size(), broker_step_deadline(), kStep);
}

int send_broker_keepalive(connection* conn, std::uint32_t first, std::uint32_t second,
                          std::uint32_t third) {
  const std::vector<std::uint8_t> packet = build_broker_keepalive_packet(first, second, third);
  return connection_write_before(conn, packet.data(), packet.size(), broker_step_deadline(), kStep);
}
