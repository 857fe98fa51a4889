#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "frame_link.h"

namespace corapi_sim {

namespace {

int ConnectWithin(const addrinfo* address, int timeoutMs) {
  int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = connect(fd, address->ai_addr, address->ai_addrlen);
  if (result != 0 && errno == EINPROGRESS) {
    pollfd pfd{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&pfd, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0)
      result = error == 0 ? 0 : -1;
  }
  if (result != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, flags);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A few frames of room: a busy moment passes without losing frames, yet a grabber that falls
  // behind loses them rather than delivering old ones late.
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return fd;
}

}  // namespace

FrameLink::~FrameLink() {
  Close();
}

bool FrameLink::Connect(const std::string& endpoint, int timeoutMs) {
  Close();
  std::string host, port;
  if (!SplitEndpoint(endpoint, &host, &port)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) return false;
  for (addrinfo* address = addresses; address && socket_ < 0; address = address->ai_next)
    socket_ = ConnectWithin(address, timeoutMs);
  freeaddrinfo(addresses);
  return socket_ >= 0;
}

bool FrameLink::ReadExact(void* data, size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    ssize_t got = recv(static_cast<int>(socket_), bytes, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

void FrameLink::Shutdown() {
  if (socket_ >= 0) shutdown(static_cast<int>(socket_), SHUT_RDWR);
}

void FrameLink::Close() {
  if (socket_ >= 0) close(static_cast<int>(socket_));
  socket_ = -1;
}

}  // namespace corapi_sim
