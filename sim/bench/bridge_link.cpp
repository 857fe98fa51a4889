#include "bridge_link.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "net_util.h"
#include "parse.h"

namespace sim {

namespace {

constexpr char kDiscoveryRequest[4] = {'K', 'C', 'B', 'D'};
constexpr char kDiscoveryReply[4] = {'K', 'C', 'B', 'I'};
constexpr uint32_t kSdoRequestBase = 0x600;
constexpr uint32_t kSdoAnswerBase = 0x580;
constexpr Mac kDefaultMac = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr int kMaxBridges = 64;
constexpr int kDefaultLateMs = 1000;

cannelloni::Frame Sdo(uint32_t id, const SdoFrame& data) {
  return cannelloni::DataFrame(id, data.data(), 8);
}

}  // namespace

bool ParseMac(const std::string& text, Mac* mac) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() != 17 || (text[2] != '-' && text[2] != ':')) return false;
  for (size_t i = 0; i < 6; ++i) {
    int high = digit(text[3 * i]), low = digit(text[3 * i + 1]);
    if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != text[2])) return false;
    (*mac)[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string FormatMac(const Mac& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

BridgeLink::BridgeLink(CanOpenInstrument& instrument, World& world)
    : instrument_(instrument), world_(world) {}

std::vector<Option> BridgeLink::Options() {
  return {
      {"bridges", "N", "number of bridges, 0 to 64 (default 1, or one per --bridge-macs entry)",
       [this](const std::string& v) { return ParseInt(v, kMaxBridges, &count_); }},
      {"bridge-macs", "MAC[,MAC...]",
       "MAC addresses of the bridges in order, repeats allowed (default 02-1A-2B-3C-4D-5E for "
       "the first; a bridge without one counts up the first default's last byte). Ready-file "
       "keys: BRIDGES=127.0.0.1:PORT[,...] and BRIDGE_MACS=MAC[,...], in bridge order",
       [this](const std::string& v) {
         macs_.clear();
         for (size_t start = 0; start <= v.size();) {
           size_t end = std::min(v.find(',', start), v.size());
           Mac mac;
           if (!ParseMac(v.substr(start, end - start), &mac)) return false;
           macs_.push_back(mac);
           start = end + 1;
         }
         return macs_.size() <= kMaxBridges;
       }},
      {"bridge-port", "PORT",
       "UDP port of the first bridge on 127.0.0.1, the next ones above it (default: any free)",
       [this](const std::string& v) { return ParseInt(v, 65535, &firstPort_); }},
      {"answer-delay-ms", "MS", "delay of every SDO answer, discovery replies excepted (default 0)",
       [this](const std::string& v) { return ParseInt(v, 60000, &answerDelayMs_); }},
  };
}

std::vector<Fault> BridgeLink::Faults() const {
  return {
      {"no-discovery", "", "no bridge answers discovery requests"},
      {"duplicate-mac", "",
       "the last bridge announces the first one's MAC (given at start with one bridge, a second "
       "one is added)"},
      {"vanish-after-discovery", "",
       "a bridge answers one discovery request, then nothing more (gone before the connect)"},
      {"gone", "",
       "every bridge answers nothing more from now on, as if taken off the network mid-run; "
       "off brings them back"},
      {"late-answers", "[MS]",
       "SDO answers come MS later (default 1000), past the client's 500 ms time-out"},
      {"garbage", "",
       "before each answer, malformed datagrams and stray frames that a client must skip"},
  };
}

bool BridgeLink::SetFault(const std::string& name, const std::string& value) {
  bool off = value == "off";
  bool plain = off || value.empty();
  if (name == "no-discovery" && plain) {
    noDiscovery_ = !off;
  } else if (name == "duplicate-mac" && plain) {
    if (!off && loop_ && bridges_.size() < 2) return false;
    duplicateMac_ = !off;
  } else if (name == "vanish-after-discovery" && plain) {
    vanishAfterDiscovery_ = !off;
    for (auto& bridge : bridges_)
      bridge.vanished = false;
  } else if (name == "gone" && plain) {
    gone_ = !off;
  } else if (name == "late-answers") {
    int ms = kDefaultLateMs;
    if (!plain && (!ParseInt(value, 60000, &ms) || ms == 0)) return false;
    lateAnswersMs_ = off ? 0 : ms;
  } else if (name == "garbage" && plain) {
    garbage_ = !off;
  } else {
    return false;
  }
  return true;
}

Mac BridgeLink::AnnouncedMac(size_t bridge) const {
  if (duplicateMac_ && bridges_.size() >= 2 && bridge + 1 == bridges_.size())
    return bridges_.front().mac;
  return bridges_[bridge].mac;
}

bool BridgeLink::Start(EventLoop& loop, std::vector<std::string>& readyLines) {
  loop_ = &loop;
  random_.seed(world_.seed);
  int count = count_ >= 0 ? count_ : std::max<int>(1, static_cast<int>(macs_.size()));
  if (static_cast<int>(macs_.size()) > count) {
    std::cerr << "tapcal-sim: more --bridge-macs than --bridges\n";
    return false;
  }
  if (duplicateMac_ && count < 2) count = 2;
  std::string endpoints, macs;
  for (int i = 0; i < count; ++i) {
    Bridge bridge;
    if (static_cast<size_t>(i) < macs_.size()) {
      bridge.mac = macs_[static_cast<size_t>(i)];
    } else {
      bridge.mac = kDefaultMac;
      bridge.mac[5] = static_cast<uint8_t>(bridge.mac[5] + i);
    }
    int port = firstPort_ ? firstPort_ + i : 0;
    bridge.fd = port <= 65535 ? BindUdpLoopback(port, &bridge.port) : -1;
    if (bridge.fd < 0) {
      std::cerr << "tapcal-sim: bridge " << i << " cannot bind UDP port " << port << "\n";
      return false;
    }
    bridges_.push_back(bridge);
    loop.Watch(bridge.fd, [this, i] { OnReadable(static_cast<size_t>(i)); });
  }
  for (size_t i = 0; i < bridges_.size(); ++i) {
    endpoints += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(bridges_[i].port);
    macs += (i ? "," : "") + FormatMac(AnnouncedMac(i));
  }
  readyLines.push_back("BRIDGES=" + endpoints);
  readyLines.push_back("BRIDGE_MACS=" + macs);
  return true;
}

void BridgeLink::Shutdown() {
  for (auto& bridge : bridges_) {
    if (bridge.fd < 0) continue;
    loop_->Unwatch(bridge.fd);
    close(bridge.fd);
    bridge.fd = -1;
  }
}

void BridgeLink::OnReadable(size_t index) {
  Bridge& bridge = bridges_[index];
  uint8_t datagram[2048];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  ssize_t got = recvfrom(bridge.fd, datagram, sizeof datagram, MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (got < 0) return;
  ++bridge.datagrams;
  if (bridge.vanished || gone_) return;
  auto size = static_cast<size_t>(got);

  if (size >= 4 && size <= sizeof datagram &&
      std::memcmp(datagram, kDiscoveryRequest, sizeof kDiscoveryRequest) == 0) {
    ++bridge.discoveryRequests;
    if (!noDiscovery_) AnswerDiscovery(index, from);
    return;
  }

  std::vector<cannelloni::Frame> frames;
  if (size > sizeof datagram || !cannelloni::Decode(datagram, size, frames)) {
    ++bridge.malformed;
    return;
  }
  for (const auto& frame : frames) {
    uint32_t id = frame.canId & cannelloni::kStandardIdMask;
    int node = static_cast<int>(id - kSdoRequestBase);
    if (frame.IsClassicStandardData() && frame.length == 8 && id > kSdoRequestBase &&
        id <= kSdoRequestBase + 127 && instrument_.HasNode(node)) {
      ++bridge.sdoRequests;
      AnswerSdo(index, from, frame);
    } else {
      ++bridge.ignoredFrames;
    }
  }
}

void BridgeLink::AnswerDiscovery(size_t index, const sockaddr_in& to) {
  if (garbage_)
    for (const auto& junk : GarbageBefore(index, nullptr))
      Send(index, to, junk);
  Mac mac = AnnouncedMac(index);
  std::vector<uint8_t> reply(std::begin(kDiscoveryReply), std::end(kDiscoveryReply));
  reply.insert(reply.end(), mac.begin(), mac.end());
  Send(index, to, reply);
  ++bridges_[index].discoveryReplies;
  if (vanishAfterDiscovery_) bridges_[index].vanished = true;
}

void BridgeLink::AnswerSdo(size_t index, const sockaddr_in& to, const cannelloni::Frame& request) {
  int node = static_cast<int>((request.canId & cannelloni::kStandardIdMask) - kSdoRequestBase);
  SdoFrame data;
  std::copy(request.data.begin(), request.data.begin() + 8, data.begin());
  auto answer = instrument_.Serve(static_cast<int>(index), node, data);
  if (!answer) return;
  cannelloni::Frame frame = Sdo(kSdoAnswerBase + static_cast<uint32_t>(node), *answer);

  std::vector<std::vector<uint8_t>> datagrams;
  if (garbage_) {
    datagrams = GarbageBefore(index, &frame);
    // The answer itself travels between frames the client must parse and skip.
    cannelloni::Frame fd;
    fd.canId = 0x123;
    fd.fd = true;
    fd.length = 64;
    fd.data.fill(0xA5);
    cannelloni::Frame remote;
    remote.canId = (0x700 + static_cast<uint32_t>(node)) | cannelloni::kRemoteFlag;
    remote.length = 1;
    cannelloni::Frame emergency = Sdo(0x80 + static_cast<uint32_t>(node), {});
    datagrams.push_back(Datagram(index, {fd, remote, frame, emergency}));
  } else {
    datagrams.push_back(Datagram(index, {frame}));
  }
  ++bridges_[index].answers;

  int delay = answerDelayMs_ + lateAnswersMs_;
  if (delay == 0) {
    for (const auto& datagram : datagrams)
      Send(index, to, datagram);
    return;
  }
  loop_->After(std::chrono::milliseconds(delay), [this, index, to, datagrams] {
    for (const auto& datagram : datagrams)
      Send(index, to, datagram);
  });
}

std::vector<uint8_t> BridgeLink::Datagram(size_t index,
                                          const std::vector<cannelloni::Frame>& frames) {
  return cannelloni::Encode(frames, bridges_[index].sequence++);
}

void BridgeLink::Send(size_t index, const sockaddr_in& to, const std::vector<uint8_t>& datagram) {
  int fd = bridges_[index].fd;
  if (fd < 0) return;
  sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
         sizeof to);
}

std::vector<std::vector<uint8_t>> BridgeLink::GarbageBefore(size_t index,
                                                            const cannelloni::Frame* answer) {
  std::vector<std::vector<uint8_t>> junk;
  std::vector<uint8_t> noise(1 + random_() % 40);
  for (auto& byte : noise)
    byte = static_cast<uint8_t>(random_());
  noise[0] = 0xFF;  // neither a discovery reply nor a cannelloni header
  junk.push_back(noise);
  junk.push_back({});
  junk.push_back({'K', 'C', 'B', 'I', 0x02, 0x1A});  // a discovery reply cut short
  junk.push_back({'K', 'C', 'B', 'D'});
  if (!answer) return junk;

  // Frames that look like the answer but carry another outcome: a client that takes any of them
  // reads a wrong value or a failure.
  cannelloni::Frame wrong = *answer;
  if (wrong.data[0] == 0x80) {
    wrong.data[0] = 0x4F;
    wrong.data[4] = 0x5A;
  } else if (wrong.data[0] == 0x60) {
    wrong.data[0] = 0x80;
    wrong.data[7] = 0x08;
  } else {
    for (size_t i = 4; i < 8; ++i)
      wrong.data[i] ^= 0xFF;
  }
  auto encoded = [&](std::vector<cannelloni::Frame> frames) { return Datagram(index, frames); };

  auto oldVersion = encoded({wrong});
  oldVersion[0] = 1;
  junk.push_back(oldVersion);
  auto notData = encoded({wrong});
  notData[1] = 1;
  junk.push_back(notData);
  cannelloni::Frame stray = wrong;
  stray.data[1] ^= 0x01;  // another index
  auto truncated = encoded({stray, wrong});
  truncated.resize(truncated.size() - 3);
  junk.push_back(truncated);
  auto trailing = encoded({stray});
  trailing.push_back(0);
  junk.push_back(trailing);
  auto tooLong = encoded({wrong, wrong});
  tooLong[cannelloni::kHeaderSize + 4] = 9;  // a classic frame cannot carry 9 bytes
  junk.push_back(tooLong);

  std::vector<cannelloni::Frame> strays{stray};
  stray = wrong;
  stray.data[3] ^= 0x01;  // another subindex
  strays.push_back(stray);
  stray = wrong;
  stray.canId = answer->canId == 0x5FF ? 0x5FE : answer->canId + 1;  // another node
  strays.push_back(stray);
  stray = wrong;
  stray.canId |= cannelloni::kRemoteFlag;
  strays.push_back(stray);
  stray = wrong;
  stray.canId |= cannelloni::kExtendedFlag;
  strays.push_back(stray);
  stray = wrong;
  stray.canId |= cannelloni::kErrorFlag;
  strays.push_back(stray);
  stray = wrong;
  stray.fd = true;
  strays.push_back(stray);
  stray = wrong;
  stray.length = 4;
  strays.push_back(stray);
  junk.push_back(encoded(strays));
  return junk;
}

nlohmann::json BridgeLink::State() {
  nlohmann::json list = nlohmann::json::array();
  for (size_t i = 0; i < bridges_.size(); ++i) {
    const Bridge& bridge = bridges_[i];
    list.push_back({{"endpoint", "127.0.0.1:" + std::to_string(bridge.port)},
                    {"mac", FormatMac(bridge.mac)},
                    {"announced_mac", FormatMac(AnnouncedMac(i))},
                    {"vanished", bridge.vanished},
                    {"datagrams", bridge.datagrams},
                    {"discovery_requests", bridge.discoveryRequests},
                    {"discovery_replies", bridge.discoveryReplies},
                    {"sdo_requests", bridge.sdoRequests},
                    {"answers", bridge.answers},
                    {"ignored_frames", bridge.ignoredFrames},
                    {"malformed_datagrams", bridge.malformed}});
  }
  return {{"list", list},
          {"answer_delay_ms", answerDelayMs_},
          {"faults",
           {{"no-discovery", noDiscovery_},
            {"duplicate-mac", duplicateMac_},
            {"vanish-after-discovery", vanishAfterDiscovery_},
            {"gone", gone_},
            {"late-answers", lateAnswersMs_},
            {"garbage", garbage_}}}};
}

}  // namespace sim
