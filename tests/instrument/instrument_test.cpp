#include <gtest/gtest.h>

#include <cstring>

#include "fakes/fake_kestan.h"
#include "fakes/virtual_clock.h"
#include "instrument/instrument.h"

namespace {

const fake::ObjectKey kStatus{64, 0x2021, 0};

class InstrumentTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::ResetBridge();
    fake::ResetVirtualClock();
    testing::internal::CaptureStdout();
  }
  std::string Output() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
  // The status byte reads `before` until `atMs` of virtual time, then `after`.
  static void StatusChangesAt(uint64_t atMs, uint8_t before, uint8_t after) {
    fake::SetObjectReader(
        kStatus, [=](uint64_t now) { return std::vector<uint8_t>{now < atMs ? before : after}; });
  }
};

struct IdleCase {
  const char* name;
  uint64_t idleAtMs;  // when the busy bit clears
  uint8_t busyStatus;
  size_t reads;
};

TEST_F(InstrumentTest, WaitInstrumentIdleSleepsBeforeEachOfAtMostTenReads) {
  const IdleCase cases[] = {
      {"idle at once", 0, 0x02, 1},
      {"idle after 2.5 s", 2500, 0x02, 3},
      {"busy with homed bits still busy", 4000, 0x1A, 4},
      {"never idle", UINT64_MAX, 0x02, 10},
  };
  for (const IdleCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake::ResetBridge();
    fake::ResetVirtualClock();
    StatusChangesAt(c.idleAtMs, c.busyStatus, 0x00);
    WaitInstrumentIdle();
    auto reads = fake::CanCallsOf("CAN_SDORead");
    ASSERT_EQ(reads.size(), c.reads);
    for (size_t i = 0; i < reads.size(); ++i) {
      EXPECT_EQ(reads[i].atMs, 1000 * (i + 1));  // the sleep comes first
      EXPECT_EQ(std::tie(reads[i].node, reads[i].index, reads[i].subindex, reads[i].size),
                std::make_tuple(64, 0x2021, 0, 1));
      EXPECT_TRUE(reads[i].statusBlockGiven);
    }
    EXPECT_EQ(fake::VirtualNowMs(), 1000 * c.reads);
  }
  Output();
}

TEST_F(InstrumentTest, FailedReadBeforeAnySuccessCountsAsIdle) {
  StatusChangesAt(UINT64_MAX, 0x02, 0x02);
  fake::FailCall("CAN_SDORead", 1, 0);
  WaitInstrumentIdle();
  EXPECT_EQ(fake::CanCallsOf("CAN_SDORead").size(), 1u);
  Output();
}

TEST_F(InstrumentTest, HomeNdWheelWritesThreeThenPollsTheHomingBits) {
  struct HomingCase {
    const char* name;
    uint64_t homedAtMs;
    uint8_t homedStatus;
    size_t reads;
    uint64_t endMs;
  };
  const HomingCase cases[] = {
      {"homed at the first read", 0, 0x18, 1, 0},
      {"homed while busy", 0, 0x1A, 1, 0},
      {"homed after 3.5 s", 3500, 0x18, 5, 4000},
      {"one homing bit is not enough", UINT64_MAX, 0x10, 10, 10000},
      {"never homed", UINT64_MAX, 0x00, 10, 10000},
  };
  for (const HomingCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake::ResetBridge();
    fake::ResetVirtualClock();
    uint8_t notHomed = c.homedAtMs == UINT64_MAX ? c.homedStatus : 0x00;
    StatusChangesAt(c.homedAtMs, notHomed, c.homedStatus);
    HomeNdWheel();
    auto writes = fake::CanCallsOf("CAN_SDOWrite");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::tie(writes[0].node, writes[0].index, writes[0].subindex),
              std::make_tuple(64, 0x2020, 0));
    EXPECT_EQ(writes[0].data, std::vector<uint8_t>{3});
    EXPECT_EQ(fake::CanCallsOf("CAN_SDORead").size(), c.reads);
    EXPECT_EQ(fake::VirtualNowMs(), c.endMs);  // the tenth read is followed by its sleep too
  }
  std::string expected;
  for (size_t i = 0; i < std::size(cases); ++i)
    expected += "Homing ND wheel\n";
  EXPECT_EQ(Output(), expected);
}

TEST_F(InstrumentTest, HomingWithEveryReadFailingGivesUpAfterTen) {
  for (int i = 1; i <= 10; ++i)
    fake::FailCall("CAN_SDORead", i, 0);
  HomeNdWheel();
  EXPECT_EQ(fake::CanCallsOf("CAN_SDORead").size(), 10u);
  EXPECT_EQ(fake::VirtualNowMs(), 10000u);
  Output();
}

TEST_F(InstrumentTest, WritesSendTheirBytesLittleEndian) {
  StartDiffuser();
  SetLightLevel(0);
  SetLightLevel(65535);
  SetLightLevel(0x1234);
  WriteNode127Real(198.0f);
  WriteNode127Word(526);
  auto writes = fake::CanCallsOf("CAN_SDOWrite");
  ASSERT_EQ(writes.size(), 6u);
  auto object = [](const fake::CanCall& call) {
    return std::make_tuple(call.node, call.index, call.subindex, call.size);
  };
  EXPECT_EQ(object(writes[0]), std::make_tuple(70, 0x2000, 0, 1));
  EXPECT_EQ(writes[0].data, std::vector<uint8_t>{1});
  EXPECT_EQ(object(writes[1]), std::make_tuple(64, 0x2028, 0, 2));
  EXPECT_EQ(writes[1].data, (std::vector<uint8_t>{0x00, 0x00}));
  EXPECT_EQ(writes[2].data, (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(writes[3].data, (std::vector<uint8_t>{0x34, 0x12}));
  EXPECT_EQ(object(writes[4]), std::make_tuple(127, 0x2030, 0, 4));
  EXPECT_EQ(writes[4].data, (std::vector<uint8_t>{0x00, 0x00, 0x46, 0x43}));  // 198.0f
  EXPECT_EQ(object(writes[5]), std::make_tuple(127, 0x2010, 2, 2));
  EXPECT_EQ(writes[5].data, (std::vector<uint8_t>{0x0E, 0x02}));
  for (auto& write : writes)
    EXPECT_TRUE(write.statusBlockGiven);
  EXPECT_EQ(Output(), "Starting diffuser disk\n");
}

}  // namespace
