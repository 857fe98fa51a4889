// The bench's bridges and CANopen nodes, spoken to byte by byte over real UDP: discovery, the
// cannelloni framing, the SDO server with its aborts, the instrument's behaviour, the faults.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/bench_process.h"
#include "udp_peer.h"

namespace {

using testing_support::BenchProcess;
using testing_support::Bytes;
using testing_support::SdoDatagram;
using testing_support::SplitList;
using testing_support::UdpPeer;
using Clock = std::chrono::steady_clock;

// The 8 data bytes of the one SDO answer in `datagram`, after checking the framing around them.
Bytes AnswerData(const Bytes& datagram, int node) {
  uint32_t id = 0x580 + static_cast<uint32_t>(node);
  EXPECT_EQ(datagram.size(), 18u);
  if (datagram.size() != 18) return {};
  EXPECT_EQ(datagram[0], 2);  // version
  EXPECT_EQ(datagram[1], 0);  // data
  EXPECT_EQ(datagram[3], 0);
  EXPECT_EQ(datagram[4], 1);  // one frame
  EXPECT_EQ(Bytes(datagram.begin() + 5, datagram.begin() + 10),
            (Bytes{0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 8}));
  return Bytes(datagram.begin() + 10, datagram.end());
}

class BenchWire : public ::testing::Test {
 protected:
  void StartBench(std::vector<std::string> args) {
    bench_ = std::make_unique<BenchProcess>(std::move(args));
    ASSERT_TRUE(bench_->Ready());
    bridges_ = SplitList(bench_->ReadyValue("BRIDGES"));
  }

  // Sends one SDO request to `node` through the first bridge; the answer's data bytes, or empty
  // when none comes within `timeoutMs`.
  Bytes Ask(int node, const Bytes& request, int timeoutMs = 2000) {
    peer_.SendTo(bridges_.at(0), SdoDatagram(node, request));
    auto datagram = peer_.Receive(timeoutMs);
    return datagram ? AnswerData(*datagram, node) : Bytes{};
  }

  nlohmann::json Instrument() { return bench_->State()["instrument"]; }

  std::unique_ptr<BenchProcess> bench_;
  std::vector<std::string> bridges_;
  UdpPeer peer_;
};

TEST_F(BenchWire, EachBridgeAnswersDiscoveryWithItsMacFromItsOwnPort) {
  StartBench({"--bridges", "3", "--bridge-macs", "02-1A-2B-3C-4D-5E,0a:0b:0c:0d:0e:0f"});
  EXPECT_EQ(bench_->ReadyValue("BRIDGE_MACS"),
            "02-1A-2B-3C-4D-5E,0A-0B-0C-0D-0E-0F,02-1A-2B-3C-4D-60");
  ASSERT_EQ(bridges_.size(), 3u);
  const Bytes macs[] = {{0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
                        {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
                        {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x60}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(bridges_[i].rfind("127.0.0.1:", 0), 0u);
    peer_.SendTo(bridges_[i], {'K', 'C', 'B', 'D'});
    std::string from;
    auto reply = peer_.Receive(2000, &from);
    ASSERT_TRUE(reply);
    Bytes expected{'K', 'C', 'B', 'I'};
    expected.insert(expected.end(), macs[i].begin(), macs[i].end());
    EXPECT_EQ(*reply, expected);
    EXPECT_EQ(from, bridges_[i]);
  }
}

TEST_F(BenchWire, ZeroBridgesListNothing) {
  StartBench({"--bridges", "0"});
  EXPECT_TRUE(bridges_.empty());
  EXPECT_EQ(bench_->ReadyValue("BRIDGE_MACS"), "");
}

TEST_F(BenchWire, ObjectsAnswerExpeditedTransfersAndAbortWithTheirCodes) {
  StartBench({});
  struct Case {
    const char* what;
    int node;
    Bytes request, answer;
  } cases[] = {
      // clang-format off
      {"write Node127Word", 127, {0x2B, 0x10, 0x20, 2, 0x0E, 0x02, 0, 0}, {0x60, 0x10, 0x20, 2, 0, 0, 0, 0}},
      {"read Node127Word back", 127, {0x40, 0x10, 0x20, 2, 0, 0, 0, 0}, {0x4B, 0x10, 0x20, 2, 0x0E, 0x02, 0, 0}},
      {"write Node127Real 198.0", 127, {0x23, 0x30, 0x20, 0, 0x00, 0x00, 0x46, 0x43}, {0x60, 0x30, 0x20, 0, 0, 0, 0, 0}},
      {"write DiffuserControl", 70, {0x2F, 0x00, 0x20, 0, 1, 0, 0, 0}, {0x60, 0x00, 0x20, 0, 0, 0, 0, 0}},
      {"write NdWheelCommand", 64, {0x2F, 0x20, 0x20, 0, 3, 0, 0, 0}, {0x60, 0x20, 0x20, 0, 0, 0, 0, 0}},
      {"write LightLevel 65535", 64, {0x2B, 0x28, 0x20, 0, 0xFF, 0xFF, 0, 0}, {0x60, 0x28, 0x20, 0, 0, 0, 0, 0}},
      {"write, size not indicated", 64, {0x22, 0x28, 0x20, 0, 0x34, 0x12, 0xEE, 0xEE}, {0x60, 0x28, 0x20, 0, 0, 0, 0, 0}},
      {"no such object", 64, {0x40, 0x22, 0x20, 0, 0, 0, 0, 0}, {0x80, 0x22, 0x20, 0, 0x00, 0x00, 0x02, 0x06}},
      {"object of another node", 70, {0x40, 0x21, 0x20, 0, 0, 0, 0, 0}, {0x80, 0x21, 0x20, 0, 0x00, 0x00, 0x02, 0x06}},
      {"no such subindex", 127, {0x40, 0x10, 0x20, 1, 0, 0, 0, 0}, {0x80, 0x10, 0x20, 1, 0x11, 0x00, 0x09, 0x06}},
      {"wrong length", 64, {0x2F, 0x28, 0x20, 0, 1, 0, 0, 0}, {0x80, 0x28, 0x20, 0, 0x10, 0x00, 0x07, 0x06}},
      {"read of a write-only object", 64, {0x40, 0x28, 0x20, 0, 0, 0, 0, 0}, {0x80, 0x28, 0x20, 0, 0x01, 0x00, 0x01, 0x06}},
      {"write to a read-only object", 64, {0x2F, 0x21, 0x20, 0, 0, 0, 0, 0}, {0x80, 0x21, 0x20, 0, 0x02, 0x00, 0x01, 0x06}},
      {"value out of range", 70, {0x2F, 0x00, 0x20, 0, 7, 0, 0, 0}, {0x80, 0x00, 0x20, 0, 0x30, 0x00, 0x09, 0x06}},
      {"segmented download", 64, {0x21, 0x28, 0x20, 0, 2, 0, 0, 0}, {0x80, 0x28, 0x20, 0, 0x01, 0x00, 0x04, 0x05}},
      {"block upload", 64, {0xA0, 0x21, 0x20, 0, 0, 0, 0, 0}, {0x80, 0x21, 0x20, 0, 0x01, 0x00, 0x04, 0x05}},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(Ask(c.node, c.request), c.answer) << c.what;

  auto instrument = Instrument();
  EXPECT_EQ(instrument["objects"]["Node127Word"], 526);
  EXPECT_EQ(instrument["objects"]["Node127Real"], 198.0);
  EXPECT_EQ(instrument["objects"]["LightLevel"], 0x1234);
  EXPECT_EQ(instrument["objects"]["DiffuserControl"], 1);
  EXPECT_EQ(instrument["counters"]["aborts"], 9);
}

TEST_F(BenchWire, FramesThatAreNoRequestOfItsNodesGetNoAnswer) {
  StartBench({});
  struct Case {
    const char* what;
    Bytes datagram;
  } cases[] = {
      {"a node that is not on the bus", SdoDatagram(5, {0x40, 0x21, 0x20, 0, 0, 0, 0, 0})},
      {"a request of 7 bytes", SdoDatagram(64, {0x40, 0x21, 0x20, 0, 0, 0, 0})},
      {"the client's own abort", SdoDatagram(64, {0x80, 0x21, 0x20, 0, 0, 0, 0, 0})},
      {"an answer id", {2, 0, 0, 0, 1, 0, 0, 0x05, 0xC0, 8, 0x40, 0x21, 0x20, 0, 0, 0, 0, 0}},
      {"an extended id", {2, 0, 0, 0, 1, 0x80, 0, 0x06, 0x40, 8, 0x40, 0x21, 0x20, 0, 0, 0, 0, 0}},
      {"a remote frame", {2, 0, 0, 0, 1, 0x40, 0, 0x06, 0x40, 8}},
      {"version 1", {1, 0, 0, 0, 1, 0, 0, 0x06, 0x40, 8, 0x40, 0x21, 0x20, 0, 0, 0, 0, 0}},
      {"truncated", {2, 0, 0, 0, 1, 0, 0, 0x06, 0x40, 8, 0x40, 0x21, 0x20}},
      {"noise", {0xDE, 0xAD, 0xBE, 0xEF}},
      {"nothing", {}},
  };
  for (const auto& c : cases) {
    peer_.SendTo(bridges_[0], c.datagram);
    EXPECT_FALSE(peer_.Receive(200)) << c.what;
  }
  // Still serving, and a request behind a frame it skips is found.
  Bytes twoFrames{2, 0, 1,    0,    2,  //
                  0, 0, 0x01, 0x23, 0x80 | 12, 0,    1,    2,    3, 4, 5, 6, 7,
                  8, 9, 10,   11,   12,  // FD
                  0, 0, 0x06, 0x40, 8,         0x40, 0x21, 0x20, 0, 0, 0, 0, 0};
  peer_.SendTo(bridges_[0], twoFrames);
  auto answer = peer_.Receive(2000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(AnswerData(*answer, 64), (Bytes{0x4F, 0x21, 0x20, 0, 0, 0, 0, 0}));

  auto bridge = bench_->State()["bridges"]["list"][0];
  EXPECT_EQ(bridge["malformed_datagrams"], 4);
  EXPECT_EQ(Instrument()["counters"]["requests"], 2);  // the client's abort and the last read
}

TEST_F(BenchWire, LampWheelAndDiffuserBehaveAsTheirWritesAsk) {
  StartBench({"--ramp-ms", "300", "--homing-ms", "600"});
  const Bytes readStatus{0x40, 0x21, 0x20, 0, 0, 0, 0, 0};
  EXPECT_EQ(Ask(64, readStatus)[4], 0x00);

  Ask(70, {0x2F, 0x00, 0x20, 0, 1, 0, 0, 0});
  Ask(64, {0x2F, 0x20, 0x20, 0, 3, 0, 0, 0});
  Ask(64, {0x2B, 0x28, 0x20, 0, 0x00, 0x80, 0, 0});
  auto written = Clock::now();
  uint8_t status = Ask(64, readStatus)[4];
  if (Clock::now() - written < std::chrono::milliseconds(300)) {
    EXPECT_EQ(status & 0x02, 0x02) << "busy while the lamp ramps";
    EXPECT_EQ(status & 0x18, 0x00) << "not homed right after the command";
  }
  EXPECT_TRUE(bench_->State()["instrument"]["diffuser_running"]);

  // Both come in their own time; poll for it rather than time it.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  do {
    status = Ask(64, readStatus)[4];
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while ((status & 0x1A) != 0x18 && Clock::now() < deadline);
  EXPECT_EQ(status & 0x1A, 0x18) << "homed and idle";
  EXPECT_GE(Clock::now() - written, std::chrono::milliseconds(600));

  auto instrument = Instrument();
  EXPECT_TRUE(instrument["homed"]);
  EXPECT_FALSE(instrument["busy"]);
  EXPECT_EQ(instrument["light_level"], 0x8000);
  EXPECT_EQ(instrument["counters"]["homing_commands"], 1);
  EXPECT_EQ(instrument["counters"]["light_writes"], 1);

  // The traffic names each request with its time and the bridge it came through.
  auto sdo = instrument["sdo"];
  ASSERT_GE(sdo.size(), 5u);
  EXPECT_EQ(sdo[3]["object"], "LightLevel");
  EXPECT_EQ(sdo[3]["op"], "write");
  EXPECT_EQ(sdo[3]["node"], 64);
  EXPECT_EQ(sdo[3]["index"], 0x2028);
  EXPECT_EQ(sdo[3]["subindex"], 0);
  EXPECT_EQ(sdo[3]["size"], 2);
  EXPECT_EQ(sdo[3]["value"], 0x8000);
  EXPECT_EQ(sdo[3]["bridge"], 0);
  EXPECT_GE(sdo[3]["time"].get<double>(), sdo[2]["time"].get<double>());
}

TEST_F(BenchWire, InstrumentFaultsSwitchOnAndOffThroughTheControlChannel) {
  StartBench({"--ramp-ms", "0", "--homing-ms", "0", "--fault", "stays-busy"});
  const Bytes readStatus{0x40, 0x21, 0x20, 0, 0, 0, 0, 0};
  const Bytes checkRead{0x40, 0x10, 0x20, 2, 0, 0, 0, 0};
  EXPECT_EQ(Ask(64, readStatus)[4] & 0x02, 0x02);
  EXPECT_EQ(bench_->Control("fault stays-busy off"), "ok");
  EXPECT_EQ(Ask(64, readStatus)[4] & 0x02, 0x00);

  EXPECT_EQ(bench_->Control("fault no-homing"), "ok");
  Ask(64, {0x2F, 0x20, 0x20, 0, 3, 0, 0, 0});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Ask(64, readStatus)[4] & 0x18, 0x00);
  EXPECT_EQ(bench_->Control("fault no-homing off"), "ok");
  EXPECT_EQ(Ask(64, readStatus)[4] & 0x18, 0x18);

  EXPECT_EQ(bench_->Control("fault check-read-abort"), "ok");
  EXPECT_EQ(Ask(127, checkRead), (Bytes{0x80, 0x10, 0x20, 2, 0, 0, 0, 0x08}));
  EXPECT_EQ(bench_->Control("fault check-read-abort 0x06060000"), "ok");
  EXPECT_EQ(Ask(127, checkRead), (Bytes{0x80, 0x10, 0x20, 2, 0, 0, 0x06, 0x06}));
  EXPECT_EQ(bench_->Control("fault check-read-abort off"), "ok");
  EXPECT_EQ(Ask(127, checkRead)[0], 0x4B);

  EXPECT_EQ(bench_->Control("fault check-read-abort nonsense"),
            "error: unknown fault or bad value");
  EXPECT_EQ(bench_->Control("fault no-such-fault"), "error: unknown fault or bad value");
  EXPECT_EQ(bench_->Control("fault duplicate-mac"), "error: unknown fault or bad value")
      << "one bridge cannot share its MAC";
}

TEST_F(BenchWire, LateAnswersComeAfterTheClientsTimeOut) {
  StartBench({"--fault", "late-answers=700"});
  peer_.SendTo(bridges_[0], SdoDatagram(127, {0x40, 0x10, 0x20, 2, 0, 0, 0, 0}));
  EXPECT_FALSE(peer_.Receive(550)) << "no answer within 500 ms";
  auto late = peer_.Receive(5000);
  ASSERT_TRUE(late);
  EXPECT_EQ(AnswerData(*late, 127)[0], 0x4B);

  EXPECT_EQ(bench_->Control("fault late-answers off"), "ok");
  EXPECT_EQ(Ask(127, {0x40, 0x10, 0x20, 2, 0, 0, 0, 0}, 400)[0], 0x4B);
}

TEST_F(BenchWire, GarbageComesBeforeTheRealAnswer) {
  StartBench({"--fault", "garbage"});
  peer_.SendTo(bridges_[0], SdoDatagram(127, {0x2B, 0x10, 0x20, 2, 0x34, 0x12, 0, 0}));
  auto datagrams = peer_.ReceiveAll(300);
  ASSERT_GT(datagrams.size(), 5u);
  // The last one holds the answer, between frames that are not it.
  const Bytes& last = datagrams.back();
  Bytes answer{0, 0, 0x05, 0xFF, 8, 0x60, 0x10, 0x20, 2, 0, 0, 0, 0};
  EXPECT_NE(std::search(last.begin(), last.end(), answer.begin(), answer.end()), last.end());
  EXPECT_GT(last[4], 1);

  peer_.SendTo(bridges_[0], {'K', 'C', 'B', 'D'});
  datagrams = peer_.ReceiveAll(300);
  ASSERT_GT(datagrams.size(), 1u);
  EXPECT_EQ(datagrams.back(), (Bytes{'K', 'C', 'B', 'I', 0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
}

TEST_F(BenchWire, BridgeFaultsOfDiscovery) {
  StartBench({"--fault", "duplicate-mac", "--fault", "no-discovery"});
  ASSERT_EQ(bridges_.size(), 2u) << "a second bridge joins to share the MAC";
  EXPECT_EQ(bench_->ReadyValue("BRIDGE_MACS"), "02-1A-2B-3C-4D-5E,02-1A-2B-3C-4D-5E");
  const Bytes request{'K', 'C', 'B', 'D'};
  peer_.SendTo(bridges_[0], request);
  EXPECT_FALSE(peer_.Receive(300));

  EXPECT_EQ(bench_->Control("fault no-discovery off"), "ok");
  EXPECT_EQ(bench_->Control("fault vanish-after-discovery"), "ok");
  for (const auto& bridge : bridges_) {
    peer_.SendTo(bridge, request);
    auto reply = peer_.Receive(2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{'K', 'C', 'B', 'I', 0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
  }
  peer_.SendTo(bridges_[1], request);
  peer_.SendTo(bridges_[1], SdoDatagram(64, {0x40, 0x21, 0x20, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(peer_.Receive(300)) << "gone after its one answer";
  EXPECT_EQ(bench_->Control("fault vanish-after-discovery off"), "ok");
  peer_.SendTo(bridges_[1], request);
  EXPECT_TRUE(peer_.Receive(2000));
}

TEST_F(BenchWire, BridgesGoneMidRunAnswerNothingUntilTheyComeBack) {
  StartBench({});
  const Bytes readStatus{0x40, 0x21, 0x20, 0, 0, 0, 0, 0};
  EXPECT_FALSE(Ask(64, readStatus).empty());
  EXPECT_EQ(bench_->Control("fault gone"), "ok");
  peer_.SendTo(bridges_[0], {'K', 'C', 'B', 'D'});
  peer_.SendTo(bridges_[0], SdoDatagram(64, readStatus));
  EXPECT_FALSE(peer_.Receive(600)) << "neither discovery nor SDO is answered";
  EXPECT_EQ(bench_->State()["bridges"]["faults"]["gone"], true);
  EXPECT_EQ(bench_->Control("fault gone off"), "ok");
  EXPECT_FALSE(Ask(64, readStatus).empty());
}

TEST_F(BenchWire, StopsOnSigtermAndSavesItsState) {
  StartBench({});
  Ask(64, {0x2B, 0x28, 0x20, 0, 0x39, 0x30, 0, 0});
  EXPECT_TRUE(bench_->Stop());
  std::ifstream saved(bench_->StateFile());
  auto state = nlohmann::json::parse(saved, nullptr, false);
  ASSERT_FALSE(state.is_discarded());
  EXPECT_EQ(state["instrument"]["objects"]["LightLevel"], 12345);
  EXPECT_EQ(state["bridges"]["list"].size(), 1u);
}

TEST(BenchOptions, HelpDocumentsEveryOptionAndFault) {
  auto run = testing_support::RunProgram(testing_support::BuildPath("sim/bench/tapcal-sim"),
                                         {"--help"}, {}, "", "", 20);
  EXPECT_EQ(run.exitCode, 0);
  for (const char* word : {"--ready",
                           "--state",
                           "--seed",
                           "--control-port",
                           "--fault",
                           "--homing-ms",
                           "--ramp-ms",
                           "--bridges",
                           "--bridge-macs",
                           "--bridge-port",
                           "--answer-delay-ms",
                           "--sdo-log",
                           "--camera-log",
                           "--quick-camera",
                           "stays-busy",
                           "no-homing",
                           "check-read-abort",
                           "no-discovery",
                           "duplicate-mac",
                           "vanish-after-discovery",
                           "gone",
                           "late-answers",
                           "garbage",
                           "BRIDGES=",
                           "BRIDGE_MACS="})
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
}

TEST(BenchOptions, RefusesValuesItCannotUse) {
  const std::vector<std::string> cases[] = {
      {"--bridges", "65"},
      {"--bridges", "-1"},
      {"--bridge-macs", "02-1A-2B-3C-4D"},
      {"--bridge-macs", "02-1A-2B-3C-4D-5G"},
      {"--bridges", "1", "--bridge-macs", "02-1A-2B-3C-4D-5E,02-1A-2B-3C-4D-5F"},
      {"--ramp-ms", "soon"},
      {"--fault", "no-such-fault"},
      {"--fault", "late-answers=0"},
      {"--control-port", "70000"},
      {"--sdo-log", "0"},
      {"--camera-log", "0"},
  };
  for (const auto& args : cases) {
    auto run = testing_support::RunProgram(testing_support::BuildPath("sim/bench/tapcal-sim"), args,
                                           {}, "", "", 20);
    EXPECT_NE(run.exitCode, 0) << args[0] << " " << args[1];
    EXPECT_FALSE(run.err.empty());
  }
}

// A bench that runs for many tool runs keeps only the latest exchanges; the rest are counted.
TEST_F(BenchWire, SdoLogKeepsTheLatestExchanges) {
  StartBench({"--sdo-log", "3"});
  for (uint8_t level = 1; level <= 5; ++level)
    ASSERT_FALSE(Ask(64, {0x2B, 0x28, 0x20, 0, level, 0, 0, 0}).empty());
  auto instrument = Instrument();
  ASSERT_EQ(instrument["sdo"].size(), 3u);
  EXPECT_EQ(instrument["sdo_dropped"], 2);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(instrument["sdo"][i]["value"], i + 3);
}

}  // namespace
