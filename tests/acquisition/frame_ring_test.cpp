#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "acquisition/frame_ring.h"

namespace {

// The ring and its counters are never reset in the tool; each test starts from a known ring.
class FrameRing : public testing::Test {
 protected:
  void SetUp() override {
    frameRingHead = 0;
    for (auto& slot : frameRing)
      slot = 0;
    for (uint32_t i = 0; i < 3; ++i) {
      records[i].index = i;
      records[i].lastEventValue = 0;
      records[i].callbackCount = 0;
    }
  }
  void TearDown() override { hFrameSemaphore = nullptr; }

  BufferStatus records[3];
};

TEST_F(FrameRing, RecordsBuffersInRotationAndWrapsTheHead) {
  const uint32_t framesBefore = frameCount;
  for (uint32_t buffer : {0u, 1u, 2u})
    EXPECT_EQ(XferCallback(&records[buffer], CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, 100 + buffer),
              0u);
  EXPECT_EQ(frameRingHead, 0u);  // back at its starting slot
  EXPECT_EQ(frameRing[0], 0u);
  EXPECT_EQ(frameRing[1], 1u);
  EXPECT_EQ(frameRing[2], 2u);
  EXPECT_EQ(frameRing[frameRingHead], 0u);  // the oldest
  EXPECT_EQ(NewestFrameBuffer(), 2u);
  EXPECT_EQ(frameCount - framesBefore, 3u);

  // Two more on buffers 1 and 0 overwrite the two oldest slots.
  XferCallback(&records[1], 0, 7);
  XferCallback(&records[0], 0, 8);
  EXPECT_EQ(frameRingHead, 2u);
  EXPECT_EQ(frameRing[0], 1u);
  EXPECT_EQ(frameRing[1], 0u);
  EXPECT_EQ(frameRing[2], 2u);
  EXPECT_EQ(NewestFrameBuffer(), 0u);

  EXPECT_EQ(records[0].callbackCount, 2u);
  EXPECT_EQ(records[1].callbackCount, 2u);
  EXPECT_EQ(records[2].callbackCount, 1u);
  EXPECT_EQ(records[0].lastEventValue, 8u);
  EXPECT_EQ(records[1].lastEventValue, 7u);
  EXPECT_EQ(records[2].lastEventValue, 102u);
}

TEST_F(FrameRing, HeadStaysInRangeOverManyFrames) {
  for (int frame = 0; frame < 1000; ++frame) {
    XferCallback(&records[frame % 3], 0, 0);
    ASSERT_LT(frameRingHead, 3u);
  }
  EXPECT_EQ(frameRingHead, 1000u % 3);
}

TEST_F(FrameRing, SemaphoreCountStopsAtThreeWhileNobodyWaits) {
  auto semaphore = std::make_unique<platform::CountingSemaphore>(0, 3);
  hFrameSemaphore = semaphore.get();
  for (int frame = 0; frame < 2; ++frame)
    XferCallback(&records[frame % 3], 0, 0);
  EXPECT_EQ(semaphore->Count(), 2);
  for (int frame = 0; frame < 50; ++frame)
    XferCallback(&records[frame % 3], 0, 0);
  EXPECT_EQ(semaphore->Count(), 3);
  // The signals beyond the cap are lost, not queued.
  for (int taken = 0; taken < 3; ++taken)
    EXPECT_TRUE(semaphore->WaitMs(0));
  EXPECT_FALSE(semaphore->WaitMs(0));
}

TEST_F(FrameRing, CallbackWithoutSemaphoreStillRecords) {
  hFrameSemaphore = nullptr;
  XferCallback(&records[2], 0, 0);
  EXPECT_EQ(frameRing[0], 2u);
  EXPECT_EQ(frameRingHead, 1u);
}

}  // namespace
