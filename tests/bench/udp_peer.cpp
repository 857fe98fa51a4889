#include "udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

namespace {

sockaddr_in Address(const std::string& endpoint) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  auto colon = endpoint.rfind(':');
  inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &addr.sin_addr);
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(colon + 1))));
  return addr;
}

}  // namespace

UdpPeer::UdpPeer() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

UdpPeer::~UdpPeer() {
  close(fd_);
}

void UdpPeer::SendTo(const std::string& endpoint, const Bytes& datagram) {
  sockaddr_in addr = Address(endpoint);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

std::optional<Bytes> UdpPeer::Receive(int timeoutMs, std::string* from) {
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0) return std::nullopt;
  Bytes datagram(65536);
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  ssize_t got = recvfrom(fd_, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr*>(&addr), &length);
  if (got < 0) return std::nullopt;
  datagram.resize(static_cast<size_t>(got));
  if (from) {
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    *from = std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
  }
  return datagram;
}

std::vector<Bytes> UdpPeer::ReceiveAll(int quietMs) {
  std::vector<Bytes> all;
  while (auto datagram = Receive(quietMs))
    all.push_back(*datagram);
  return all;
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  for (size_t start = 0; start < list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    items.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

Bytes SdoDatagram(int node, const Bytes& data, uint8_t sequence) {
  uint32_t id = 0x600 + static_cast<uint32_t>(node);
  Bytes datagram{2,
                 0,
                 sequence,
                 0,
                 1,
                 0,
                 0,
                 static_cast<uint8_t>(id >> 8),
                 static_cast<uint8_t>(id),
                 static_cast<uint8_t>(data.size())};
  for (uint8_t byte : data)
    datagram.push_back(byte);
  return datagram;
}

}  // namespace testing_support
