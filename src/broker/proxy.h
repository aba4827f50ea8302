// Opening the broker link: open_broker_connection turns a zelbroker host name
// and port into a ready connection, directly (with TLS when asked) or through
// the proxy the configuration names: an HTTP proxy (plain CONNECT tunnel), an
// HTTPS proxy (TLS with the proxy, then CONNECT inside it), or a SOCKS4 or
// SOCKS5 proxy (socks.h). HTTP proxies that ask for Basic authentication are
// answered on a new socket with the configured user name and password.
//
// Configuration read (config/config_keys.h): zel_zelcloud_use_proxy (0 none,
// 1 HTTP, 2 HTTPS, 3 SOCKS4, 4 SOCKS5), zel_zelcloud_proxy_hostname,
// zel_zelcloud_proxy_port (low 16 bits used), zel_zelcloud_proxy_username,
// zel_zelcloud_proxy_password.
//
// Every step (TCP connect, TLS handshake, each proxy exchange) is bounded by
// kBrokerStepTimeoutSeconds (net_helper.h) and ended at once by a stop of the
// broker thread. Only the broker thread calls these operations; they block it.
#pragma once

#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "broker/ssl_routine.h"

// Proxy types of zel_zelcloud_use_proxy (shared with the cloud HTTP client).
enum ProxyType : std::uint32_t {
  kProxyNone = 0,
  kProxyHttp = 1,
  kProxyHttps = 2,
  kProxySocks4 = 3,
  kProxySocks5 = 4,
};

// The largest proxy answer read_http_answer gathers before giving up.
inline constexpr std::size_t kMaxHttpAnswerSize = 65536;

// Opens the link to host:port. `use_tls` non-zero starts TLS to the zelbroker
// on the direct path only; through proxy types 1, 3 and 4 the tunnel carries
// the packets without TLS, through type 2 the one TLS session is the one with
// the proxy (checked against `host`). Returns the new connection, owned by
// the caller, who closes it with connection_close; null on any failure
// (logged; a failed name lookup also logs the resolver configuration).
std::unique_ptr<connection> open_broker_connection(const char* host, std::uint16_t port,
                                                   int use_tls);

// The entry of a getaddrinfo list to connect to: the first IPv4 entry, else
// the first entry; null for an empty list. Points into `list`.
const addrinfo* pick_broker_address(const addrinfo* list);

// Creates a socket for `entry` (close-on-exec) and connects it (bounded,
// then back to blocking mode). Returns the descriptor, owned by the caller; -1 on failure.
int tcp_connect(const addrinfo* entry);

// Sends `length` bytes of `request` (connection_write_before) and returns the
// proxy's answer (read_http_answer); std::nullopt on failure.
std::optional<std::string> send_http_request(connection* conn, const char* request,
                                             std::size_t length);

// Reads one HTTP answer: up to the header end, and when a "Content-Length:"
// (or "CONTENT-LENGTH:") header is present, up to the end of that many body
// bytes. Returns the answer; std::nullopt when the peer closed or failed
// first, the answer grew past kMaxHttpAnswerSize, or the step timed out.
std::optional<std::string> read_http_answer(connection* conn);

// What read_http_answer knows about the answer gathered so far.
struct http_answer_scan {
  bool header_end_found = false;
  std::size_t header_end = 0;  // offset of "\r\n\r\n"
  bool has_length = false;
  long long expected_total = 0;  // header end + 4 + Content-Length
};

// The pure part of read_http_answer: updates `scan` for `answer` (everything
// gathered so far) and returns true when the answer is complete.
bool http_answer_complete(const std::string& answer, http_answer_scan* scan);

// Opens a CONNECT tunnel to host:port through the proxy on `conn` (plain or
// TLS). On a 407 that offers Basic authentication the connection is closed,
// a new socket is opened to `proxy_entry` in the same record (with a new TLS
// session when the old one had TLS), and http_proxy_connect_basic answers
// with the configured credentials. Returns 0 when the tunnel is open, -1
// otherwise.
int http_proxy_connect(connection* conn, const char* host, std::uint16_t port,
                       const addrinfo* proxy_entry);

// Sends the CONNECT request with "Proxy-Authorization: Basic" and the base64
// of "username:password". Returns 0 when the tunnel is open, -1 otherwise
// (user name or password longer than 255 bytes: refused before sending).
int http_proxy_connect_basic(connection* conn, const char* host, std::uint16_t port,
                             const char* username, const char* password);
