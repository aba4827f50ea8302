// Opening the broker link: name lookup, TCP connect, then TLS or a tunnel
// through the configured HTTP, HTTPS, SOCKS4 or SOCKS5 proxy.
#include "broker/proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "broker/base64.h"
#include "broker/net_helper.h"
#include "broker/socks.h"
#include "config/config.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "proxy";

constexpr std::size_t kHttpReadChunk = 256;
constexpr std::size_t kResolvConfLineSize = 1024;
constexpr const char* kResolvConfPath = "/etc/resolv.conf";
constexpr std::size_t kPortTextSize = 6;  // at most 5 digits and a NUL
constexpr std::uint32_t kPortMask = 0xFFFF;
constexpr std::size_t kMaxCredentialLength = 255;

constexpr const char* kHeaderEnd = "\r\n\r\n";
constexpr std::size_t kHeaderEndLength = 4;
constexpr const char* kContentLength = "Content-Length:";
constexpr const char* kContentLengthUpper = "CONTENT-LENGTH:";
constexpr std::size_t kContentLengthNameLength = 15;
constexpr const char* kProxyAuthenticate = "Proxy-Authenticate:";

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoPtr = std::unique_ptr<addrinfo, AddrinfoDeleter>;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool contains(const std::string& text, const char* what) {
  return text.find(what) != std::string::npos;
}

bool tunnel_established(const std::string& answer) {
  return contains(answer, "200") && contains(answer, "Connection established");
}

bool authentication_required(const std::string& answer) {
  return contains(answer, "407") && contains(answer, "Proxy Authentication Required");
}

[[noreturn]] void out_of_memory() {
  ZLOG(kLogError, "malloc().\n");
  std::exit(1);
}

// Logs the resolver's name servers and every line of /etc/resolv.conf, for
// diagnosing a failed lookup on a device nobody can log in to.
void log_dns_diagnostics() {
#if defined(__GLIBC__)
  struct __res_state state;
  std::memset(&state, 0, sizeof state);
  if (res_ninit(&state) == 0) {
    ZLOG(kLogDebug, "system has %d DNS servers\n", state.nscount);
    for (int i = 0; i < state.nscount && i < MAXNS; ++i) {
      char text[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &state.nsaddr_list[i].sin_addr, text, sizeof text);
      ZLOG(kLogDebug, "system has following DNS %s\n", text);
    }
    res_nclose(&state);
  }
#else
  // C libraries without a per-thread resolver state (musl): the name servers
  // are the "nameserver" lines of the configuration file.
  {
    std::unique_ptr<std::FILE, FileCloser> conf(std::fopen(kResolvConfPath, "r"));
    int count = 0;
    char line[kResolvConfLineSize];
    std::vector<std::string> servers;
    while (conf && std::fgets(line, sizeof line, conf.get()) != nullptr) {
      char address[INET6_ADDRSTRLEN + 1];
      if (std::sscanf(line, " nameserver %46s", address) == 1) {
        ++count;
        servers.emplace_back(address);
      }
    }
    ZLOG(kLogDebug, "system has %d DNS servers\n", count);
    for (const std::string& server : servers) {
      ZLOG(kLogDebug, "system has following DNS %s\n", server.c_str());
    }
  }
#endif
  std::unique_ptr<std::FILE, FileCloser> conf(std::fopen(kResolvConfPath, "r"));
  if (!conf) return;
  char line[kResolvConfLineSize];
  while (std::fgets(line, sizeof line, conf.get()) != nullptr) {
    // A last line without a line feed has met the end of the file: not logged.
    if (std::feof(conf.get())) break;
    ZLOG(kLogDebug, "resolv conf file has following values: '%s'\n", log_escape(line).c_str());
  }
}

std::string format_connect_request(const char* host, std::uint16_t port,
                                   const std::string* credentials) {
  std::string request;
  try {
    // CONNECT host:port HTTP/1.1\r\n
    // Host: host\r\n
    // [Proxy-Authorization: Basic <base64 of user:password>\r\n]
    // Proxy-Connection: Keep-Alive\r\n
    // \r\n
    request = "CONNECT ";
    request += host;
    request += ':';
    request += std::to_string(port);
    request += " HTTP/1.1\r\nHost: ";
    request += host;
    request += "\r\n";
    if (credentials != nullptr) {
      // No blank before the line end: proxies refuse "Basic <text> \r\n".
      request += "Proxy-Authorization: Basic ";
      request += *credentials;
      request += "\r\n";
    }
    request += "Proxy-Connection: Keep-Alive\r\n\r\n";
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
  return request;
}

}  // namespace

const addrinfo* pick_broker_address(const addrinfo* list) {
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) return entry;
  }
  return list;
}

int tcp_connect(const addrinfo* entry) {
  if (entry == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // Close-on-exec: handler programs started by the agent must not inherit
  // (and keep open) the link to the zelbroker.
  UniqueFd sock(socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
  if (!sock) {
    int error = errno;
    ZLOG(kLogError, "Can't open socket: %s.\n", std::strerror(error));
    errno = error;
    return -1;
  }
  int error = 0;
  {
    // Connect without blocking so that the wait is bounded; the socket is
    // back in blocking mode when handed over.
    NonblockingScope nonblocking(sock.get());
    if (connect(sock.get(), entry->ai_addr, entry->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS || error == EINTR) {
        int ready = wait_for_socket(sock.get(), POLLOUT, broker_step_deadline(), "TCP connect");
        if (ready == 1) {
          socklen_t size = sizeof error;
          if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        } else {
          error = ready == 0 ? ETIMEDOUT : ECANCELED;
        }
      }
    }
  }
  if (error != 0) {
    ZLOG(kLogWarning, "Can't connect to server, errno=%d - %s.\n", error, std::strerror(error));
    sock.reset();
    errno = error;
    return -1;
  }
  return sock.release();
}

bool http_answer_complete(const std::string& answer, http_answer_scan* scan) {
  if (!scan->header_end_found) {
    std::size_t end = answer.find(kHeaderEnd);
    if (end == std::string::npos) return false;
    scan->header_end_found = true;
    scan->header_end = end;
    // Only these two spellings are recognised, and only among the headers:
    // the same text in the body must not count, or the verdict would depend
    // on how much of the body came with the header end.
    std::size_t name = answer.find(kContentLength);
    if (name == std::string::npos || name > end) name = answer.find(kContentLengthUpper);
    if (name == std::string::npos || name > end) return true;
    long long body = std::strtoll(answer.c_str() + name + kContentLengthNameLength, nullptr, 10);
    // A proxy's number is not trusted: a negative length means no body, and
    // one past what read_http_answer gathers at all cannot be met anyway
    // (clamping also keeps the sum below from overflowing).
    if (body < 0) body = 0;
    if (body > static_cast<long long>(kMaxHttpAnswerSize)) {
      body = static_cast<long long>(kMaxHttpAnswerSize) + 1;
    }
    scan->has_length = true;
    scan->expected_total = body + static_cast<long long>(end + kHeaderEndLength);
  }
  if (!scan->has_length) return true;
  return static_cast<long long>(answer.size()) >= scan->expected_total;
}

std::optional<std::string> read_http_answer(connection* conn) {
  const StepDeadline deadline = broker_step_deadline();
  std::string answer;
  http_answer_scan scan;
  char chunk[kHttpReadChunk];
  for (;;) {
    int got = connection_read_before(conn, chunk, sizeof chunk, deadline, "HTTP proxy answer");
    if (got < 0) {
      int error = errno;
      ZLOG(kLogError, "Read, errno=%d - %s.\n", error, std::strerror(error));
      return std::nullopt;
    }
    if (got == 0) {
      ZLOG(kLogError, "Connection closed. \n");
      return std::nullopt;
    }
    ZLOG(kLogDebug, "readed %d bytes from http answer.\n", got);
    if (answer.size() + static_cast<std::size_t>(got) > kMaxHttpAnswerSize) {
      ZLOG(kLogError, "Proxy answer is longer than %d bytes.\n",
           static_cast<int>(kMaxHttpAnswerSize));
      return std::nullopt;
    }
    try {
      answer.append(chunk, static_cast<std::size_t>(got));
    } catch (const std::bad_alloc&) {
      ZLOG(kLogError, "realloc().\n");
      std::exit(1);
    }
    const bool had_header_end = scan.header_end_found;
    bool complete = http_answer_complete(answer, &scan);
    if (!had_header_end && scan.header_end_found) {
      ZLOG(kLogDebug, "Found header end\n");
      if (scan.has_length) ZLOG(kLogDebug, "Found content lenght.\n");
    }
    if (complete) return answer;
  }
}

std::optional<std::string> send_http_request(connection* conn, const char* request,
                                             std::size_t length) {
  int sent = connection_write_before(conn, request, length, broker_step_deadline(), "HTTP proxy request");
  if (sent < 0) {
    int error = errno;
    ZLOG(kLogError, "Cannot send request to http, errno=%d - %s.\n", error, std::strerror(error));
    return std::nullopt;
  }
  // Only the request line: the headers may carry the proxy's credentials.
  const std::string_view text(request, length);
  ZLOG(kLogDebug, "Sending request : %s\n", log_escape(text.substr(0, text.find("\r\n"))).c_str());
  return read_http_answer(conn);
}

int http_proxy_connect_basic(connection* conn, const char* host, std::uint16_t port,
                             const char* username, const char* password) {
  if (host == nullptr || username == nullptr || password == nullptr) return -1;
  if (std::strlen(username) > kMaxCredentialLength || std::strlen(password) > kMaxCredentialLength) {
    ZLOG(kLogError, "Proxy user name or password is longer than %d bytes.\n",
         static_cast<int>(kMaxCredentialLength));
    return -1;
  }
  std::string joined = std::string(username) + ":" + password;
  std::string credentials = base64_encode(joined.data(), joined.size());
  std::string request = format_connect_request(host, port, &credentials);
  std::optional<std::string> answer = send_http_request(conn, request.data(), request.size());
  if (!answer) {
    ZLOG(kLogError, "Cannot get answer.\n");
    return -1;
  }
  ZLOG(kLogDebug, "Received after autorization: %s.\n", log_escape(*answer).c_str());
  if (tunnel_established(*answer)) {
    ZLOG(kLogInfo, "Connected to server.\n");
    return 0;
  }
  if (authentication_required(*answer)) {
    ZLOG(kLogError, "Could not connect to server with given credentials.\n");
  }
  return -1;
}

int http_proxy_connect(connection* conn, const char* host, std::uint16_t port,
                       const addrinfo* proxy_entry) {
  ZLOG(kLogDebug, "Connecting to http proxy. \n");
  if (conn == nullptr || host == nullptr) return -1;
  std::string request = format_connect_request(host, port, nullptr);
  std::optional<std::string> answer = send_http_request(conn, request.data(), request.size());
  if (!answer) {
    ZLOG(kLogError, "Cannot get answer.\n");
    return -1;
  }
  ZLOG(kLogDebug, "Received from proxy server: %s\n", log_escape(*answer).c_str());
  if (tunnel_established(*answer)) {
    ZLOG(kLogDebug, "Connected to server.\n");
    return 0;
  }
  if (!authentication_required(*answer)) return -1;

  ZLOG(kLogInfo, "Autentification required.\n");
  std::size_t header = answer->find(kProxyAuthenticate);
  if (header == std::string::npos) {
    ZLOG(kLogError, "Cannot find proxy auth method.\n");
    return -1;
  }
  // Basic only when offered on that first Proxy-Authenticate line.
  const std::size_t after_name = header + std::strlen(kProxyAuthenticate);
  const std::size_t line_end = answer->find('\n', after_name);
  const std::size_t basic = answer->find("Basic", after_name);
  if (line_end == std::string::npos || basic == std::string::npos || basic > line_end) {
    ZLOG(kLogError, "Could not find appropriate method to authentificate on proxy.\n");
    return -1;
  }
  ZLOG(kLogInfo, "found basic authentification.\n");

  // The proxy may close after its 407: answer on a new socket in the same record.
  const bool had_tls = conn->ssl != nullptr;
  connection_close(conn);
  int sock = tcp_connect(proxy_entry);
  if (sock < 0) {
    ZLOG(kLogError, "cannot open socket for auth to proxy.");
    return -1;
  }
  conn->sock.reset(sock);
  // The replacement carries the broker link as the first socket would have.
  if (enable_keepalive(sock) != 0) {
    ZLOG(kLogError, "Can not set keepalive options for the socket.\n");
  }
  if (had_tls && ssl_connect(conn, host) != 0) return -1;

  std::optional<std::string> username = config_get_string(kKeyZelcloudProxyUsername);
  std::optional<std::string> password = config_get_string(kKeyZelcloudProxyPassword);
  if (!username || !password) return -1;
  if (http_proxy_connect_basic(conn, host, port, username->c_str(), password->c_str()) != 0) {
    ZLOG(kLogError, "Cannot connect to server using proxy.\n");
    return -1;
  }
  return 0;
}

std::unique_ptr<connection> open_broker_connection(const char* host, std::uint16_t port,
                                                   int use_tls) {
  if (host == nullptr) return nullptr;
  const std::uint32_t proxy_type =
      config_get_uint32_default(kKeyZelcloudUseProxy, kDefaultZelcloudUseProxy);

  std::string lookup_host = host;
  std::uint16_t lookup_port = port;
  if (proxy_type != kProxyNone) {
    lookup_port = static_cast<std::uint16_t>(config_get_uint32_default(kKeyZelcloudProxyPort, 0) &
                                             kPortMask);
    if (lookup_port == 0) {
      ZLOG(kLogError, "Could not found proxy port. \n");
      return nullptr;
    }
    std::optional<std::string> proxy_host = config_get_string(kKeyZelcloudProxyHostname);
    if (!proxy_host) {
      ZLOG(kLogError, "Could not find proxy server address.\n");
      return nullptr;
    }
    lookup_host = std::move(*proxy_host);
  }

  char port_text[kPortTextSize];
  std::snprintf(port_text, sizeof port_text, "%u", static_cast<unsigned>(lookup_port));
  // The lookup may wait on a silent name server for minutes: it runs on a
  // helper thread that a stop or the step limit leaves behind.
  struct Lookup {
    std::string host;
    std::string port;
    AddrinfoPtr list;
    int rc = EAI_AGAIN;
  };
  auto lookup = std::make_shared<Lookup>();
  lookup->host = lookup_host;
  lookup->port = port_text;
  const bool looked_up = run_lookup_before(
      [lookup] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        lookup->rc = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, &found);
        lookup->list.reset(found);
      },
      broker_step_deadline(), "name lookup");
  if (!looked_up) return nullptr;
  const int rc = lookup->rc;
  AddrinfoPtr list = std::move(lookup->list);
  if (rc != 0) {
    ZLOG(kLogWarning, "Can't resolve host '%s'. getaddrinfo returned %d - %s.\n",
         log_escape(lookup_host).c_str(), rc, gai_strerror(rc));
    log_dns_diagnostics();
    return nullptr;
  }
  const addrinfo* entry = pick_broker_address(list.get());
  if (entry == nullptr) {
    ZLOG(kLogError, "Cannot find address to which we should connect to.\n");
    return nullptr;
  }

  int sock = tcp_connect(entry);
  if (sock < 0) {
    int error = errno;
    if (proxy_type != kProxyNone) {
      ZLOG(kLogWarning, "Can't connect to proxy server, errno=%d - %s.\n", error,
           std::strerror(error));
    } else {
      ZLOG(kLogWarning, "Can't connect to '%s':%d, errno=%d - %s.\n", log_escape(host).c_str(), port, error,
           std::strerror(error));
    }
    return nullptr;
  }
  if (enable_keepalive(sock) != 0) {
    ZLOG(kLogError, "Can not set keepalive options for the socket.\n");
  }
  auto conn = std::make_unique<connection>();
  conn->sock.reset(sock);

  bool ok = false;
  switch (proxy_type) {
    case kProxyNone:
      ok = use_tls == 0 || ssl_connect(conn.get(), host) == 0;
      if (!ok) ZLOG(kLogError, "Cannot create ssl connection to broker.\n");
      break;
    case kProxyHttp:
      ok = http_proxy_connect(conn.get(), host, port, entry) == 0;
      if (!ok) ZLOG(kLogError, "Cannot connect using HTTP proxy.\n");
      break;
    case kProxyHttps:
      // The proxy's certificate is checked against the zelbroker's name.
      if (ssl_connect(conn.get(), host) != 0) {
        ZLOG(kLogError, "Cannot create ssl connection to HTTPS proxy.\n");
        break;
      }
      ok = http_proxy_connect(conn.get(), host, port, entry) == 0;
      if (!ok) ZLOG(kLogError, "Cannot connect using HTTPS proxy.\n");
      break;
    case kProxySocks4:
      ok = socks4_connect(conn.get(), host, port) == 0;
      if (!ok) ZLOG(kLogError, "Cannot connect using SOCK4 proxy.\n");
      break;
    case kProxySocks5:
      ok = socks5_connect(conn.get(), host, port) == 0;
      if (!ok) ZLOG(kLogError, "Cannot connect using SOCK5 proxy.\n");
      break;
    default:
      ZLOG(kLogError, "Unrecognized proxy type");
      break;
  }
  if (!ok) {
    connection_close(conn.get());
    return nullptr;
  }
  return conn;
}
