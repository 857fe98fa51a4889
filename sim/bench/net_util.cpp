#include "net_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace sim {

namespace {

int BindLoopback(int type, int port, int* boundPort) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(fd);
    return -1;
  }
  *boundPort = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int ListenTcpLoopback(int port, int* boundPort) {
  int fd = BindLoopback(SOCK_STREAM, port, boundPort);
  if (fd >= 0 && listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int BindUdpLoopback(int port, int* boundPort) {
  return BindLoopback(SOCK_DGRAM, port, boundPort);
}

bool WriteAll(int fd, const void* data, size_t size) {
  auto bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t sent = write(fd, bytes, size);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

}  // namespace sim
