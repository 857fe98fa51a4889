// A raw UDP peer on loopback for tests that speak the bridge link byte by byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

class UdpPeer {
 public:
  UdpPeer();
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  // `endpoint` is "127.0.0.1:PORT".
  void SendTo(const std::string& endpoint, const Bytes& datagram);
  // The next datagram within `timeoutMs`, and the "host:port" it came from.
  std::optional<Bytes> Receive(int timeoutMs, std::string* from = nullptr);
  // Every datagram that arrives within `timeoutMs` of quiet after the last one.
  std::vector<Bytes> ReceiveAll(int quietMs);

 private:
  int fd_ = -1;
};

// The endpoints of a comma-separated list, as the ready file gives them.
std::vector<std::string> SplitList(const std::string& list);

// A cannelloni datagram with one classic frame, written out by hand.
Bytes SdoDatagram(int node, const Bytes& data, uint8_t sequence = 0);

}  // namespace testing_support
