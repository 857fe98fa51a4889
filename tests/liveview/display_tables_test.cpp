#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "liveview/live_view.h"

namespace {

class DisplayTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BuildDisplayTables(); }
};

TEST_F(DisplayTables, LutMapsTheListedIntensities) {
  const std::pair<int, int> listed[] = {{0, 3},     {1, 3},     {2, 4},    {85, 82},
                                        {170, 161}, {254, 239}, {255, 240}};
  for (auto [intensity, index] : listed)
    EXPECT_EQ(displayLut[intensity], index) << "intensity " << intensity;
}

TEST_F(DisplayTables, LutShows238IndicesAndOnlyFullScaleIsRed) {
  std::map<int, int> intensitiesPerIndex;
  for (int i = 0; i < 256; ++i) {
    ++intensitiesPerIndex[displayLut[i]];
    if (i > 0) {
      EXPECT_GE(displayLut[i], displayLut[i - 1]) << "not rising at " << i;
    }
  }
  EXPECT_EQ(intensitiesPerIndex.size(), 238u);
  int shared = 0;
  for (auto [index, count] : intensitiesPerIndex) {
    EXPECT_GE(index, 3);
    EXPECT_LE(index, 240);
    EXPECT_LE(count, 2) << "index " << index;
    if (count == 2) ++shared;
  }
  EXPECT_EQ(shared, 18);
  EXPECT_EQ(intensitiesPerIndex[240], 1);
}

TEST_F(DisplayTables, PaletteIsGreyWithOneRedEntry) {
  for (int i = 0; i < 256; ++i) {
    const platform::RgbQuad& entry = displayPalette[i];
    EXPECT_EQ(entry.rgbRed, i);
    EXPECT_EQ(entry.rgbGreen, i == 240 ? 0 : i);
    EXPECT_EQ(entry.rgbBlue, i == 240 ? 0 : i);
    EXPECT_EQ(entry.rgbReserved, 0);
  }
  EXPECT_EQ(static_cast<void*>(displayPalette), reinterpret_cast<char*>(&displayBitmapInfo) + 40);
}

TEST_F(DisplayTables, BitmapHeaderDescribesAnUncompressed8BitPalettedImage) {
  const platform::BitmapInfoHeader& header = displayBitmapInfo.bmiHeader;
  EXPECT_EQ(sizeof displayBitmapInfo, 1064u);
  EXPECT_EQ(header.biSize, 40u);
  EXPECT_EQ(header.biPlanes, 1);
  EXPECT_EQ(header.biBitCount, 8);
  EXPECT_EQ(header.biCompression, 0u);
  EXPECT_EQ(header.biClrUsed, 256u);
  EXPECT_EQ(header.biClrImportant, 0u);
  EXPECT_EQ(header.biXPelsPerMeter, 0);
  EXPECT_EQ(header.biYPelsPerMeter, 0);
}

}  // namespace

// The paint maps through the table as it stands, also where it differs from its formula; rows of
// an odd width keep their padding out of the picture.
TEST_F(DisplayTables, PaintMappingFollowsTheTable) {
  constexpr int32_t kWidth = 257, kHeight = 2;
  std::vector<uint8_t> image(kWidth * kHeight);
  for (size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<uint8_t>(i);
  int32_t stride = platform::BitmapStride(kWidth);
  for (bool changed : {false, true}) {
    uint8_t saved = displayLut[200];
    if (changed) displayLut[200] = 7;
    std::vector<uint8_t> bits(static_cast<size_t>(stride) * kHeight, 0xEE);
    MapThroughLut(image.data(), kWidth, kHeight, bits.data());
    displayLut[200] = saved;
    for (int32_t y = 0; y < kHeight; ++y)
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t intensity = image[y * kWidth + x];
        uint8_t expected = changed && intensity == 200 ? 7 : displayLut[intensity];
        ASSERT_EQ(bits[y * stride + x], expected) << "changed " << changed << " at " << x;
      }
    EXPECT_EQ(bits[kWidth], 0xEE) << "padding written";
  }
}
