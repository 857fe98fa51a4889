// The tool's per-frame work on the grabber fake and the virtual clock: the end-of-frame callback
// and the three measurements of the calibration (their 10 ms sleeps cost nothing here, so the
// figures are the reading and summing alone).
#include <benchmark/benchmark.h>

#include "acquisition/frame_ring.h"
#include "calibration/sampling.h"
#include "fakes/fake_corapi.h"
#include "fakes/virtual_clock.h"
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

}  // namespace

BENCHMARK_MAIN();
