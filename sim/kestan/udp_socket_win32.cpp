#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "udp_socket.h"

namespace kestan {

namespace {

// Winsock must be started once per process before any socket call; it stays up until exit.
bool StartWinsock() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(endpoint.address);
  addr.sin_port = htons(endpoint.port);
  return addr;
}

SOCKET Handle(intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint* endpoint) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
  long number = std::strtol(port.c_str(), nullptr, 10);
  if (number < 1 || number > 65535 || !StartWinsock()) return false;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  endpoint->address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  endpoint->port = static_cast<uint16_t>(number);
  freeaddrinfo(found);
  return true;
}

UdpSocket::~UdpSocket() {
  if (handle_ >= 0) closesocket(Handle(handle_));
}

bool UdpSocket::Open() {
  if (!StartWinsock()) return false;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  handle_ = static_cast<intptr_t>(s);
  return true;
}

bool UdpSocket::Connect(const Endpoint& peer) {
  sockaddr_in addr = ToSockaddr(peer);
  return connect(Handle(handle_), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool UdpSocket::SendTo(const Endpoint& to, const void* bytes, size_t size) {
  sockaddr_in addr = ToSockaddr(to);
  int sent = sendto(Handle(handle_), static_cast<const char*>(bytes), static_cast<int>(size), 0,
                    reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return sent == static_cast<int>(size);
}

bool UdpSocket::Send(const void* bytes, size_t size) {
  int sent = send(Handle(handle_), static_cast<const char*>(bytes), static_cast<int>(size), 0);
  return sent == static_cast<int>(size);
}

ReceiveResult UdpSocket::Receive(void* buffer, size_t capacity, int timeoutMs, size_t* size,
                                 Endpoint* from) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    WSAPOLLFD pfd{Handle(handle_), POLLRDNORM, 0};
    int ready = WSAPoll(&pfd, 1, static_cast<INT>(left > 0 ? left : 0));
    if (ready == SOCKET_ERROR) return ReceiveResult::Error;
    if (ready == 0) return ReceiveResult::Timeout;
    sockaddr_in addr{};
    int length = sizeof addr;
    int got = recvfrom(Handle(handle_), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                       reinterpret_cast<sockaddr*>(&addr), &length);
    if (got == SOCKET_ERROR) {
      int error = WSAGetLastError();
      if (error == WSAEMSGSIZE || error == WSAEWOULDBLOCK) continue;  // not a datagram of ours
      // Windows reports an ICMP port unreachable as a reset, on connected and unconnected sockets.
      return error == WSAECONNRESET || error == WSAECONNREFUSED ? ReceiveResult::Refused
                                                                : ReceiveResult::Error;
    }
    *size = static_cast<size_t>(got);
    if (from) {
      from->address = ntohl(addr.sin_addr.s_addr);
      from->port = ntohs(addr.sin_port);
    }
    return ReceiveResult::Datagram;
  }
}

void UdpSocket::Drain() {
  // Bounded: a socket with an error pending stays readable until the error is read.
  char scratch[2048];
  for (int i = 0; i < 256; ++i) {
    WSAPOLLFD pfd{Handle(handle_), POLLRDNORM, 0};
    if (WSAPoll(&pfd, 1, 0) <= 0) return;
    recv(Handle(handle_), scratch, sizeof scratch, 0);
  }
}

}  // namespace kestan
