// The stand-in bridge library: bridges are UDP endpoints that speak the cannelloni format, found by
// the KCBD/KCBI discovery exchange over the addresses in TAPCAL_BRIDGES; the SDO client does CiA
// 301 expedited transfers through the connected bridge.
#include "vendor/kestan_canopen.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cannelloni.h"
#include "kestan_status.h"
#include "sdo_answer.h"
#include "udp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestan::Endpoint;
using kestan::ReceiveResult;
using kestan::SdoResult;
using kestan::SdoTransfer;

constexpr const char* kDefaultBridges = "127.0.0.1:20000";
constexpr char kDiscoveryRequest[4] = {'K', 'C', 'B', 'D'};
constexpr char kDiscoveryReply[4] = {'K', 'C', 'B', 'I'};
constexpr size_t kDiscoveryReplySize = 10;
constexpr int kDiscoveryWindowMs = 300;
constexpr int kDiscoveryResendMs = 100;
constexpr uint32_t kFirstBridgeId = 0x4B430001;

std::mutex libraryMutex;
// Every bridge address discovery has ever listed; a bridge's id is its position here plus
// kFirstBridgeId, so the same bridge keeps its id across scans.
std::vector<Endpoint> knownBridges;

struct Connection {
  kestan::UdpSocket socket;
  uint8_t sequence = 0;
};
std::unique_ptr<Connection> connection;

uint32_t IdOf(const Endpoint& endpoint) {
  auto it = std::find(knownBridges.begin(), knownBridges.end(), endpoint);
  if (it == knownBridges.end()) it = knownBridges.insert(it, endpoint);
  return kFirstBridgeId + static_cast<uint32_t>(it - knownBridges.begin());
}

// The addresses to probe, in the order given, each once. False when an entry is not host:port.
bool BridgeAddresses(std::vector<Endpoint>& addresses) {
  const char* configured = std::getenv("TAPCAL_BRIDGES");
  std::string list = configured ? configured : kDefaultBridges;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = std::min(list.find(',', start), list.size());
    std::string entry = list.substr(start, end - start);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    start = end + 1;
    if (entry.empty()) continue;
    Endpoint endpoint;
    if (!kestan::ParseEndpoint(entry, &endpoint)) return false;
    if (std::find(addresses.begin(), addresses.end(), endpoint) == addresses.end())
      addresses.push_back(endpoint);
  }
  return true;
}

bool IsDiscoveryReply(const uint8_t* bytes, size_t size) {
  return size >= kDiscoveryReplySize && std::memcmp(bytes, kDiscoveryReply, 4) == 0;
}

int ElapsedMs(Clock::time_point since) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Asks a bridge that the connection's socket is bound to whether it is there.
bool ProbeBridge(kestan::UdpSocket& socket) {
  auto start = Clock::now();
  for (int sentAt = 0; sentAt < kDiscoveryWindowMs; sentAt += kDiscoveryResendMs) {
    if (!socket.Send(kDiscoveryRequest, sizeof kDiscoveryRequest)) return false;
    for (;;) {
      int left = std::min(sentAt + kDiscoveryResendMs, kDiscoveryWindowMs) - ElapsedMs(start);
      if (left <= 0) break;
      uint8_t reply[1500];
      size_t size = 0;
      ReceiveResult result = socket.Receive(reply, sizeof reply, left, &size, nullptr);
      if (result == ReceiveResult::Datagram) {
        if (IsDiscoveryReply(reply, size)) return true;
        continue;
      }
      if (result != ReceiveResult::Timeout) return false;
    }
  }
  return false;
}

void SendFrame(Connection& link, int node, const std::array<uint8_t, 8>& data) {
  auto frame =
      cannelloni::DataFrame(kestan::kSdoRequestBase + static_cast<uint32_t>(node), data.data(), 8);
  auto datagram = cannelloni::Encode({frame}, link.sequence++);
  link.socket.Send(datagram.data(), datagram.size());
}

// One transfer: the request, then datagrams until one ends it or the time is up.
SdoResult Run(const SdoTransfer& transfer, uint8_t* data, uint32_t* abortCode) {
  if (!connection) return SdoResult::NotConnected;
  Connection& link = *connection;
  // An answer that came after its request timed out must not pass for the answer to this one.
  link.socket.Drain();
  SendFrame(link, transfer.node, kestan::SdoRequestData(transfer, data));
  auto start = Clock::now();
  for (;;) {
    int left = kestan::kSdoTimeoutMs - ElapsedMs(start);
    if (left <= 0) return SdoResult::Timeout;
    uint8_t datagram[2048];
    size_t size = 0;
    ReceiveResult result = link.socket.Receive(datagram, sizeof datagram, left, &size, nullptr);
    if (result == ReceiveResult::Timeout) return SdoResult::Timeout;
    if (result != ReceiveResult::Datagram) return SdoResult::LinkError;
    auto verdict = kestan::JudgeDatagram(transfer, datagram, size);
    if (!verdict) continue;
    if (verdict->abortServer)
      SendFrame(link, transfer.node, kestan::SdoAbortData(transfer, verdict->abortCode));
    if (verdict->result == SdoResult::Ok && transfer.upload)
      std::copy(verdict->value.begin(), verdict->value.begin() + transfer.size, data);
    *abortCode = verdict->abortCode;
    return verdict->result;
  }
}

int Sdo(bool upload, int node, int index, int subindex, void* data, int size, void* status) {
  auto start = Clock::now();
  SdoResult result = SdoResult::BadArgument;
  uint32_t abortCode = 0;
  if (node >= 1 && node <= 127 && index >= 0 && index <= 0xFFFF && subindex >= 0 &&
      subindex <= 0xFF && size >= 1 && size <= 4 && data) {
    std::lock_guard lock(libraryMutex);
    result = Run({node, index, subindex, upload, size}, static_cast<uint8_t*>(data), &abortCode);
  }
  if (status) {
    kestan::SdoStatus block{static_cast<uint32_t>(result), abortCode,
                            static_cast<uint32_t>(ElapsedMs(start))};
    std::memcpy(status, &block, sizeof block);
  }
  return result == SdoResult::Ok ? 1 : 0;
}

}  // namespace

int CAN_EnumerateBridges(BridgeRecord* bridges, int capacity) {
  if (capacity < 0 || (capacity > 0 && !bridges)) return -1;
  std::vector<Endpoint> addresses;
  if (!BridgeAddresses(addresses)) return -1;
  std::vector<std::optional<std::array<uint8_t, 6>>> macs(addresses.size());
  if (!addresses.empty()) {
    kestan::UdpSocket socket;
    if (!socket.Open()) return -1;
    auto start = Clock::now();
    size_t answered = 0;
    for (int sentAt = 0; sentAt < kDiscoveryWindowMs && answered < addresses.size();
         sentAt += kDiscoveryResendMs) {
      for (size_t i = 0; i < addresses.size(); ++i)
        if (!macs[i] && !socket.SendTo(addresses[i], kDiscoveryRequest, sizeof kDiscoveryRequest))
          return -1;
      while (answered < addresses.size()) {
        int left = std::min(sentAt + kDiscoveryResendMs, kDiscoveryWindowMs) - ElapsedMs(start);
        if (left <= 0) break;
        uint8_t reply[1500];
        size_t size = 0;
        Endpoint from;
        ReceiveResult result = socket.Receive(reply, sizeof reply, left, &size, &from);
        if (result == ReceiveResult::Timeout) break;
        if (result == ReceiveResult::Error) return -1;
        if (result != ReceiveResult::Datagram || !IsDiscoveryReply(reply, size)) continue;
        auto it = std::find(addresses.begin(), addresses.end(), from);
        if (it == addresses.end()) continue;
        auto& mac = macs[static_cast<size_t>(it - addresses.begin())];
        if (mac) continue;
        mac.emplace();
        std::copy(reply + 4, reply + 10, mac->begin());
        ++answered;
      }
    }
  }

  std::lock_guard lock(libraryMutex);
  int found = 0;
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (!macs[i]) continue;
    if (found < capacity) {
      BridgeRecord record{};
      record.bridgeId = IdOf(addresses[i]);
      std::copy(macs[i]->begin(), macs[i]->end(), record.macAddress);
      std::memcpy(&bridges[found], &record, sizeof record);
    }
    ++found;
  }
  return found;
}

int CAN_Connect(uint32_t bridgeId) {
  std::lock_guard lock(libraryMutex);
  // A failed attempt leaves no connection: the calls after it must not reach the old bridge.
  connection.reset();
  if (bridgeId < kFirstBridgeId || bridgeId - kFirstBridgeId >= knownBridges.size()) return -1;
  auto link = std::make_unique<Connection>();
  if (!link->socket.Open() || !link->socket.Connect(knownBridges[bridgeId - kFirstBridgeId]) ||
      !ProbeBridge(link->socket))
    return -1;
  connection = std::move(link);
  return 0;
}

int CAN_SDORead(int node, int index, int subindex, void* data, int size, void* status) {
  return Sdo(true, node, index, subindex, data, size, status);
}

int CAN_SDOWrite(int node, int index, int subindex, void* data, int size, void* status) {
  return Sdo(false, node, index, subindex, data, size, status);
}
