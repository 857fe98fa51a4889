// The tool's per-frame work on the grabber fake and the virtual clock: the end-of-frame callback
// and the three measurements of the calibration (their 10 ms sleeps cost nothing here, so the
// figures are the reading and summing alone).
#include <benchmark/benchmark.h>

#include <vector>

#include "acquisition/frame_ring.h"
#include "calibration/sampling.h"
#include "fakes/fake_corapi.h"
#include "fakes/virtual_clock.h"
#include "liveview/live_view.h"
#include "platform/bitmap_stretch.h"
#include "platform/sync.h"
#include "scene.h"

namespace {

void BM_XferCallback(benchmark::State& state) {
  platform::CountingSemaphore semaphore(0, 3);
  hFrameSemaphore = &semaphore;
  uint32_t buffer = 0;
  for (auto _ : state) {
    XferCallback(&bufferStatus[buffer], CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, 0);
    buffer = (buffer + 1) % 3;
    // Nobody takes the signals: from the third on the release finds the count at its cap.
  }
  hFrameSemaphore = nullptr;
}
BENCHMARK(BM_XferCallback);

// An open session of the given geometry with three delivered frames.
void OpenSession(int height, int depth) {
  fake::ResetGrabber();
  fake::ResetVirtualClock();
  scene::OpenFakeSession(640, height, depth);
  for (int position = 0; position < 3; ++position)
    fake::DeliverFrame(position);
}

template <typename Measure>
void MeasureBench(benchmark::State& state, Measure measure) {
  OpenSession(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(measure());
  fake::ResetGrabber();
}

void BM_MeasureCentreMean(benchmark::State& state) {
  MeasureBench(state, [] { return MeasureCentreMean(); });
}
void BM_MeasureTapAMean(benchmark::State& state) {
  MeasureBench(state, [] { return MeasureTapAMean(); });
}
void BM_MeasureTapMeans(benchmark::State& state) {
  MeasureBench(state, [] { return MeasureTapMeans().a; });
}
// Arguments: depth, height.
BENCHMARK(BM_MeasureCentreMean)->Args({8, 480})->Args({10, 480});
BENCHMARK(BM_MeasureTapAMean)->Args({8, 480})->Args({10, 480});
BENCHMARK(BM_MeasureTapMeans)->Args({8, 480})->Args({10, 480});

// The live view's work for one painted frame of 640×480: the reduction to 8 bits and the mapping
// through the lookup table into the bitmap, the off-screen image the paint is made from.
// Arguments: depth, and 1 to add what the X11 side does with that bitmap short of sending it to
// the server: turning it into a 32-bit image of the client area (of the same size here).
void BM_DisplayPath(benchmark::State& state) {
  constexpr int32_t kWidth = 640, kHeight = 480, kCount = kWidth * kHeight;
  int32_t bits = static_cast<int32_t>(state.range(0));
  bool toClientImage = state.range(1) != 0;
  int32_t bytesPerPixel = bits > 8 ? 2 : 1;
  BuildDisplayTables();
  std::vector<uint8_t> frame(static_cast<size_t>(kCount) * bytesPerPixel);
  for (size_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<uint8_t>(i * 7 + i / 640);
  if (bytesPerPixel == 2)
    for (size_t i = 1; i < frame.size(); i += 2)
      frame[i] &= 0x03;  // 10-bit samples
  std::vector<uint8_t> image(kCount);
  std::vector<uint8_t> bitmap(static_cast<size_t>(platform::BitmapStride(kWidth)) * kHeight);
  std::vector<uint32_t> offScreen(kCount);
  unsigned long pixels[256];
  for (int i = 0; i < 256; ++i)
    pixels[i] = (unsigned long)displayPalette[i].rgbRed << 16 | displayPalette[i].rgbGreen << 8 |
                displayPalette[i].rgbBlue;
  platform::BitmapInfo info = displayBitmapInfo;
  info.bmiHeader.biWidth = kWidth;
  info.bmiHeader.biHeight = -kHeight;
  for (auto _ : state) {
    ReduceFrame(frame.data(), bytesPerPixel, kCount, image.data());
    MapThroughLut(image.data(), kWidth, kHeight, bitmap.data());
    if (toClientImage)
      platform::StretchBitmap(info, bitmap.data(), pixels, offScreen.data(), kWidth, kHeight,
                              kWidth * sizeof(uint32_t));
    benchmark::DoNotOptimize(bitmap.data());
    benchmark::DoNotOptimize(offScreen.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DisplayPath)->ArgsProduct({{8, 10}, {0, 1}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
