// SOCKS tunnels to the zelbroker: version 4, and version 5 (RFC 1928) with
// optional user name and password authentication (RFC 1929).
//
// The proxy connector opens a plain TCP socket to the SOCKS proxy and hands
// it over here; on success the same connection then carries the broker
// packets directly, without TLS. The zelbroker host name is resolved locally
// to one IPv4 address. Each message is written whole and each reply read
// whole; each exchange with the proxy is bounded by
// kBrokerStepTimeoutSeconds and ended at once by a stop of the broker thread.
//
// Only the broker thread calls these operations; they block it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct connection;

// The longest user name or password a SOCKS5 request can carry (one length byte).
inline constexpr std::size_t kSocks5MaxCredentialLength = 255;

// Opens a SOCKS4 CONNECT tunnel through `conn` to host:port. Returns 0 when
// the proxy granted it (status 0x5A), -1 otherwise (logged).
int socks4_connect(connection* conn, const char* host, std::uint16_t port);

// Opens a SOCKS5 CONNECT tunnel through `conn` to host:port, offering no
// authentication and user name/password; for the latter the credentials are
// read from zel_zelcloud_proxy_username and zel_zelcloud_proxy_password.
// Returns 0 when the proxy answered reply code 0, -1 otherwise (logged). A
// host that does not resolve fails before anything is sent.
int socks5_connect(connection* conn, const char* host, std::uint16_t port);

// Builds the RFC 1929 request: 01, user name length, user name, password
// length, password. Returns 0 with the bytes in `*request`; -1 after an ERROR
// when either is longer than kSocks5MaxCredentialLength (nothing built).
int socks5_auth_request(const std::string& username, const std::string& password,
                        std::string* request);

// The ERROR text logged for a non-zero SOCKS5 reply code ("Connection
// refused.\n" for 5, "SOCKS Error unassigned.\n" beyond 8); static storage.
const char* socks5_reply_message(int code);
