// What the fuzz targets share: libFuzzer's entry point on a quiet but complete
// environment, a peer that plays the other end of a connection, cut points.
// No libFuzzer needed.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "broker/ssl_routine.h"
#include "broker/zelbroker_connection.h"
#include "log/log.h"

namespace zelfuzz {

// Once per process: DEBUG lines formatted into /dev/null (its size stays 0,
// so no rotation starts), a private store removed at exit, the link marked
// as running and a short bound on each link set-up step.
inline void init_environment() {
  static std::string store = (std::filesystem::temp_directory_path() / "zelfuzz.XXXXXX").string();
  [[maybe_unused]] static const bool done = [] {
    log_level = kLogDebug;
    log_to_console = 0;
    log_file_path = "/dev/null";
    if (::mkdtemp(store.data()) == nullptr || ::setenv("PVO_STORE", store.c_str(), 1) != 0) std::abort();
    std::atexit([] { std::filesystem::remove_all(store); });
    keep_connection.store(1);
    net_testing::set_broker_step_timeout_ms(2000);
    return true;
  }();
}

// The other end of a connection: it sends the script (at most 96 KiB, which
// a local socket buffer holds whole), then end of stream.
class ScriptedPeer {
 public:
  ScriptedPeer(const std::uint8_t* script, std::size_t size) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    conn_.sock.reset(pair[0]);
    peer_.reset(pair[1]);
    size = std::min<std::size_t>(size, 96 * 1024);
    if (size != 0 && send_all(peer_.get(), script, size) != static_cast<int>(size)) std::abort();
    ::shutdown(peer_.get(), SHUT_WR);
  }
  ~ScriptedPeer() { connection_close(&conn_); }
  ::connection* connection() { return &conn_; }

 private:
  ::connection conn_;
  UniqueFd peer_;
};

// Cut points for feeding input in pieces (xorshift32), seeded by the first
// four input bytes, which are taken off it (false when it is shorter).
inline bool take_cuts(const std::uint8_t*& data, std::size_t& size, std::uint32_t* cuts) {
  if (size < sizeof *cuts) return false;
  std::memcpy(cuts, data, sizeof *cuts);
  *cuts = *cuts != 0 ? *cuts : 0x9E3779B9u;
  data += sizeof *cuts;
  size -= sizeof *cuts;
  return true;
}
// A piece length from 1 to `max` (at least 1): mostly short, sometimes long.
inline std::size_t next_piece(std::uint32_t& cuts, std::size_t max) {
  cuts ^= cuts << 13;
  cuts ^= cuts >> 17;
  cuts ^= cuts << 5;
  return 1 + cuts % ((cuts & 0x100u) != 0 ? max : std::min<std::size_t>(max, 8));
}

}  // namespace zelfuzz

// Each target's body: the input as bytes and as text (NUL bytes included). A
// failed check aborts.
static void fuzz_input(const std::uint8_t* data, std::size_t size, const std::string& text);

// libFuzzer's entry point (renamed per target in the replay build).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelfuzz::init_environment();
  fuzz_input(data, size, std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
