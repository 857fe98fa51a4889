#include <winsock2.h>
#include <ws2tcpip.h>

#include "frame_link.h"

namespace corapi_sim {

namespace {

bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET ConnectWithin(const addrinfo* address, int timeoutMs) {
  SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  bool connected = connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0;
  if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    connected = select(0, nullptr, &writable, &failed, &timeout) == 1 && FD_ISSET(s, &writable);
  }
  if (!connected) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  nonBlocking = 0;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  // A few frames of room: a busy moment passes without losing frames, yet a grabber that falls
  // behind loses them rather than delivering old ones late.
  int size = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  return s;
}

}  // namespace

FrameLink::~FrameLink() {
  Close();
}

bool FrameLink::Connect(const std::string& endpoint, int timeoutMs) {
  Close();
  std::string host, port;
  if (!StartSockets() || !SplitEndpoint(endpoint, &host, &port)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* addresses = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) return false;
  for (addrinfo* address = addresses; address && socket_ < 0; address = address->ai_next) {
    SOCKET s = ConnectWithin(address, timeoutMs);
    if (s != INVALID_SOCKET) socket_ = static_cast<long long>(s);
  }
  freeaddrinfo(addresses);
  return socket_ >= 0;
}

bool FrameLink::ReadExact(void* data, size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    int chunk = size > (1u << 30) ? 1 << 30 : static_cast<int>(size);
    int got = recv(static_cast<SOCKET>(socket_), bytes, chunk, 0);
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

void FrameLink::Shutdown() {
  if (socket_ >= 0) shutdown(static_cast<SOCKET>(socket_), SD_BOTH);
}

void FrameLink::Close() {
  if (socket_ >= 0) closesocket(static_cast<SOCKET>(socket_));
  socket_ = -1;
}

}  // namespace corapi_sim
