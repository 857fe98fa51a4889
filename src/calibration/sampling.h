// Mean intensities of three small areas at the image centre, over frames taken from the running
// acquisition, in 8-bit counts (deeper samples count a quarter).
#pragma once

#include <cstdint>

// Sleeps 10 ms, then the pixels of the newest completed frame; nullptr when the grabber gives no
// address for it.
const uint8_t* RingFrameAddress();

// The element of pixel (row, column): a byte at depth 8, a little-endian 16-bit word above.
uint32_t ReadPixel(const uint8_t* address, int row, int column);

struct TapMeans {
  double a;
  double b;
};

// The centre block (rows r0..r0+9, columns c0-10..c0-1) over 10 frames.
double MeasureCentreMean();
// The tap-A column (c0-1) over 100 frames.
double MeasureTapAMean();
// The tap-A and tap-B columns (c0-1, c0) from the same 100 frames.
TapMeans MeasureTapMeans();
