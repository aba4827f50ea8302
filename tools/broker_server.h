// The simulator's zelbroker, also used alone by tests and benchmarks: an in-process
// TLS (or plain TCP) server on an ephemeral loopback port that accepts the
// agent's links, records every packet the agent sends, decoded, and sends
// what its user asks for: plain messages, heartbeat responses of right and
// wrong sizes, any other packet, arbitrary bytes, writes split into pieces;
// it can close a link, stall a TLS handshake and answer heartbeats by itself.
//
// Usage:
//
//   zelsim::CertAuthority ca(dir.path());
//   zelsim::CertFiles cert = ca.issue({});             // CN/SAN localhost
//   zelsim::BrokerServer broker(cert.chain_path, cert.key_path);
//   ... advisor answers {"broker":"localhost","port":"<broker.port()>"} ...
//   ASSERT_TRUE(broker.wait_for_packets(1));
//   EXPECT_EQ(broker.packets()[0].type, 0);             // hello with the agent id
//   broker.send_plain_message("my_handler", {"body"});
//   broker.close_link();
//
// Links are numbered from 0 in the order they were accepted; the send and
// close operations act on the newest link that is still open. Writes are
// queued and carried out in order by that link's own thread, which also
// reads (OpenSSL sessions are never touched by two threads); flush() waits
// until they are on the wire.
//
// Every packet and every received byte is kept for the server's lifetime
// (a long-running user should expect its memory to grow with the traffic).
//
// Threading: one accept thread and one thread per link; every public
// operation may be called from any thread. The destructor stops the server
// and joins its threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelsim {

// One packet the agent sent, as the framing cut it.
struct BrokerPacket {
  std::size_t link = 0;              // index of the link it came on
  std::uint8_t type = 0;
  std::vector<std::string> parts;    // the bytes of each part
};

class BrokerServer {
 public:
  struct Options {
    bool tls = true;              // false: plain TCP (zel_broker_ssl 0)
    std::string cert_file;        // PEM certificate chain (TLS only)
    std::string key_file;         // PEM private key (TLS only)
    bool answer_heartbeats = true;  // answer each heartbeat with a 16-byte response
  };

  // A TLS server with the given chain and key; throws std::runtime_error when
  // they cannot be loaded or the socket cannot be made.
  BrokerServer(const std::string& cert_file, const std::string& key_file);
  explicit BrokerServer(const Options& options);
  ~BrokerServer();
  BrokerServer(const BrokerServer&) = delete;
  BrokerServer& operator=(const BrokerServer&) = delete;

  std::uint16_t port() const;

  // Behaviour switches (any time; they apply to what happens next).
  void set_answer_heartbeats(bool answer);
  // New links are accepted but their TLS handshake is never answered.
  void set_stall_handshake(bool stall);

  // Observation.
  std::size_t links() const;       // links accepted so far
  std::size_t open_links() const;  // links not closed by either side
  bool wait_for_links(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until link `link` was closed (by the agent or by close_link).
  bool wait_for_link_closed(std::size_t link,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // True when the agent closed link `link` (as opposed to close_link or stop).
  bool closed_by_agent(std::size_t link) const;
  // The agent's port of link `link` (to find its socket), 0 when unknown.
  std::uint16_t agent_port(std::size_t link) const;
  // Every packet of every link, in arrival order.
  std::vector<BrokerPacket> packets() const;
  std::size_t packet_count() const;
  bool wait_for_packets(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // The bytes link `link` received, exactly as they came (after TLS).
  std::string received_bytes(std::size_t link) const;
  // Heartbeat responses sent by the automatic answer.
  std::size_t heartbeats_answered() const;

  // Sending on the newest open link; false when there is none.
  // A plain message: handler id, then each body part (none: a one-part message).
  bool send_plain_message(const std::string& handler_id,
                          const std::vector<std::string>& body_parts = {});
  // A heartbeat response answering `sequence`, padded with zeros (or cut) to
  // `size` bytes; 16 is the right size.
  bool send_heartbeat_response(std::uint64_t sequence, std::size_t size = 16);
  // Any packet, framed.
  bool send_packet(std::uint8_t type, const std::vector<std::string>& parts);
  // Bytes as they are, in one write.
  bool send_raw(const std::string& bytes);
  // Bytes in writes of at most `piece` bytes each (each its own TLS record).
  bool send_split(const std::string& bytes, std::size_t piece);
  // Closes the newest open link after its queued writes (TLS close notify,
  // then the socket).
  bool close_link();
  // Waits until every queued write of every link is done; false at the deadline.
  bool flush(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Stops accepting, closes every link and joins the threads.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zelsim
