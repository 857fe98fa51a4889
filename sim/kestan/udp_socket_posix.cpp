#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "udp_socket.h"

namespace kestan {

namespace {

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(endpoint.address);
  addr.sin_port = htons(endpoint.port);
  return addr;
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint* endpoint) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
  long number = std::strtol(port.c_str(), nullptr, 10);
  if (number < 1 || number > 65535) return false;

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
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool UdpSocket::Open() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool UdpSocket::Connect(const Endpoint& peer) {
  sockaddr_in addr = ToSockaddr(peer);
  return connect(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool UdpSocket::SendTo(const Endpoint& to, const void* bytes, size_t size) {
  sockaddr_in addr = ToSockaddr(to);
  ssize_t sent;
  do {
    sent = sendto(static_cast<int>(handle_), bytes, size, 0, reinterpret_cast<sockaddr*>(&addr),
                  sizeof addr);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(size);
}

bool UdpSocket::Send(const void* bytes, size_t size) {
  ssize_t sent;
  do {
    sent = send(static_cast<int>(handle_), bytes, size, 0);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(size);
}

ReceiveResult UdpSocket::Receive(void* buffer, size_t capacity, int timeoutMs, size_t* size,
                                 Endpoint* from) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int fd = static_cast<int>(handle_);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left > 0 ? left : 0));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ReceiveResult::Error;
    if (ready == 0) return ReceiveResult::Timeout;
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    ssize_t got = recvfrom(fd, buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&addr), &length);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return errno == ECONNREFUSED ? ReceiveResult::Refused : ReceiveResult::Error;
    }
    // A datagram larger than the buffer is no datagram of ours.
    if (static_cast<size_t>(got) > capacity) continue;
    *size = static_cast<size_t>(got);
    if (from) {
      from->address = ntohl(addr.sin_addr.s_addr);
      from->port = ntohs(addr.sin_port);
    }
    return ReceiveResult::Datagram;
  }
}

void UdpSocket::Drain() {
  char scratch[2048];
  while (recv(static_cast<int>(handle_), scratch, sizeof scratch, MSG_DONTWAIT) >= 0 ||
         errno == EINTR) {
  }
}

}  // namespace kestan
