// The `connection` of the broker link: a TCP socket that may carry a TLS 1.2
// client session, and everything done on it once the socket exists: the
// handshake with peer verification and host-name validation, the teardown,
// read and write wrappers that hide whether TLS is present, the pending-bytes
// query, the switch to non-blocking mode and the close.
//
// Usage (the proxy connector does this for a direct link):
//
//   auto conn = std::make_unique<connection>();
//   conn->sock.reset(connected_socket);
//   if (ssl_connect(conn.get(), "broker.example") != 0) { connection_close(conn.get()); ... }
//   connection_write(conn.get(), bytes, n);
//   ...
//   connection_close(conn.get());   // then let the unique_ptr free the record
//
// A connection is used by one thread at a time (the broker thread). Every
// OpenSSL failure is logged with its own message and the OpenSSL error queue
// is drained into the log.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>
#include <string>

#include "broker/net_helper.h"

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct SslCtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};

// One zelbroker link. Plain (both TLS fields null) until ssl_connect
// succeeds. The record owns its socket, session and context: destroying it
// releases them (without a TLS close notify; connection_close sends one).
struct connection {
  UniqueFd sock;                                 // -1 once closed
  std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx;   // TLS context, or null
  std::unique_ptr<SSL, SslDeleter> ssl;          // TLS session, or null
};

// Process-wide trust settings, shared with the cloud HTTP client: a CA bundle
// file and a CA directory (hashed layout) added to the system's default trust
// store. Empty means unset (the default). Set by the agent's driver before
// the first connection; only read afterwards.
extern std::string ca_file;
extern std::string ca_path;

// The cipher list given to every TLS context.
inline constexpr const char* kBrokerCipherList =
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-SHA256:"
    "ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:"
    "ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA:"
    "ECDHE-RSA-AES256-SHA:DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-RSA-AES256-SHA256:"
    "DHE-RSA-AES256-SHA:ECDHE-ECDSA-DES-CBC3-SHA:ECDHE-RSA-DES-CBC3-SHA:EDH-RSA-DES-CBC3-SHA:"
    "AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA256:AES256-SHA256:AES128-SHA:AES256-SHA:"
    "DES-CBC3-SHA:!DSS";

// Starts a TLS 1.2 client session on the connected socket of `conn`: TLS 1.2
// only, the cipher list above, the system trust store plus ca_file/ca_path,
// peer verification, no server name indication, no session resumption. The
// handshake is bounded by kBrokerStepTimeoutSeconds and ended at once by a
// stop of the broker thread. Returns 0 when the session is up and the peer
// certificate matches `hostname`; -1 otherwise (null connection or
// descriptor 0 included). After a failure the connection is plain or
// half-built and the caller closes it.
int ssl_connect(connection* conn, const char* hostname);

// Ends the TLS session (one close notify, no wait for the peer's) and frees
// it and the context; both fields become null. Nothing to do on a plain link.
void ssl_disconnect(connection* conn);

// 1 when `cert` matches `hostname`: by its subjectAltName DNS names when the
// certificate has that extension, otherwise by its common name. -1 for no
// match, a malformed name or a null argument.
int validate_hostname(const char* hostname, const X509* cert);

// 1 when a DNS name of the subjectAltName equals `hostname` ignoring ASCII
// case; -1 when none does or a DNS name holds an embedded NUL (the search
// stops there); 0 when the certificate has no subjectAltName extension.
// No wildcard matching: "*.example" matches only the host name "*.example".
int match_subject_alt_name(const char* hostname, const X509* cert);

// 1 when the first commonName of the subject equals `hostname` ignoring ASCII
// case; -1 otherwise (none, empty, or an embedded NUL).
int match_common_name(const char* hostname, const X509* cert);

// Drains the OpenSSL error queue of this thread into the log (each error as
// ERROR "%s\n" and EVENT "openssl error: '%s'.\n"). Returns 0.
int log_openssl_errors();

// One EVENT line naming an SSL_get_error code, with strerror(error_number).
void log_ssl_error_code(int code, int error_number);

// Reads up to `size` bytes. Returns the count read (> 0); 0 with errno EAGAIN
// when TLS has no whole record yet (or was interrupted), which is not logged;
// 0 with errno 0 when the peer closed; negative on error (a plain link
// returns read's own result: -1 with errno EAGAIN when a non-blocking socket
// has nothing); -1 for a null connection.
int connection_read(connection* conn, void* buffer, std::size_t size);

// One write (SSL_write, or send with MSG_NOSIGNAL). Returns its byte count,
// which is less than `length` after ERROR "Wroted less then needed: %d\n"
// (a short write is not continued); negative on error; -1 for a null
// connection.
int connection_write(connection* conn, const void* bytes, std::size_t length);

// One write attempt for a writer that waits between attempts (see
// connection_write_before). Returns the count taken (> 0; a plain link may
// take less than `length`, TLS takes all); 0 when the socket cannot take
// more now, with *events set to what to wait for (POLLOUT, or POLLIN when
// TLS must read first; a TLS write must then be repeated with the same
// bytes); negative on error, after ERROR "Wroted less then needed: %d\n".
int connection_try_write(connection* conn, const void* bytes, std::size_t length,
                         short* events);

// Bytes the TLS session holds already decrypted (SSL_pending); 0 for a plain
// link or a null connection.
int connection_pending(const connection* conn);

// Adds O_NONBLOCK to the socket. Returns the fcntl result (negative on
// failure, traced at DEBUG).
int set_nonblocking(connection* conn);

// Tears down TLS and closes the socket (a second close finds nothing to do).
// Returns 0; -1 for a null connection. The record itself is not freed.
int connection_close(connection* conn);
