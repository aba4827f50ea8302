// The simulator's zelbroker: a TLS (or, with --plain-broker, plain TCP) server
// on an ephemeral loopback port that accepts the agent's links, records every
// packet the agent sends, decoded, answers heartbeats by itself (unless told
// not to) and sends what its user asks for: plain messages ("send"), bytes
// as they are ("raw"), a closed link ("drop").
//
// Usage:
//
//   zelsim::CertAuthority ca(folder);
//   zelsim::CertFiles cert = ca.issue({});             // CN localhost
//   zelsim::BrokerServer broker(cert.chain_path, cert.key_path);
//   ... the advisor answers {"broker":"localhost","port":"<broker.port()>"} ...
//   if (broker.wait_for_packets(1)) print(broker.packets()[0]);  // the hello with the agent id
//   broker.send_plain_message("my_handler", {"body"});
//   broker.close_link();
//
// Links are numbered from 0 in the order they were accepted; the send and
// close operations act on the newest link that is still open. Writes are
// queued and carried out in order by that link's own thread, which also
// reads (OpenSSL sessions are never touched by two threads); flush() waits
// until they are on the wire.
//
// Every packet is kept for the server's lifetime (a simulator that runs for
// days grows by a few bytes per heartbeat).
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
  };

  // A TLS server with the given chain and key; throws std::runtime_error when
  // they cannot be loaded or the socket cannot be made.
  BrokerServer(const std::string& cert_file, const std::string& key_file);
  explicit BrokerServer(const Options& options);
  ~BrokerServer();
  BrokerServer(const BrokerServer&) = delete;
  BrokerServer& operator=(const BrokerServer&) = delete;

  std::uint16_t port() const;

  // Whether heartbeats are answered (16-byte responses); on at the start.
  void set_answer_heartbeats(bool answer);

  // Observation.
  std::size_t links() const;       // links accepted so far
  std::size_t open_links() const;  // links not closed by either side
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
  // Heartbeat responses sent by the automatic answer.
  std::size_t heartbeats_answered() const;

  // Sending on the newest open link; false when there is none.
  // A plain message: handler id, then each body part (none: a one-part message).
  bool send_plain_message(const std::string& handler_id,
                          const std::vector<std::string>& body_parts = {});
  // Bytes as they are, in one write.
  bool send_raw(const std::string& bytes);
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
