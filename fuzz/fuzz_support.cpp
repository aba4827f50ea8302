// Shared set-up of the fuzz targets: see fuzz_support.h.
#include "fuzz/fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "broker/zelbroker_connection.h"
#include "log/log.h"

namespace zelfuzz {
namespace {

// Set-up exchanges read from a peer that has already written everything, so
// a wait can only end in data or end of stream; the bound only keeps a
// mistake from hanging a run.
constexpr int kStepTimeoutMs = 2000;
constexpr const char* kStoreEnv = "PVO_STORE";
constexpr const char* kNullDevice = "/dev/null";

bool initialised = false;
std::string store;

void remove_store() {
  std::error_code ignored;
  if (!store.empty()) std::filesystem::remove_all(store, ignored);
}

}  // namespace

void init_environment() {
  if (initialised) return;
  initialised = true;

  log_level = kLogDebug;
  log_to_console = 0;
  log_to_file = 1;
  // stat() sees size 0 for ever, so no rotation starts; the writes vanish.
  log_file_path = kNullDevice;

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/zelfuzz.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  store = name.data();
  ::setenv(kStoreEnv, store.c_str(), 1);
  std::atexit(remove_store);

  keep_connection.store(1);
  net_testing::set_broker_step_timeout_ms(kStepTimeoutMs);
}

const std::string& store_folder() { return store; }

ScriptedPeer::ScriptedPeer(const std::uint8_t* script, std::size_t size)
    : conn_(std::make_unique<::connection>()) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    std::perror("socketpair");
    std::abort();
  }
  conn_->sock.reset(pair[0]);
  peer_.reset(pair[1]);
  if (size > kMaxScriptBytes) size = kMaxScriptBytes;
  std::size_t sent = 0;
  while (sent < size) {
    ssize_t n = ::send(peer_.get(), script + sent, size - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::perror("send to scripted peer");
      std::abort();
    }
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(peer_.get(), SHUT_WR);
}

ScriptedPeer::~ScriptedPeer() { connection_close(conn_.get()); }

bool take_split_seed(const std::uint8_t*& data, std::size_t& size, std::uint32_t& seed) {
  if (size < sizeof seed) return false;
  std::memcpy(&seed, data, sizeof seed);
  data += sizeof seed;
  size -= sizeof seed;
  return true;
}

std::size_t SplitGenerator::next_length(std::size_t max) {
  state_ ^= state_ << 13;
  state_ ^= state_ >> 17;
  state_ ^= state_ << 5;
  // Mostly short pieces, sometimes long ones: both ends of a feed matter.
  std::size_t limit = (state_ & 0x100u) != 0 ? max : (max < 8 ? max : 8);
  return 1 + static_cast<std::size_t>(state_ % limit);
}

}  // namespace zelfuzz
