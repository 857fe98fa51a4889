#include "platform/bitmap_stretch.h"

#include <cstdlib>
#include <vector>

namespace platform {

void StretchBitmap(const BitmapInfo& info, const uint8_t* bits, const unsigned long pixels[256],
                   uint32_t* target, uint32_t targetWidth, uint32_t targetHeight,
                   size_t targetStride) {
  int32_t width = info.bmiHeader.biWidth;
  int32_t height = std::abs(info.bmiHeader.biHeight);
  bool topDown = info.bmiHeader.biHeight < 0;
  if (width <= 0 || height <= 0) return;
  int32_t stride = BitmapStride(width);

  if (static_cast<uint32_t>(width) == targetWidth &&
      static_cast<uint32_t>(height) == targetHeight) {  // the usual case: no stretch at all
    for (uint32_t y = 0; y < targetHeight; ++y) {
      const uint8_t* source = bits + static_cast<size_t>(topDown ? y : height - 1 - y) * stride;
      auto* line =
          reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(target) + y * targetStride);
      for (uint32_t x = 0; x < targetWidth; ++x)
        line[x] = static_cast<uint32_t>(pixels[source[x]]);
    }
    return;
  }
  std::vector<int32_t> column(targetWidth);
  for (uint32_t x = 0; x < targetWidth; ++x)
    column[x] = NearestSource(x, width, targetWidth);
  for (uint32_t y = 0; y < targetHeight; ++y) {
    int32_t row = NearestSource(y, height, targetHeight);
    const uint8_t* source = bits + static_cast<size_t>(topDown ? row : height - 1 - row) * stride;
    auto* line = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(target) + y * targetStride);
    for (uint32_t x = 0; x < targetWidth; ++x)
      line[x] = static_cast<uint32_t>(pixels[source[column[x]]]);
  }
}

}  // namespace platform
