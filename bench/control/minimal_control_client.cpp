// The smallest client that makes the control tool's exchange: connect to
// 127.0.0.1:14369, send the pause_connections request, half-close, read the
// reply once, print it and exit with its code. The benchmark compares the
// control tool's whole run against this one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main() {
  constexpr char kRequest[] = "{\"command\":\"pause_connections\"}";
  constexpr unsigned short kPort = 14369;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 254;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 254;
  if (::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) < 0) return 254;
  ::shutdown(fd, SHUT_WR);
  char reply[256];
  ssize_t n = ::recv(fd, reply, sizeof reply - 1, 0);
  reply[n > 0 ? n : 0] = '\0';
  ::close(fd);
  int code = 0;
  std::sscanf(reply, "{\"result\":%8d}", &code);
  std::printf("{\"result\":%d}\n", code);
  return code;
}
