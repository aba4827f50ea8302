// The broker link's connection: TLS 1.2 session set-up with host-name
// validation, and the read/write wrappers that hide whether TLS is present.
#include "broker/ssl_routine.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "log/log.h"

std::string ca_file;
std::string ca_path;

namespace {

constexpr const char* kLogModule = "ssl_routine";
constexpr std::size_t kOpensslErrorTextSize = 1024;
constexpr const char* kHandshakeStep = "TLS handshake";

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct GeneralNamesDeleter {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

const char* or_null_text(const std::string& value) {
  return value.empty() ? "(null)" : value.c_str();
}

// EAGAIN and EINTR mean "not yet", never a failure of the link.
bool not_yet(int error_number) {
  return error_number == EAGAIN || error_number == EWOULDBLOCK || error_number == EINTR;
}

int clamp_to_int(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

// An ASN.1 text whose length differs from its C-string length carries an
// embedded NUL: a forged name that must never be compared as a C string.
bool has_embedded_nul(const ASN1_STRING* text) {
  const auto* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(text));
  int length = ASN1_STRING_length(text);
  return data == nullptr || length < 0 || std::strlen(data) != static_cast<std::size_t>(length);
}

// Runs SSL_connect to its end within the step limit: the socket is
// non-blocking meanwhile, and each want-read or want-write waits for the
// socket until the deadline. Returns SSL_connect's last result; on failure
// *code and *error_number hold SSL_get_error and errno of that moment.
int bounded_handshake(connection* conn, int* code, int* error_number) {
  NonblockingScope nonblocking(conn->sock.get());
  ScopedSigpipeBlock no_sigpipe;
  const StepDeadline deadline = broker_step_deadline();
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int result = SSL_connect(conn->ssl.get());
    if (result == 1) return result;
    *error_number = errno;
    *code = SSL_get_error(conn->ssl.get(), result);
    short events = 0;
    if (*code == SSL_ERROR_WANT_READ) events = POLLIN;
    if (*code == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events == 0) return result;
    if (wait_for_socket(conn->sock.get(), events, deadline, kHandshakeStep) != 1) {
      // Timed out or stopped: the wait has said which; report the handshake
      // as failed with the code it was waiting on.
      return result;
    }
  }
}

}  // namespace

int log_openssl_errors() {
  char text[kOpensslErrorTextSize];
  while (unsigned long code = ERR_get_error()) {
    ERR_error_string_n(code, text, sizeof text);
    ZLOG(kLogError, "%s\n", text);
    ZLOG(kLogEvent, "openssl error: '%s'.\n", text);
  }
  return 0;
}

void log_ssl_error_code(int code, int error_number) {
  const char* error_text = std::strerror(error_number);
  switch (code) {
    case SSL_ERROR_NONE:
      ZLOG(kLogEvent, "openssl read error: 'SSL_ERROR_NONE', errno: '%s'.\n", error_text);
      break;
    case SSL_ERROR_SSL:
      ZLOG(kLogEvent, "openssl read error: 'SSL_ERROR_SSL', errno: '%s'.\n", error_text);
      break;
    case SSL_ERROR_WANT_X509_LOOKUP:
      ZLOG(kLogEvent, "openssl read error: 'SSL_ERROR_WANT_X509_LOOKUP', errno: '%s'.\n",
           error_text);
      break;
    case SSL_ERROR_SYSCALL:
      ZLOG(kLogEvent, "openssl read error: 'SSL_ERROR_SYSCALL', errno: '%s'.\n", error_text);
      break;
    case SSL_ERROR_ZERO_RETURN:
      ZLOG(kLogEvent, "openssl read error: 'SSL_ERROR_ZERO_RETURN', errno: '%s'.\n", error_text);
      break;
    default:
      ZLOG(kLogEvent, "openssl read error: '%d', errno: '%s'.\n", code, error_text);
      break;
  }
}

int match_subject_alt_name(const char* hostname, const X509* cert) {
  if (hostname == nullptr || cert == nullptr) return -1;
  std::unique_ptr<GENERAL_NAMES, GeneralNamesDeleter> names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return 0;
  const int count = sk_GENERAL_NAME_num(names.get());
  for (int i = 0; i < count; ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name == nullptr || name->type != GEN_DNS) continue;
    const ASN1_STRING* dns = name->d.dNSName;
    if (dns == nullptr || has_embedded_nul(dns)) return -1;
    // No wildcard expansion: the name is compared as written.
    if (strcasecmp(hostname, reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns))) == 0) {
      return 1;
    }
  }
  return -1;
}

int match_common_name(const char* hostname, const X509* cert) {
  if (hostname == nullptr || cert == nullptr) return -1;
  const X509_NAME* subject = X509_get_subject_name(cert);
  if (subject == nullptr) return -1;
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return -1;
  const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, index);
  if (entry == nullptr) return -1;
  const ASN1_STRING* common_name = X509_NAME_ENTRY_get_data(entry);
  if (common_name == nullptr || has_embedded_nul(common_name)) return -1;
  return strcasecmp(hostname, reinterpret_cast<const char*>(ASN1_STRING_get0_data(common_name))) ==
                 0
             ? 1
             : -1;
}

int validate_hostname(const char* hostname, const X509* cert) {
  if (hostname == nullptr || cert == nullptr) return -1;
  int result = match_subject_alt_name(hostname, cert);
  // Only a certificate without subjectAltName falls back to its common name.
  if (result != 0) return result;
  return match_common_name(hostname, cert);
}

void ssl_disconnect(connection* conn) {
  if (conn == nullptr) return;
  if (conn->ssl) {
    // One close notify when a session was established; the peer's answer is
    // not awaited. A half-done handshake has nothing to close.
    if (SSL_is_init_finished(conn->ssl.get())) {
      ScopedSigpipeBlock no_sigpipe;
      SSL_shutdown(conn->ssl.get());
    }
    ERR_clear_error();
    conn->ssl.reset();
  }
  conn->ctx.reset();
}

int ssl_connect(connection* conn, const char* hostname) {
  if (conn == nullptr || conn->sock.get() <= 0) return -1;
  conn->ssl.reset();
  conn->ctx.reset();

  // A TLS client method pinned to 1.2 at both ends.
  conn->ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!conn->ctx || SSL_CTX_set_min_proto_version(conn->ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(conn->ctx.get(), TLS1_2_VERSION) != 1) {
    ZLOG(kLogError, "Cannot create SSL context.\n");
    log_openssl_errors();
    return -1;
  }
  // Every link starts a full handshake: no session is kept or resumed.
  SSL_CTX_set_session_cache_mode(conn->ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(conn->ctx.get(), SSL_OP_NO_TICKET);

  if (!ca_file.empty() || !ca_path.empty()) {
    if (SSL_CTX_load_verify_locations(conn->ctx.get(), ca_file.empty() ? nullptr : ca_file.c_str(),
                                      ca_path.empty() ? nullptr : ca_path.c_str()) != 1) {
      ZLOG(kLogError, "Cannot load SSL certificate chain : %s. %s.\n", or_null_text(ca_file),
           or_null_text(ca_path));
      log_openssl_errors();
      return -1;
    }
  }
  if (SSL_CTX_set_cipher_list(conn->ctx.get(), kBrokerCipherList) != 1) {
    ZLOG(kLogError, "Cannot set SSL cipher suite.\n");
    log_openssl_errors();
    return -1;
  }
  conn->ssl.reset(SSL_new(conn->ctx.get()));
  if (!conn->ssl) {
    ZLOG(kLogError, "Cannot create SSL handle.\n");
    log_openssl_errors();
    conn->ctx.reset();
    return -1;
  }
  if (SSL_set_fd(conn->ssl.get(), conn->sock.get()) != 1) {
    ZLOG(kLogError, "Cannot set SSL fd.\n");
    log_openssl_errors();
    ssl_disconnect(conn);
    return -1;
  }
  // The system's default trust store is always in use, with ca_file/ca_path
  // added when set; a chain that does not verify fails the handshake.
  SSL_CTX_set_default_verify_paths(conn->ctx.get());
  SSL_set_verify(conn->ssl.get(), SSL_VERIFY_PEER, nullptr);

  int code = SSL_ERROR_NONE;
  int error_number = 0;
  if (bounded_handshake(conn, &code, &error_number) != 1) {
    ZLOG(kLogError, "Could not connect to SSL server %d.\n", code);
    log_ssl_error_code(code, error_number);
    log_openssl_errors();
    ssl_disconnect(conn);
    return -1;
  }

  std::unique_ptr<X509, X509Deleter> peer(SSL_get1_peer_certificate(conn->ssl.get()));
  if (!peer) {
    ssl_disconnect(conn);
    return -1;
  }
  if (validate_hostname(hostname, peer.get()) != 1) {
    ZLOG(kLogError, "Hostname validation failed.\n");
    ssl_disconnect(conn);
    return -1;
  }
  return 0;
}

int connection_read(connection* conn, void* buffer, std::size_t size) {
  if (conn == nullptr) return -1;
  const int wanted = clamp_to_int(size);
  if (!conn->ssl) {
    // errno is cleared so that a 0 (peer closed) never carries a stale EAGAIN.
    errno = 0;
    return static_cast<int>(read(conn->sock.get(), buffer, static_cast<std::size_t>(wanted)));
  }
  ERR_clear_error();
  errno = 0;
  int result = SSL_read(conn->ssl.get(), buffer, wanted);
  const int error_number = errno;
  if (result > 0) return result;
  if (result == 0) {
    ZLOG(kLogEvent, "SSL_read == 0 errno: '%s'.\n", std::strerror(error_number));
    ERR_clear_error();
    errno = 0;
    return 0;
  }
  const int code = SSL_get_error(conn->ssl.get(), result);
  // "Not yet": a record only partly in, or a signal. A peer that sends one
  // byte a segment makes this the common case: it is never logged.
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ||
      (code == SSL_ERROR_SYSCALL && not_yet(error_number))) {
    ERR_clear_error();
    errno = EAGAIN;
    return 0;
  }
  ZLOG(kLogEvent, "SSL_read < 0 errno: '%s'.\n", std::strerror(error_number));
  log_ssl_error_code(code, error_number);
  ZLOG(kLogWarning, "openssl read result: '%d', error: '%d', errno: '%d'.\n", result, code,
       error_number);
  log_openssl_errors();
  errno = error_number;
  return result;
}

int connection_try_write(connection* conn, const void* bytes, std::size_t length,
                         short* events) {
  if (conn == nullptr) return -1;
  const int wanted = clamp_to_int(length);
  *events = POLLOUT;
  int result = 0;
  int code = SSL_ERROR_NONE;
  if (conn->ssl) {
    ERR_clear_error();
    ScopedSigpipeBlock no_sigpipe;
    errno = 0;
    result = SSL_write(conn->ssl.get(), bytes, wanted);
    if (result <= 0) code = SSL_get_error(conn->ssl.get(), result);
  } else {
    result = static_cast<int>(
        send(conn->sock.get(), bytes, static_cast<std::size_t>(wanted), MSG_NOSIGNAL));
  }
  if (result > 0) return result;
  const int error_number = errno;
  if (code == SSL_ERROR_WANT_READ) *events = POLLIN;
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ||
      ((!conn->ssl || code == SSL_ERROR_SYSCALL) && result < 0 && not_yet(error_number))) {
    ERR_clear_error();
    return 0;
  }
  ZLOG(kLogError, "Wroted less then needed: %d\n", result);
  if (conn->ssl) log_openssl_errors();
  errno = error_number;
  return result < 0 ? result : -1;
}

int connection_write(connection* conn, const void* bytes, std::size_t length) {
  if (conn == nullptr) return -1;
  const int wanted = clamp_to_int(length);
  int result = 0;
  if (conn->ssl) {
    ERR_clear_error();
    ScopedSigpipeBlock no_sigpipe;
    result = SSL_write(conn->ssl.get(), bytes, wanted);
  } else {
    result = static_cast<int>(
        send(conn->sock.get(), bytes, static_cast<std::size_t>(wanted), MSG_NOSIGNAL));
  }
  if (result >= 0 && static_cast<std::size_t>(result) == length) return result;
  const int error_number = errno;
  ZLOG(kLogError, "Wroted less then needed: %d\n", result);
  if (conn->ssl) log_openssl_errors();
  errno = error_number;
  return result;
}

int connection_pending(const connection* conn) {
  if (conn == nullptr || !conn->ssl) return 0;
  return SSL_pending(conn->ssl.get());
}

int set_nonblocking(connection* conn) {
  if (conn == nullptr) return -1;
  int flags = fcntl(conn->sock.get(), F_GETFL);
  if (flags < 0) flags = 0;
  int result = fcntl(conn->sock.get(), F_SETFL, flags | O_NONBLOCK);
  if (result < 0) {
    ZLOG(kLogDebug, "%s:%s:%d: error %d\n", kLogModule, "set_nonblocking", __LINE__, errno);
  }
  return result;
}

int connection_close(connection* conn) {
  if (conn == nullptr) return -1;
  ssl_disconnect(conn);
  conn->sock.reset();
  return 0;
}
