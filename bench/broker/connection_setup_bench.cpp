// How long open_broker_connection takes on loopback, directly with TLS and
// through each proxy type, side by side: each case is 50 single attempts and
// the median is the figure to read. Real proxies (tinyproxy, microsocks,
// danted) are used when installed; the HTTPS proxy is an in-process TLS peer
// that answers the CONNECT at once (Debian has no HTTPS-listening proxy).
//
//   build/<config>/bench/broker/broker_connection_setup_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "broker/proxy.h"
#include "broker/zelbroker_connection.h"
#include "cert_authority.h"
#include "config/config.h"
#include "support/broker_peers.h"
#include "support/test_support.h"

namespace {

using zelbench::ProxyProgram;
using zelbench::ScriptedPeer;

constexpr int kAttempts = 50;

// The HTTPS proxy's part: read the CONNECT request inside TLS, answer it at
// once, then hold the tunnel until the client closes.
void answer_connect(int, SSL* ssl) {
  std::string request;
  char byte;
  while (request.find("\r\n\r\n") == std::string::npos && SSL_read(ssl, &byte, 1) == 1) {
    request += byte;
  }
  const std::string ok = "HTTP/1.1 200 Connection established\r\n\r\n";
  SSL_write(ssl, ok.data(), static_cast<int>(ok.size()));
  SSL_read(ssl, &byte, 1);  // until the client closes
}

struct Environment {
  zeltest::TempDir dir;
  zelsim::CertAuthority ca{dir.path()};
  zelbench::SslCtxPtr tls;
  ScriptedPeer echo{[](int fd, SSL*) { zelbench::echo(fd); }};
  std::unique_ptr<ScriptedPeer> broker;
  std::unique_ptr<ScriptedPeer> https_proxy;
  std::unique_ptr<ProxyProgram> tinyproxy, tinyproxy_auth, microsocks, danted;
  std::uint16_t tinyproxy_port = 0, tinyproxy_auth_port = 0, microsocks_port = 0,
                danted_port = 0;

  Environment() {
    ::setenv("PVO_STORE", dir.file("pvo").c_str(), 1);
    keep_connection.store(1);  // as inside a running broker thread
    zelsim::CertOptions options;
    options.common_name = "localhost";
    options.dns_names = {"localhost"};
    zelsim::CertFiles files = ca.issue(options);
    ca_file = ca.ca_cert_path();
    tls = zelbench::tls_server_context(files);
    broker = std::make_unique<ScriptedPeer>([](int, SSL*) {}, tls.get());
    https_proxy = std::make_unique<ScriptedPeer>(answer_connect, tls.get());
    tinyproxy_port = start_tinyproxy("tinyproxy", "", &tinyproxy);
    tinyproxy_auth_port = start_tinyproxy("tinyproxy-auth", "BasicAuth zeluser zel-secret\n",
                                          &tinyproxy_auth);
    if (std::string path = zelbench::find_program("microsocks"); !path.empty()) {
      const std::uint16_t port = zelbench::free_loopback_port();
      microsocks = std::make_unique<ProxyProgram>(
          std::vector<std::string>{path, "-i", "127.0.0.1", "-p", std::to_string(port)},
          dir.file("microsocks.out"), port);
      microsocks_port = microsocks->port();
    }
    if (std::string path = zelbench::find_program("danted"); !path.empty()) {
      const std::uint16_t port = zelbench::free_loopback_port();
      zeltest::write_file(dir.file("danted.conf"),
                          "logoutput: stderr\ninternal: 127.0.0.1 port = " +
                              std::to_string(port) +
                              "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n"
                              "user.privileged: root\nuser.unprivileged: nobody\n"
                              "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                              "socks pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                              " command: connect\n protocol: tcp\n}\n");
      danted = std::make_unique<ProxyProgram>(
          std::vector<std::string>{path, "-f", dir.file("danted.conf"), "-N", "1"},
          dir.file("danted.out"), port);
      danted_port = danted->port();
    }
    config_set(kKeyZelcloudProxyHostname, "127.0.0.1");
    config_set(kKeyZelcloudProxyUsername, "zeluser");
    config_set(kKeyZelcloudProxyPassword, "zel-secret");
  }

  ~Environment() {
    keep_connection.store(0);
    ca_file.clear();
    ::unsetenv("PVO_STORE");
  }

  std::uint16_t start_tinyproxy(const std::string& name, const std::string& extra,
                                std::unique_ptr<ProxyProgram>* process) {
    std::string path = zelbench::find_program("tinyproxy");
    if (path.empty()) return 0;
    const std::uint16_t port = zelbench::free_loopback_port();
    zeltest::write_file(dir.file(name + ".conf"),
                        "Port " + std::to_string(port) +
                            "\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nAllow 127.0.0.1\n"
                            "User nobody\nGroup nogroup\nLogLevel Critical\n" + extra);
    *process = std::make_unique<ProxyProgram>(
        std::vector<std::string>{path, "-d", "-c", dir.file(name + ".conf")},
        dir.file(name + ".out"), port);
    return (*process)->port();
  }
};

Environment& environment() {
  static Environment env;
  return env;
}

// One attempt per iteration through proxy `type` at `proxy_port` (0: the
// proxy is not available here) to `target_port`.
void measure(benchmark::State& state, std::uint32_t type, std::uint16_t proxy_port,
             const char* host, std::uint16_t target_port, int use_tls) {
  Environment& env = environment();
  if (type != kProxyNone && proxy_port == 0) {
    state.SkipWithError("proxy program not installed");
    return;
  }
  config_set(kKeyZelcloudUseProxy, std::to_string(type).c_str());
  config_set(kKeyZelcloudProxyPort, std::to_string(proxy_port).c_str());
  (void)env;
  for (auto _ : state) {
    std::unique_ptr<connection> conn = open_broker_connection(host, target_port, use_tls);
    if (!conn) {
      state.SkipWithError("open_broker_connection failed");
      return;
    }
    connection_close(conn.get());
  }
}

void BM_DirectTls(benchmark::State& state) {
  measure(state, kProxyNone, 0, "localhost", environment().broker->port(), 1);
}
void BM_DirectPlain(benchmark::State& state) {
  measure(state, kProxyNone, 0, "127.0.0.1", environment().echo.port(), 0);
}
void BM_HttpProxyTinyproxy(benchmark::State& state) {
  measure(state, kProxyHttp, environment().tinyproxy_port, "127.0.0.1",
          environment().echo.port(), 1);
}
void BM_HttpProxyTinyproxyBasicAuth(benchmark::State& state) {
  measure(state, kProxyHttp, environment().tinyproxy_auth_port, "127.0.0.1",
          environment().echo.port(), 1);
}
void BM_HttpsProxyInProcess(benchmark::State& state) {
  measure(state, kProxyHttps, environment().https_proxy->port(), "localhost", 443, 1);
}
void BM_Socks4Dante(benchmark::State& state) {
  measure(state, kProxySocks4, environment().danted_port, "127.0.0.1",
          environment().echo.port(), 1);
}
void BM_Socks5Microsocks(benchmark::State& state) {
  measure(state, kProxySocks5, environment().microsocks_port, "127.0.0.1",
          environment().echo.port(), 1);
}

#define ZEL_SETUP_BENCH(fn)                                                        \
  BENCHMARK(fn)->Iterations(1)->Repetitions(kAttempts)->ReportAggregatesOnly(true) \
      ->Unit(benchmark::kMillisecond)->UseRealTime()

ZEL_SETUP_BENCH(BM_DirectTls);
ZEL_SETUP_BENCH(BM_DirectPlain);
ZEL_SETUP_BENCH(BM_HttpProxyTinyproxy);
ZEL_SETUP_BENCH(BM_HttpProxyTinyproxyBasicAuth);
ZEL_SETUP_BENCH(BM_HttpsProxyInProcess);
ZEL_SETUP_BENCH(BM_Socks4Dante);
ZEL_SETUP_BENCH(BM_Socks5Microsocks);

}  // namespace

BENCHMARK_MAIN();
