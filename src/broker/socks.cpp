// SOCKS4 and SOCKS5 CONNECT tunnels through a proxy, to an IPv4 address
// resolved locally.
#include "broker/socks.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker/net_helper.h"
#include "broker/ssl_routine.h"
#include "config/config.h"
#include "log/log.h"

namespace {

constexpr const char* kLogModule = "socks";

constexpr std::uint8_t kSocks4Version = 0x04;
constexpr std::uint8_t kSocks5Version = 0x05;
constexpr std::uint8_t kSocksConnect = 0x01;
constexpr std::uint8_t kSocks4Granted = 0x5A;
constexpr std::uint8_t kSocks5AuthVersion = 0x01;
constexpr std::uint8_t kSocks5AddressIpv4 = 0x01;
constexpr std::uint8_t kMethodNone = 0x00;
constexpr std::uint8_t kMethodGssapi = 0x01;
constexpr std::uint8_t kMethodUserPassword = 0x02;

constexpr int kSocks4RequestSize = 9;
constexpr int kSocks4ReplySize = 8;
constexpr int kSocks5GreetingSize = 4;
constexpr int kSocks5MethodReplySize = 2;
constexpr int kSocks5AuthReplySize = 2;
constexpr int kSocks5ConnectSize = 10;
constexpr int kSocks5ConnectReplySize = 10;

constexpr std::size_t kResolverBufferStart = 1024;
constexpr std::size_t kResolverBufferMax = 65536;

// The zelbroker's IPv4 address in network order, or nothing (WARNING logged).
// gethostbyname_r: the non-reentrant lookup would race with other threads.
// The lookup runs on a helper thread that a stop or the step limit leaves
// behind (a silent name server can hold it for minutes).
std::optional<in_addr> resolve_ipv4(const char* host) {
  struct Lookup {
    std::string host;
    int resolver_error = HOST_NOT_FOUND;
    std::optional<in_addr> address;
  };
  auto lookup = std::make_shared<Lookup>();
  if (host != nullptr) {
    lookup->host = host;
    const bool looked_up = run_lookup_before(
        [lookup] {
          std::vector<char> work(kResolverBufferStart);
          hostent entry{};
          hostent* found = nullptr;
          for (;;) {
            int rc = gethostbyname_r(lookup->host.c_str(), &entry, work.data(), work.size(), &found,
                                     &lookup->resolver_error);
            if (rc == ERANGE && work.size() < kResolverBufferMax) {
              work.resize(work.size() * 2);
              continue;
            }
            break;
          }
          if (found != nullptr && found->h_addrtype == AF_INET &&
              found->h_length == static_cast<int>(sizeof(in_addr)) &&
              found->h_addr_list[0] != nullptr) {
            in_addr address{};
            std::memcpy(&address, found->h_addr_list[0], sizeof address);
            lookup->address = address;
          }
        },
        broker_step_deadline(), "name lookup");
    if (!looked_up) return std::nullopt;  // logged by the wait
    if (lookup->address) return lookup->address;
  }
  const int resolver_error = lookup->resolver_error;
  ZLOG(kLogWarning, "Can't resolve host '%s'. h_errno=%d - %s.\n", log_escape(host ? host : "(null)").c_str(),
       resolver_error, hstrerror(resolver_error));
  return std::nullopt;
}

void put_port(std::uint8_t* where, std::uint16_t port) {
  where[0] = static_cast<std::uint8_t>(port >> 8);
  where[1] = static_cast<std::uint8_t>(port & 0xFF);
}


// Reads a whole reply of `size` bytes before `deadline`: a proxy may send it
// in several TCP segments. Returns `size`, the shorter count when the proxy
// closed first, or the negative result of a failed read.
int read_reply(connection* conn, std::uint8_t* buffer, std::size_t size, StepDeadline deadline,
               const char* step) {
  std::size_t total = 0;
  while (total < size) {
    int got = connection_read_before(conn, buffer + total, size - total, deadline, step);
    if (got < 0) return got;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<int>(total);
}
}  // namespace

const char* socks5_reply_message(int code) {
  switch (code) {
    case 1: return "General SOCKS server failure.\n";
    case 2: return "Connection not allowed by ruleset.\n";
    case 3: return "Network unreachable.\n";
    case 4: return "Host unreachable.\n";
    case 5: return "Connection refused.\n";
    case 6: return "TTL expired.\n";
    case 7: return "Command not supported.\n";
    case 8: return "Address type not supported.\n";
    default: return "SOCKS Error unassigned.\n";
  }
}

int socks5_auth_request(const std::string& username, const std::string& password,
                        std::string* request) {
  if (username.size() > kSocks5MaxCredentialLength ||
      password.size() > kSocks5MaxCredentialLength) {
    ZLOG(kLogError, "Proxy user name or password is longer than %d bytes.\n",
         static_cast<int>(kSocks5MaxCredentialLength));
    return -1;
  }
  // +----+------+----------+------+----------+
  // |VER | ULEN |  UNAME   | PLEN |  PASSWD  |
  // | 01 |  1   | 1 to 255 |  1   | 1 to 255 |
  // +----+------+----------+------+----------+
  std::string bytes;
  bytes += static_cast<char>(kSocks5AuthVersion);
  bytes += static_cast<char>(username.size());
  bytes += username;
  bytes += static_cast<char>(password.size());
  bytes += password;
  *request = std::move(bytes);
  return 0;
}

int socks4_connect(connection* conn, const char* host, std::uint16_t port) {
  ZLOG(kLogDebug, "Trying to connect to sock4.\n");
  std::optional<in_addr> address = resolve_ipv4(host);
  if (!address) return -1;
  const StepDeadline deadline = broker_step_deadline();

  // +----+----+----+----+----+----+----+----+----+
  // | VN | CD | DSTPORT |      DSTIP        | 00 |
  // | 04 | 01 |  2, BE  |  4, network order |    |
  // +----+----+----+----+----+----+----+----+----+
  std::array<std::uint8_t, kSocks4RequestSize> request{};
  request[0] = kSocks4Version;
  request[1] = kSocksConnect;
  put_port(&request[2], port);
  std::memcpy(&request[4], &address->s_addr, sizeof address->s_addr);
  request[8] = 0x00;  // empty user id
  int sent = connection_write_before(conn, request.data(), request.size(), deadline, "SOCKS request");
  if (sent < 0) {
    int error = errno;
    ZLOG(kLogError, "Cannot send CONNECT request, errno=%d - %s.\n", error, std::strerror(error));
    return -1;
  }
  if (sent != kSocks4RequestSize) {
    ZLOG(kLogError, "Sended %d bytes in SOCK4 request instead of %d.\n", sent, kSocks4RequestSize);
    return -1;
  }

  // Reply: | VN | CD | DSTPORT | DSTIP |, CD 0x5A = granted.
  std::array<std::uint8_t, kSocks4ReplySize> reply{};
  int got = read_reply(conn, reply.data(), reply.size(), deadline, "SOCKS4 reply");
  if (got != kSocks4ReplySize) {
    ZLOG(kLogError, "Readed %d bytes in SOCK4 request answer instead of %d.\n", got,
         kSocks4ReplySize);
    return -1;
  }
  if (reply[1] != kSocks4Granted) {
    ZLOG(kLogError, "Could not connect to server using sock4 %d.\n", reply[1]);
    return -1;
  }
  ZLOG(kLogDebug, "Connected to SOCKS4 proxy.\n");
  return 0;
}

int socks5_connect(connection* conn, const char* host, std::uint16_t port) {
  ZLOG(kLogDebug, "Trying to connect to sock5.\n");
  if (!resolve_ipv4(host)) return -1;
  const StepDeadline deadline = broker_step_deadline();

  // Greeting: | VER 05 | NMETHODS 02 | 00 no auth | 02 user/password |
  const std::array<std::uint8_t, kSocks5GreetingSize> greeting{kSocks5Version, 0x02, kMethodNone,
                                                               kMethodUserPassword};
  int sent = connection_write_before(conn, greeting.data(), greeting.size(), deadline, "SOCKS request");
  if (sent < 0) {
    int error = errno;
    ZLOG(kLogError, "Cannot send SOCKS5 hello request, errno=%d - %s.\n", error,
         std::strerror(error));
    return -1;
  }
  if (sent != kSocks5GreetingSize) {
    ZLOG(kLogError, "Sended %d bytes in SOCKS5 hello request request instead of %d", sent,
         kSocks5GreetingSize);
    return -1;
  }

  // Method reply: | VER 05 | METHOD |
  std::array<std::uint8_t, kSocks5MethodReplySize> method_reply{};
  int got = read_reply(conn, method_reply.data(), method_reply.size(), deadline,
                                   "SOCKS5 method reply");
  if (got != kSocks5MethodReplySize) {
    ZLOG(kLogError, "Readed %d bytes in SOCK5 hello request answer instead of %d", got,
         kSocks5MethodReplySize);
    return -1;
  }
  if (method_reply[0] != kSocks5Version) {
    ZLOG(kLogError, "SOCKS5 is not supported on the other side.\n");
    return -1;
  }

  switch (method_reply[1]) {
    case kMethodNone:
      break;
    case kMethodGssapi:
      // Never offered; a proxy that picks it anyway is treated as if it had
      // picked no authentication.
      ZLOG(kLogError, "GSSAPI autorization is not supported yet.\n");
      break;
    case kMethodUserPassword: {
      std::optional<std::string> username = config_get_string(kKeyZelcloudProxyUsername);
      std::optional<std::string> password = config_get_string(kKeyZelcloudProxyPassword);
      if (!username || !password) {
        ZLOG(kLogError,
             "Authentification is required. Username and/or password is not present.\n");
        return -1;
      }
      std::string request;
      if (socks5_auth_request(*username, *password, &request) != 0) return -1;
      sent = connection_write_before(conn, request.data(), request.size(), deadline, "SOCKS request");
      if (sent < 0) {
        int error = errno;
        ZLOG(kLogError, "Cannot send SOCKS5 autorization request, errno=%d - %s.\n", error,
             std::strerror(error));
        return -1;
      }
      // Reply: | VER 01 | STATUS, 0 = success |
      std::array<std::uint8_t, kSocks5AuthReplySize> auth_reply{};
      got = read_reply(conn, auth_reply.data(), auth_reply.size(), deadline,
                                   "SOCKS5 authorization reply");
      if (got != kSocks5AuthReplySize) {
        ZLOG(kLogError, "Readed %d bytes in SOCK5 autorization request answer instead of %d.\n",
             got, kSocks5AuthReplySize);
        return -1;
      }
      if (auth_reply[1] != 0) {
        ZLOG(kLogError, "Error during autorization : %d.\n", auth_reply[1]);
        return -1;
      }
      ZLOG(kLogDebug, "Registered on SOCKS5 server.\n");
      break;
    }
    default:
      ZLOG(kLogError, "Autorization method is not present.\n");
      return -1;
  }

  std::optional<in_addr> address = resolve_ipv4(host);
  if (!address) return -1;

  // +-----+-----+-------+------+----------+----------+
  // | VER | CMD |  RSV  | ATYP | DST.ADDR | DST.PORT |
  // | 05  | 01  |  00   |  01  |    4     |  2, BE   |
  // +-----+-----+-------+------+----------+----------+
  std::array<std::uint8_t, kSocks5ConnectSize> request{};
  request[0] = kSocks5Version;
  request[1] = kSocksConnect;
  request[2] = 0x00;
  request[3] = kSocks5AddressIpv4;
  std::memcpy(&request[4], &address->s_addr, sizeof address->s_addr);
  put_port(&request[8], port);
  sent = connection_write_before(conn, request.data(), request.size(), deadline, "SOCKS request");
  if (sent < 0) {
    int error = errno;
    ZLOG(kLogError, "Cannot send SOCKS5 connection request, errno=%d - %s.\n", error,
         std::strerror(error));
    return -1;
  }
  if (sent != kSocks5ConnectSize) {
    ZLOG(kLogError, "Sended %d bytes in SOCKS5 connection request request instead of %d.\n", sent,
         kSocks5ConnectSize);
    return -1;
  }

  // Reply: | VER | REP | RSV | ATYP | BND.ADDR (4) | BND.PORT (2) |, read as
  // exactly the 10 bytes of an IPv4 reply; only REP is examined.
  std::array<std::uint8_t, kSocks5ConnectReplySize> reply{};
  got = read_reply(conn, reply.data(), reply.size(), deadline,
                               "SOCKS5 connection reply");
  if (got != kSocks5ConnectReplySize) {
    ZLOG(kLogError, "Readed %d bytes in SOCK5 connection request answer instead of %d.\n", got,
         kSocks5ConnectReplySize);
    return -1;
  }
  if (reply[1] != 0) {
    ZLOG(kLogError, "Access denied answer=%d.\n", reply[1]);
    ZLOG(kLogError, "%s", socks5_reply_message(reply[1]));
    return -1;
  }
  return 0;
}
