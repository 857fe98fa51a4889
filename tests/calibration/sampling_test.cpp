#include <gtest/gtest.h>

#include <functional>

#include "acquisition/frame_ring.h"
#include "calibration/sampling.h"
#include "fakes/fake_corapi.h"
#include "fakes/virtual_clock.h"
#include "scene.h"

namespace {

using PixelValue = std::function<int(int row, int column)>;

class SamplingTest : public testing::Test {
 protected:
  void Open(int width, int height, int depth) {
    fake::ResetGrabber();
    fake::ResetVirtualClock();
    scene::OpenFakeSession(width, height, depth);
  }
  // Fills the buffer at `position` and completes its frame.
  static void Deliver(int position, const PixelValue& value) {
    fake::DeliverFrame(position, [&](const fake::FakeBuffer& buffer, uint64_t) {
      for (uint32_t row = 0; row < buffer.height; ++row)
        for (uint32_t column = 0; column < buffer.width; ++column) {
          size_t index = row * buffer.width + column;
          int v = value(static_cast<int>(row), static_cast<int>(column));
          if (buffer.bytesPerPixel == 1)
            buffer.pixels[index] = static_cast<uint8_t>(v);
          else
            reinterpret_cast<uint16_t*>(buffer.pixels)[index] = static_cast<uint16_t>(v);
        }
    });
  }
  static void DeliverAll(const PixelValue& value) {
    for (int position = 0; position < 3; ++position)
      Deliver(position, value);
  }
  void TearDown() override {
    for (CORBUFFER& buffer : hHostBufferMono)
      buffer = 0;
    fake::ResetGrabber();
  }
};

TEST_F(SamplingTest, UniformCentreBlockIn8And10Bits) {
  Open(640, 480, 8);
  DeliverAll([](int, int) { return 240; });
  EXPECT_EQ(MeasureCentreMean(), 240.0);
  EXPECT_EQ(fake::Sleeps(), std::vector<uint32_t>(10, 10));

  Open(640, 240, 10);
  DeliverAll([](int, int) { return 960; });
  EXPECT_EQ(MeasureCentreMean(), 240.0);
  DeliverAll([](int, int) { return 1023; });
  EXPECT_EQ(MeasureCentreMean(), 255.75);
}

TEST_F(SamplingTest, TapColumnsAtTheSeamAndNothingOutsideTheAreasCounts) {
  Open(640, 480, 8);
  // Left half 100, right half 104 inside rows 240..249; everything else saturated.
  DeliverAll([](int row, int column) {
    if (row < 240 || row > 249) return 255;
    if (column < 310 || column > 320) return 255;
    return column < 320 ? 100 : 104;
  });
  TapMeans means = MeasureTapMeans();
  EXPECT_EQ(means.a, 100.0);
  EXPECT_EQ(means.b, 104.0);
  EXPECT_EQ(MeasureTapAMean(), 100.0);
  EXPECT_EQ(MeasureCentreMean(), 100.0);
  EXPECT_EQ(fake::Sleeps().size(), 210u);
}

TEST_F(SamplingTest, OddWidthPutsTheSeamAtColumn320) {
  Open(641, 480, 8);
  DeliverAll([](int, int column) { return column == 319 ? 50 : column == 320 ? 60 : 0; });
  TapMeans means = MeasureTapMeans();
  EXPECT_EQ(means.a, 50.0);
  EXPECT_EQ(means.b, 60.0);
}

TEST_F(SamplingTest, ReadsTheNewestCompletedFrame) {
  Open(640, 480, 8);
  Deliver(0, [](int, int) { return 10; });
  Deliver(1, [](int, int) { return 20; });
  Deliver(2, [](int, int) { return 30; });
  EXPECT_EQ(MeasureCentreMean(), 30.0);  // the head is back at slot 0, which the grabber refills
  Deliver(0, [](int, int) { return 40; });
  EXPECT_EQ(MeasureCentreMean(), 40.0);
}

TEST_F(SamplingTest, AFrameWithoutAnAddressIsTakenAgain) {
  Open(640, 480, 8);
  DeliverAll([](int, int) { return 120; });
  fake::FailCorCall("CorBufferGetPrm", 2, fake::kFakeBadHandle);
  fake::FailCorCall("CorBufferGetPrm", 5, fake::kFakeBadHandle);
  EXPECT_EQ(MeasureCentreMean(), 120.0);
  EXPECT_EQ(fake::CorCallsOf("CorBufferGetPrm").size(), 12u);
}

TEST_F(SamplingTest, NoAddressAtAllGivesZeroAfterABoundedNumberOfTries) {
  Open(640, 480, 8);
  DeliverAll([](int, int) { return 120; });
  for (int use = 1; use <= 1000; ++use)
    fake::FailCorCall("CorBufferGetPrm", use, 1);
  EXPECT_EQ(MeasureCentreMean(), 0.0);
  size_t tries = fake::CorCallsOf("CorBufferGetPrm").size();
  EXPECT_GT(tries, 10u);
  EXPECT_LT(tries, 1000u);
}

}  // namespace
