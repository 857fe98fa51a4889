#include "calibration/sampling.h"

#include "acquisition/frame_ring.h"
#include "platform/clock.h"
#include "vendor/corapi.h"

namespace {

constexpr int kRows = 10;
// A frame whose address cannot be had is taken again after the next sleep; this many extra
// attempts bound a measurement when the grabber keeps failing.
constexpr int kExtraAttempts = 100;

struct Area {
  int firstColumn;  // relative to the centre column
  int columns;
};
constexpr Area kCentreBlock{-10, 10};
constexpr Area kTapAColumn{-1, 1};
constexpr Area kTapBColumn{0, 1};

uint32_t SumArea(const uint8_t* address, Area area) {
  const int r0 = imageHeight / 2;
  const int c0 = imageWidth / 2;
  uint32_t sum = 0;
  for (int row = r0; row < r0 + kRows; ++row)
    for (int column = c0 + area.firstColumn; column < c0 + area.firstColumn + area.columns;
         ++column)
      sum += ReadPixel(address, row, column);
  return sum;
}

// Sums each area over `frames` frames; the means in 8-bit counts. With every frame read, each
// mean is built from exactly 1000 samples and divided by 1000.0 (or 4000.0 above 8 bits).
template <size_t N>
void Measure(int frames, const Area (&areas)[N], double (&means)[N]) {
  uint32_t sums[N] = {};
  int framesRead = 0;
  for (int attempt = 0; framesRead < frames && attempt < frames + kExtraAttempts; ++attempt) {
    const uint8_t* address = RingFrameAddress();
    if (!address) continue;  // never read through a missing address
    for (size_t i = 0; i < N; ++i)
      sums[i] += SumArea(address, areas[i]);
    ++framesRead;
  }
  const double scale = pixelDepth <= 8 ? 1.0 : 4.0;
  for (size_t i = 0; i < N; ++i) {
    const double samples = static_cast<double>(framesRead) * kRows * areas[i].columns;
    means[i] = framesRead == 0 ? 0.0 : sums[i] / (samples * scale);
  }
}

}  // namespace

const uint8_t* RingFrameAddress() {
  platform::SleepMs(10);
  void* address = nullptr;
  if (CorBufferGetPrm(hHostBufferMono[NewestFrameBuffer()], CORBUFFER_PRM_ADDRESS, &address) != 0)
    return nullptr;
  return static_cast<const uint8_t*>(address);
}

uint32_t ReadPixel(const uint8_t* address, int row, int column) {
  const size_t element =
      static_cast<size_t>(row) * static_cast<size_t>(imageWidth) + static_cast<size_t>(column);
  if (pixelDepth <= 8) return address[element];  // byte elements, as the buffers hold them
  return address[2 * element] | static_cast<uint32_t>(address[2 * element + 1]) << 8;
}

double MeasureCentreMean() {
  const Area areas[] = {kCentreBlock};
  double means[1];
  Measure(10, areas, means);
  return means[0];
}

double MeasureTapAMean() {
  const Area areas[] = {kTapAColumn};
  double means[1];
  Measure(100, areas, means);
  return means[0];
}

TapMeans MeasureTapMeans() {
  const Area areas[] = {kTapAColumn, kTapBColumn};
  double means[2];
  Measure(100, areas, means);
  return {means[0], means[1]};
}
