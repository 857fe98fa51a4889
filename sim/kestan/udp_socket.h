// The bridge library's one OS seam: a UDP socket on IPv4 and the parsing of "host:port".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestan {

struct Endpoint {
  uint32_t address = 0;  // IPv4, host byte order
  uint16_t port = 0;
  bool operator==(const Endpoint&) const = default;
};

// "host:port", the host a dotted IPv4 address or a name that resolves to one, the port 1..65535.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint);

enum class ReceiveResult { Datagram, Timeout, Refused, Error };

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // A socket on any free local port; false when the system gives none.
  bool Open();
  // From then on only datagrams from `peer` arrive, and a peer that is not listening is reported
  // as Refused by Receive.
  bool Connect(const Endpoint& peer);
  bool SendTo(const Endpoint& to, const void* bytes, size_t size);
  bool Send(const void* bytes, size_t size);
  // Waits at most `timeoutMs` for one datagram; its size in *size, its sender in *from.
  ReceiveResult Receive(void* buffer, size_t capacity, int timeoutMs, size_t* size, Endpoint* from);
  // Throws away every datagram already waiting.
  void Drain();

 private:
  intptr_t handle_ = -1;
};

}  // namespace kestan
