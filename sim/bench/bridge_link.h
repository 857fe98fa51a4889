// The Ethernet-to-CAN bridges: each one a UDP endpoint on loopback with its MAC address, answering
// discovery and carrying CAN frames in the cannelloni format to and from the instrument's nodes.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cannelloni.h"
#include "canopen_instrument.h"
#include "device.h"
#include "world.h"

namespace sim {

using Mac = std::array<uint8_t, 6>;

// "02-1A-2B-3C-4D-5E" (or with colons); false when it is not six hexadecimal bytes.
bool ParseMac(const std::string& text, Mac* mac);
std::string FormatMac(const Mac& mac);

class BridgeLink : public Device {
 public:
  BridgeLink(CanOpenInstrument& instrument, World& world);

  std::string Name() const override { return "bridges"; }
  std::vector<Option> Options() override;
  std::vector<Fault> Faults() const override;
  bool SetFault(const std::string& name, const std::string& value) override;
  bool Start(EventLoop& loop, std::vector<std::string>& readyLines) override;
  void Shutdown() override;
  nlohmann::json State() override;

 private:
  struct Bridge {
    int fd = -1;
    int port = 0;
    Mac mac{};
    uint8_t sequence = 0;
    bool vanished = false;  // answers nothing more (vanish-after-discovery)
    int datagrams = 0, discoveryRequests = 0, discoveryReplies = 0, sdoRequests = 0, answers = 0,
        ignoredFrames = 0, malformed = 0;
  };

  void OnReadable(size_t bridge);
  void AnswerDiscovery(size_t bridge, const sockaddr_in& to);
  void AnswerSdo(size_t bridge, const sockaddr_in& to, const cannelloni::Frame& request);
  void Send(size_t bridge, const sockaddr_in& to, const std::vector<uint8_t>& datagram);
  std::vector<uint8_t> Datagram(size_t bridge, const std::vector<cannelloni::Frame>& frames);
  // The datagrams a bridge with the garbage fault sends before a real answer.
  std::vector<std::vector<uint8_t>> GarbageBefore(size_t bridge, const cannelloni::Frame* answer);
  Mac AnnouncedMac(size_t bridge) const;

  CanOpenInstrument& instrument_;
  World& world_;
  EventLoop* loop_ = nullptr;
  std::mt19937_64 random_;

  int count_ = -1;  // -1: as many as MACs are given, at least one
  std::vector<Mac> macs_;
  int firstPort_ = 0;
  int answerDelayMs_ = 0;

  bool noDiscovery_ = false;
  bool duplicateMac_ = false;
  bool vanishAfterDiscovery_ = false;
  bool gone_ = false;
  int lateAnswersMs_ = 0;  // 0: off
  bool garbage_ = false;

  std::vector<Bridge> bridges_;
};

}  // namespace sim
