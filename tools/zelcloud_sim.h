// zelcloud_sim: a local zelCloud and zelbroker in one process, for trying the
// agent on a developer's or integrator's machine (the end-to-end tests and
// the benchmarks use it the same way).
//
// It serves the four zelCloud requests over HTTPS on a loopback port and a
// zelbroker over TLS on another, both with certificates it generates (a
// private CA whose certificate the agent is told to trust; on request a
// faulty certificate for either server). It keeps the devices it has
// registered in memory and prints every request and every packet in
// readable form. The advisor points the agent at the simulator's own
// zelbroker, with keepalive and heartbeat values.
//
//   zelsim::Simulator sim(options);                 // certificates, servers up
//   for (auto& [key, value] : sim.store_settings()) pvo set key value
//   zelagent --ca-file sim.ca_file() ...
//   sim.execute("claim");                            // the command interface
//
// Requests served (paths under base_url(); the agent's URL keys point here):
//   POST /register              201 {"deviceId","claimCode"}: an upper-case
//                               agent id and a claim code; a known hardware
//                               id gets its identity again
//   GET  /claimed/v2            {"_type":"Device","deviceId","claimed"} for
//                               the device named by the Authorization header
//   POST /discovery/v3/?i&e&s   200, recorded in the discovery log
//   GET  /advisor/v2            ActionConnect to the simulator's zelbroker
//                               (or ActionWait after "wait")
//
// Commands (execute; one line each, the reply is one line beginning with
// "ok" or "error"):
//   help                    the command list
//   devices                 the registered devices
//   discoveries             the discovery log
//   requests [clear]        the latest cloud requests (or forget them)
//   claim [AGENT-ID]        mark a device claimed (default: the newest)
//   release [AGENT-ID]      mark it not claimed
//   send HANDLER [TEXT]     a plain message with TEXT as body to HANDLER,
//                           replied to once it is written
//   raw BYTES               BYTES (\xHH for any byte) on the link as they
//                           are, outside any packet: a broken zelbroker
//   drop                    close the newest zelbroker link
//   wait SECONDS            the advisor answers "wait" (0: wait for ever)
//   connect                 the advisor names the zelbroker again
//   heartbeats on|off       answer the agent's heartbeats, or not
//   register accept|refuse|fail
//                           answer registrations normally, with 403 and
//                           error code 1062, or with 500
//   fault KIND [PATH]       cloud requests whose path begins with PATH (all
//                           of them without one; the longest PATH given
//                           wins) get a faulty answer: garbage (200 with a
//                           body that is not JSON), raw (bytes that are not
//                           HTTP), close (no answer), cut (headers, then the
//                           connection closes), stall (no answer until the
//                           fault ends) or drip (a 500 answer, one byte
//                           every 2 s)
//   fault CODE [PATH [BODY]]  status CODE with BODY (default an error text)
//   fault slow SECONDS [PATH] the right answers, each SECONDS late
//   fault none [PATH]       end the fault of PATH (without one: every fault)
//   status                  links, packets, heartbeats, requests (and
//                           how many a stall holds), handshakes
//
// Threading: every public operation may be called from any thread. Printed
// lines go to the printer (set_printer) one whole line at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

namespace zelsim {

class HttpsServer;
class BrokerServer;

// A certificate a server presents in place of a good one (--cloud-cert,
// --broker-cert): what an agent must refuse.
enum class CertFault { kNone, kExpired, kWrongName, kUnknownIssuer, kSelfSigned };

struct SimulatorOptions {
  std::string cert_dir;                     // where the CA, certificates and hashed CA folder go
  std::string broker_keepalive = "30,5,10"; // advisor's brokerKeepalive; empty: not given
  std::string agent_keepalive = "60,5,10";  // advisor's agentKeepalive; empty: not given
  std::int32_t agent_heartbeat = 30;        // advisor's agentHeartbeat; 0 or less: not given
  bool broker_tls = true;                   // false: plain TCP zelbroker (zel_broker_ssl 0)
  CertFault cloud_cert = CertFault::kNone;
  CertFault broker_cert = CertFault::kNone;
};

struct SimDevice {
  std::string agent_id;
  std::string claim_code;
  std::string hardware_id;
  std::string model;
  bool claimed = false;
};

struct SimDiscovery {
  std::string agent_id;    // from the Authorization header ("" when none)
  std::string identifier;  // the i parameter
  std::string service;     // the s parameter
  std::int32_t time = 0;   // the e parameter (0 when absent)
  std::string body;        // the discovery data
};

// The registration answer the simulator gives.
enum class RegisterMode { kAccept, kRefuseWrongSn, kFail };

// A faulty answer in place of the right one (the "fault" command;
// kServerError is a status code, 500 unless the command names another).
enum class CloudFault { kNone, kServerError, kGarbage, kRawGarbage, kNoAnswer, kCutAnswer, kStall, kDrip };

// A dripping answer (the "drip" fault) sends one byte this often.
inline constexpr int kDripIntervalMs = 2000;

class Simulator {
 public:
  explicit Simulator(const SimulatorOptions& options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Receives every printed line (without its newline). None by default.
  void set_printer(std::function<void(const std::string&)> printer);

  std::string base_url() const;        // https://localhost:<cloud port>
  std::string ca_file() const;          // the CA certificate the agent must trust
  std::string ca_path() const;          // the same as a hashed folder (--ca-path)
  // The store settings that point an agent at the simulator, in order: the
  // four cloud URL keys.
  std::vector<std::pair<std::string, std::string>> store_settings() const;

  // Runs one command line; returns its one-line reply.
  std::string execute(const std::string& line);

  // The commands' operations: false when there is no such device or no open
  // link.
  bool claim(const std::string& agent_id = "");
  bool release(const std::string& agent_id = "");
  bool send_message(const std::string& handler, const std::string& body);
  bool drop_link();
  void advisor_wait(std::int32_t period);
  void advisor_connect();
  void set_answer_heartbeats(bool answer);
  void set_register_mode(RegisterMode mode);
  // Requests whose path begins with `path_prefix` get `fault`; kNone ends
  // the fault of that prefix (of every prefix for "") and the stalled requests.
  void set_cloud_fault(CloudFault fault, const std::string& path_prefix = "");

  std::vector<SimDevice> devices() const;
  std::vector<SimDiscovery> discoveries() const;

  // The two servers (ports, requests, packets, links).
  zelsim::HttpsServer& cloud();
  zelsim::BrokerServer& broker();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One packet as a readable line ("hello agent-id ZEL-000001",
// "heartbeat #3 at 1700000000", ...). Pure.
std::string describe_packet(std::uint8_t type, const std::vector<std::string>& parts);

// Bytes as text with non-printable bytes written as \xHH, cut after `limit`
// characters with "..." appended. Pure.
std::string printable(const std::string& bytes, std::size_t limit = 200);

// A TCP socket listening on 127.0.0.1:`port` (0: an ephemeral port), with
// SO_REUSEADDR so that a restarted tool gets its port back at once. The port
// it got goes to `bound` when given. Empty on failure.
UniqueFd listen_loopback(std::uint16_t port, int backlog, std::uint16_t* bound = nullptr);

// A tool's stop signals: blocks SIGTERM and SIGINT in the calling thread (the
// threads it makes later inherit the set), ignores SIGPIPE and returns a
// signalfd that becomes readable when either arrives. Call it before making
// threads.
UniqueFd stop_signal_fd();

}  // namespace zelsim
