// Fuzzes the SOCKS4 and SOCKS5 exchanges against a proxy whose replies are
// the fuzz input. A user name and password are stored, so a SOCKS5 proxy
// that picks user/password authentication is answered and its verdict read.
#include <cstdint>
#include <cstdlib>

#include "broker/socks.h"
#include "config/config.h"
#include "config/config_keys.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kBrokerAddress = "127.0.0.1";
constexpr std::uint16_t kBrokerPort = 443;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool credentials_stored = [] {
    zelfuzz::init_environment();
    config_set(kKeyZelcloudProxyUsername, "fuzz-user");
    config_set(kKeyZelcloudProxyPassword, "fuzz-password");
    return true;
  }();
  (void)credentials_stored;
  {
    zelfuzz::ScriptedPeer proxy(data, size);
    (void)socks4_connect(proxy.connection(), kBrokerAddress, kBrokerPort);
  }
  {
    zelfuzz::ScriptedPeer proxy(data, size);
    (void)socks5_connect(proxy.connection(), kBrokerAddress, kBrokerPort);
  }
  return 0;
}
