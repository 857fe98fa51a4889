// The X11 paint's pixel work, apart from the window so it can be timed and tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/display.h"

namespace platform {

// Nearest neighbour: the source pixel under the centre of target pixel `at`.
inline int32_t NearestSource(uint32_t at, int32_t sourceSize, uint32_t targetSize) {
  return static_cast<int32_t>((2 * int64_t{at} + 1) * sourceSize / (2 * int64_t{targetSize}));
}

// Stretches `bits` (8-bit palette indices, `info`'s width and height and row order, rows padded
// to BitmapStride) nearest-neighbour over a 32-bit image of targetWidth × targetHeight whose rows
// are `targetStride` bytes apart; `pixels` gives the image's value for each palette index.
void StretchBitmap(const BitmapInfo& info, const uint8_t* bits, const unsigned long pixels[256],
                   uint32_t* target, uint32_t targetWidth, uint32_t targetHeight,
                   size_t targetStride);

}  // namespace platform
