// The bridge library against the bench over real UDP: discovery, connect, SDO reads and writes of
// every instrument object, aborts, the time-out bound, and a link full of garbage.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kestan_status.h"
#include "support/bench_process.h"
#include "udp_peer.h"
#include "vendor/kestan_canopen.h"

namespace {

using testing_support::BenchProcess;
using testing_support::SplitList;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string MacText(const BridgeRecord& record) {
  char text[18];
  const uint8_t* m = record.macAddress;
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return text;
}

// By value: the packed record's id is misaligned, no reference may bind to it.
uint32_t Id(const BridgeRecord& record) {
  return record.bridgeId;
}

// A port on loopback where nothing listens (bound, then let go).
std::string DeadEndpoint() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

class KestanLibrary : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("TAPCAL_BRIDGES"); }

  void StartBench(std::vector<std::string> args) {
    bench_ = std::make_unique<BenchProcess>(std::move(args));
    ASSERT_TRUE(bench_->Ready());
    setenv("TAPCAL_BRIDGES", bench_->ReadyValue("BRIDGES").c_str(), 1);
  }

  // Scans and connects the first bridge found.
  void Connect() {
    BridgeRecord records[127];
    ASSERT_GE(CAN_EnumerateBridges(records, 127), 1);
    ASSERT_NE(CAN_Connect(records[0].bridgeId), -1);
  }

  nlohmann::json Instrument() { return bench_->State()["instrument"]; }

  std::unique_ptr<BenchProcess> bench_;
  kestan::SdoStatus status_{};
};

TEST_F(KestanLibrary, DiscoveryListsTheAnsweringBridgesInTheOrderOfTheList) {
  StartBench({"--bridge-macs", "02-00-00-00-00-0A,02-00-00-00-00-0B,02-00-00-00-00-0C"});
  auto bridges = SplitList(bench_->ReadyValue("BRIDGES"));
  ASSERT_EQ(bridges.size(), 3u);
  std::string list =
      bridges[2] + "," + DeadEndpoint() + ", " + bridges[0] + "," + bridges[1] + "," + bridges[2];
  setenv("TAPCAL_BRIDGES", list.c_str(), 1);

  BridgeRecord records[127];
  std::memset(records, 0xEE, sizeof records);
  ASSERT_EQ(CAN_EnumerateBridges(records, 127), 3);
  EXPECT_EQ(MacText(records[0]), "02-00-00-00-00-0C");
  EXPECT_EQ(MacText(records[1]), "02-00-00-00-00-0A");
  EXPECT_EQ(MacText(records[2]), "02-00-00-00-00-0B");
  EXPECT_EQ(Id(records[3]), 0xEEEEEEEEu) << "nothing written past the bridges found";
  EXPECT_NE(Id(records[0]), Id(records[1]));
  EXPECT_NE(Id(records[1]), Id(records[2]));
  EXPECT_NE(Id(records[0]), Id(records[2]));

  // A smaller buffer gets what fits, the count stays the number found; ids are stable.
  BridgeRecord two[3];
  std::memset(two, 0xEE, sizeof two);
  EXPECT_EQ(CAN_EnumerateBridges(two, 2), 3);
  EXPECT_EQ(Id(two[0]), Id(records[0]));
  EXPECT_EQ(Id(two[1]), Id(records[1]));
  EXPECT_EQ(Id(two[2]), 0xEEEEEEEEu);

  // Only the connected bridge carries the traffic.
  ASSERT_NE(CAN_Connect(records[2].bridgeId), -1);
  uint16_t word = 0;
  ASSERT_EQ(CAN_SDORead(127, 0x2010, 2, &word, 2, &status_), 1);
  auto sdo = Instrument()["sdo"];
  ASSERT_EQ(sdo.size(), 1u);
  EXPECT_EQ(sdo[0]["bridge"], 1) << "the bench's second bridge, listed third";
}

TEST_F(KestanLibrary, DiscoveryWithoutAnswersFindsNothingAndABadListFails) {
  StartBench({"--bridges", "2", "--fault", "no-discovery"});
  BridgeRecord records[127];
  auto start = Clock::now();
  EXPECT_EQ(CAN_EnumerateBridges(records, 127), 0);
  EXPECT_LT(SecondsSince(start), 5.0) << "the scan is bounded";
  EXPECT_GE(bench_->State()["bridges"]["list"][1]["discovery_requests"].get<int>(), 1);

  EXPECT_EQ(bench_->Control("fault no-discovery off"), "ok");
  EXPECT_EQ(CAN_EnumerateBridges(records, 127), 2);
  EXPECT_EQ(CAN_EnumerateBridges(nullptr, 0), 2) << "counting only";

  for (const char* list : {"", " , "}) {
    setenv("TAPCAL_BRIDGES", list, 1);
    EXPECT_EQ(CAN_EnumerateBridges(records, 127), 0) << "'" << list << "'";
  }
  for (const char* list : {"not-an-address", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:99999",
                           "127.0.0.1:20000,127.0.0.1:x"}) {
    setenv("TAPCAL_BRIDGES", list, 1);
    EXPECT_EQ(CAN_EnumerateBridges(records, 127), -1) << list;
  }
  EXPECT_EQ(CAN_EnumerateBridges(nullptr, 5), -1);
  EXPECT_EQ(CAN_EnumerateBridges(records, -1), -1);
}

TEST_F(KestanLibrary, ReadsAndWritesEveryObject) {
  StartBench({"--ramp-ms", "0", "--homing-ms", "0"});
  Connect();
  uint8_t one = 1, home = 3;
  uint16_t level = 65535, word = 526;
  float real = 198.0f;
  EXPECT_EQ(CAN_SDOWrite(70, 0x2000, 0, &one, 1, &status_), 1);
  EXPECT_EQ(CAN_SDOWrite(64, 0x2020, 0, &home, 1, &status_), 1);
  EXPECT_EQ(CAN_SDOWrite(64, 0x2028, 0, &level, 2, &status_), 1);
  EXPECT_EQ(CAN_SDOWrite(127, 0x2030, 0, &real, 4, &status_), 1);
  EXPECT_EQ(CAN_SDOWrite(127, 0x2010, 2, &word, 2, &status_), 1);
  EXPECT_EQ(status_.result, static_cast<uint32_t>(kestan::SdoResult::Ok));

  uint16_t readWord = 0;
  EXPECT_EQ(CAN_SDORead(127, 0x2010, 2, &readWord, 2, &status_), 1);
  EXPECT_EQ(readWord, 526);
  uint8_t statusByte = 0;
  EXPECT_EQ(CAN_SDORead(64, 0x2021, 0, &statusByte, 1, &status_), 1);
  EXPECT_EQ(statusByte & 0x1A, 0x18) << "homed at once, idle at once";

  auto instrument = Instrument();
  EXPECT_EQ(instrument["objects"]["DiffuserControl"], 1);
  EXPECT_EQ(instrument["objects"]["NdWheelCommand"], 3);
  EXPECT_EQ(instrument["objects"]["LightLevel"], 65535);
  EXPECT_EQ(instrument["objects"]["Node127Real"], 198.0);
  EXPECT_EQ(instrument["objects"]["Node127Word"], 526);
  EXPECT_TRUE(instrument["diffuser_running"]);
  auto sdo = instrument["sdo"];
  ASSERT_EQ(sdo.size(), 7u);
  EXPECT_EQ(sdo[2]["size"], 2);
  EXPECT_EQ(sdo[2]["data"], "FFFF");
  EXPECT_EQ(sdo[3]["size"], 4);

  level = 0;
  EXPECT_EQ(CAN_SDOWrite(64, 0x2028, 0, &level, 2, nullptr), 1) << "the status block is optional";
  EXPECT_EQ(Instrument()["objects"]["LightLevel"], 0);
}

TEST_F(KestanLibrary, AnAbortIsAFailureThatLeavesTheDataAlone) {
  StartBench({"--fault", "check-read-abort=0x06060000"});
  Connect();
  uint16_t word = 0xBEEF;
  EXPECT_NE(CAN_SDORead(127, 0x2010, 2, &word, 2, &status_), 1);
  EXPECT_EQ(word, 0xBEEF);
  EXPECT_EQ(status_.result, static_cast<uint32_t>(kestan::SdoResult::Aborted));
  EXPECT_EQ(status_.abortCode, 0x06060000u);

  struct Case {
    const char* what;
    bool read;
    int node, index, subindex, size;
    uint32_t abortCode;
  } cases[] = {
      {"read of a write-only object", true, 64, 0x2028, 0, 2, 0x06010001},
      {"write to a read-only object", false, 64, 0x2021, 0, 1, 0x06010002},
      {"no such object", true, 64, 0x3000, 0, 1, 0x06020000},
      {"no such subindex", true, 127, 0x2010, 1, 2, 0x06090011},
      {"write of the wrong length", false, 64, 0x2028, 0, 4, 0x06070010},
      {"read of the wrong length", true, 127, 0x2010, 2, 4, 0},
  };
  EXPECT_EQ(bench_->Control("fault check-read-abort off"), "ok");
  for (const auto& c : cases) {
    uint32_t data = 0x11223344;
    int result = c.read ? CAN_SDORead(c.node, c.index, c.subindex, &data, c.size, &status_)
                        : CAN_SDOWrite(c.node, c.index, c.subindex, &data, c.size, &status_);
    EXPECT_NE(result, 1) << c.what;
    if (c.read) {
      EXPECT_EQ(data, 0x11223344u) << c.what;
    }
    if (c.abortCode) {
      EXPECT_EQ(status_.abortCode, c.abortCode) << c.what;
    }
  }
  EXPECT_EQ(status_.result, static_cast<uint32_t>(kestan::SdoResult::BadAnswer))
      << "a 2-byte answer to a 4-byte read";
}

TEST_F(KestanLibrary, ATimeOutIsBoundedAndALateAnswerNeverPassesForTheNextOne) {
  StartBench({});
  Connect();
  uint16_t word = 111;
  ASSERT_EQ(CAN_SDOWrite(127, 0x2010, 2, &word, 2, &status_), 1);

  EXPECT_EQ(bench_->Control("fault late-answers 700"), "ok");
  auto start = Clock::now();
  EXPECT_NE(CAN_SDORead(127, 0x2010, 2, &word, 2, &status_), 1);
  double took = SecondsSince(start);
  EXPECT_EQ(status_.result, static_cast<uint32_t>(kestan::SdoResult::Timeout));
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 3.0);

  // The late answer (111) lands while nobody waits; the next read must not take it.
  EXPECT_EQ(bench_->Control("fault late-answers off"), "ok");
  word = 222;
  ASSERT_EQ(CAN_SDOWrite(127, 0x2010, 2, &word, 2, &status_), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  uint16_t readBack = 0;
  ASSERT_EQ(CAN_SDORead(127, 0x2010, 2, &readBack, 2, &status_), 1);
  EXPECT_EQ(readBack, 222);

  // Answers slower than usual but within the bound are waited for.
  EXPECT_EQ(bench_->Control("fault late-answers 100"), "ok");
  EXPECT_EQ(CAN_SDORead(127, 0x2010, 2, &readBack, 2, &status_), 1);
}

TEST_F(KestanLibrary, GarbageOnTheLinkIsSkipped) {
  StartBench({"--fault", "garbage", "--bridge-macs", "02-1A-2B-3C-4D-77", "--homing-ms", "0"});
  BridgeRecord records[127];
  ASSERT_EQ(CAN_EnumerateBridges(records, 127), 1);
  EXPECT_EQ(MacText(records[0]), "02-1A-2B-3C-4D-77");
  ASSERT_NE(CAN_Connect(records[0].bridgeId), -1);

  uint8_t home = 3, one = 1;
  EXPECT_EQ(CAN_SDOWrite(64, 0x2020, 0, &home, 1, &status_), 1);
  EXPECT_EQ(CAN_SDOWrite(70, 0x2000, 0, &one, 1, &status_), 1);
  for (uint16_t value : {0x1234, 0xFFFF, 0x0000}) {
    EXPECT_EQ(CAN_SDOWrite(127, 0x2010, 2, &value, 2, &status_), 1);
    uint16_t back = 0xAAAA;
    EXPECT_EQ(CAN_SDORead(127, 0x2010, 2, &back, 2, &status_), 1);
    EXPECT_EQ(back, value);
  }
  uint8_t statusByte = 0;
  EXPECT_EQ(CAN_SDORead(64, 0x2021, 0, &statusByte, 1, &status_), 1);
  EXPECT_EQ(statusByte & 0x18, 0x18);
  uint16_t level = 0;
  EXPECT_NE(CAN_SDORead(64, 0x2028, 0, &level, 2, &status_), 1);
  EXPECT_EQ(status_.abortCode, 0x06010001u) << "the real abort, not a stray answer's value";
}

TEST_F(KestanLibrary, ConnectFailsForABridgeThatIsGoneOrUnknown) {
  StartBench({"--fault", "vanish-after-discovery"});
  BridgeRecord records[127];
  ASSERT_EQ(CAN_EnumerateBridges(records, 127), 1);
  EXPECT_EQ(CAN_Connect(records[0].bridgeId), -1);
  EXPECT_EQ(CAN_Connect(records[0].bridgeId + 1000), -1);
  EXPECT_EQ(CAN_Connect(0), -1);

  // Back, connected; then the bench goes away: the calls fail at once or within the bound.
  EXPECT_EQ(bench_->Control("fault vanish-after-discovery off"), "ok");
  ASSERT_NE(CAN_Connect(records[0].bridgeId), -1);
  bench_->Stop();
  uint16_t word = 0;
  auto start = Clock::now();
  EXPECT_NE(CAN_SDORead(127, 0x2010, 2, &word, 2, &status_), 1);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_EQ(CAN_Connect(records[0].bridgeId), -1);
}

TEST_F(KestanLibrary, EveryCallBeforeAConnectionFailsAtOnce) {
  // The library's connection is per process: look at one that never connected.
  pid_t child = fork();
  if (child == 0) {
    uint16_t word = 7;
    kestan::SdoStatus status{};
    auto start = Clock::now();
    bool ok = CAN_SDORead(127, 0x2010, 2, &word, 2, &status) != 1 &&
              CAN_SDOWrite(64, 0x2028, 0, &word, 2, &status) != 1 && word == 7 &&
              status.result == static_cast<uint32_t>(kestan::SdoResult::NotConnected) &&
              SecondsSince(start) < 0.4;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(KestanLibrary, ArgumentsOutOfRangeFailWithoutTraffic) {
  StartBench({});
  Connect();
  uint32_t data = 0;
  struct Case {
    int node, index, subindex, size;
    void* data;
  } cases[] = {
      {0, 0x2010, 2, 2, &data},    {128, 0x2010, 2, 2, &data},   {127, -1, 2, 2, &data},
      {127, 0x10000, 2, 2, &data}, {127, 0x2010, 256, 2, &data}, {127, 0x2010, 2, 0, &data},
      {127, 0x2010, 2, 5, &data},  {127, 0x2010, 2, 2, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_NE(CAN_SDORead(c.node, c.index, c.subindex, c.data, c.size, &status_), 1);
    EXPECT_EQ(status_.result, static_cast<uint32_t>(kestan::SdoResult::BadArgument));
    EXPECT_NE(CAN_SDOWrite(c.node, c.index, c.subindex, c.data, c.size, &status_), 1);
  }
  EXPECT_EQ(Instrument()["counters"]["requests"], 0);
}

}  // namespace
