// The SOCKS4 and SOCKS5 exchanges against a proxy whose replies are the
// input. Credentials are stored, so a SOCKS5 proxy that picks user and
// password authentication is answered and its verdict read.
#include "broker/socks.h"
#include "config/config.h"
#include "fuzz_support.h"

static void fuzz_input(const std::uint8_t* data, std::size_t size, const std::string&) {
  [[maybe_unused]] static const bool stored = [] {
    config_set(kKeyZelcloudProxyUsername, "fuzz-user");
    config_set(kKeyZelcloudProxyPassword, "fuzz-password");
    return true;
  }();
  zelfuzz::ScriptedPeer socks4(data, size);
  (void)socks4_connect(socks4.connection(), "127.0.0.1", 443);
  zelfuzz::ScriptedPeer socks5(data, size);
  (void)socks5_connect(socks5.connection(), "127.0.0.1", 443);
}
