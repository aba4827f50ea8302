// What every fuzz target shares: a quiet but complete environment for the
// parsers (every log line is formatted, none is kept; a private configuration
// store; the broker link marked as running), and a scripted peer that plays
// the other end of a connection from the fuzz input.
//
// Usage in a target:
//
//   extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
//     zelfuzz::init_environment();
//     zelfuzz::ScriptedPeer peer(data, size);
//     socks4_connect(peer.connection(), "127.0.0.1", 443);
//     return 0;
//   }
//
// The same targets run under libFuzzer (fuzz.sh) and as regression tests that
// replay the seed corpora (replay_test.cpp), so nothing here depends on
// libFuzzer itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "broker/net_helper.h"
#include "broker/ssl_routine.h"

namespace zelfuzz {

// The most bytes a scripted peer sends: more than any reader accepts
// (proxy answers stop at 64 KiB) and less than a local socket buffer holds,
// so the whole script is written before the code under test runs.
constexpr std::size_t kMaxScriptBytes = 96 * 1024;

// Once per process (later calls do nothing): log level DEBUG into /dev/null
// (messages are formatted but nothing is written), the configuration store
// in a private temporary folder removed at exit, keep_connection 1 and a
// short step time-out for the link set-up exchanges. Not thread-safe; call
// it first in every entry point.
void init_environment();

// The folder of the private configuration store (valid after init_environment).
const std::string& store_folder();

// The other end of a connection, scripted by the fuzz input: the bytes are
// written to a local stream socket pair and its sending direction is shut,
// so the code under test reads exactly those bytes and then end of stream.
// What the code under test writes is left unread in the pair.
class ScriptedPeer {
 public:
  // At most kMaxScriptBytes of `script` are sent.
  ScriptedPeer(const std::uint8_t* script, std::size_t size);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // The plain connection the code under test uses; owned by the peer.
  ::connection* connection() { return conn_.get(); }

 private:
  std::unique_ptr<::connection> conn_;
  UniqueFd peer_;
};

// Takes the first four input bytes as the seed of a SplitGenerator and leaves
// `data` and `size` describing the rest. False (nothing taken) when the input
// is shorter than that.
bool take_split_seed(const std::uint8_t*& data, std::size_t& size, std::uint32_t& seed);

// A tiny deterministic generator for cutting input into pieces
// (xorshift32); the same seed always gives the same cuts.
class SplitGenerator {
 public:
  explicit SplitGenerator(std::uint32_t seed) : state_(seed == 0 ? 0x9E3779B9u : seed) {}
  // A piece length from 1 to `max` (max >= 1).
  std::size_t next_length(std::size_t max);

 private:
  std::uint32_t state_;
};

}  // namespace zelfuzz
