// The picture of the two-tap CCD: two taps split at the centre column, each with a black level
// that rises with its reference voltage and a gain that rises by a fraction of a percent per gain
// unit (with a built-in mismatch between the taps), a response to the illumination level, a small
// drift that settles after each light change, read and shot noise, clipping at the top of the
// range, and 2x vertical binning in the binned modes. Shared by the bench's frame source and the
// tests that run the calibration against it in-process.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct SensorParameters {
  // Per tap (0 = A, 1 = B), in 8-bit counts: black = blackOffset + blackPerStep * reference,
  // clipped at 0 by the converter; the offset is below zero so the lowest settings read dark.
  double blackOffset[2] = {-6.0, -1.5};
  double blackPerStep[2] = {1.2, 1.1};
  // Counts (8-bit) at full illumination and the preset gain 0x42, per tap: the tap mismatch.
  double fullScale[2] = {380.0, 376.0};
  // Relative change of the response per gain unit away from 0x42.
  double gainPerUnit = 0.004;
  // Drift after a light change: amplitude (counts, relative to the settled signal) and time
  // constant in seconds.
  double driftCounts = 1.0;
  double driftSeconds = 1.5;
  // Noise: read noise (counts) and shot noise (variance in counts per count of signal).
  double readNoise = 0.6;
  double shotNoisePerCount = 0.02;
  // A black level that never rises (a faulty camera): the reference voltage has no effect.
  bool blackStuck = false;
};

SensorParameters DefaultSensorParameters();
// A different camera for each seed: mismatch, black levels, light response.
SensorParameters DrawSensorParameters(uint64_t seed);
// A camera that the calibration gets through in the fewest steps, for runs that repeat a whole
// calibration many times: the first reference setting already reads above the dark threshold,
// the light window is met at the second probe of the light search (the third, binned), no drift
// and no tap mismatch.
SensorParameters QuickSensorParameters();

// What the camera is set to and sees when a frame is taken.
struct Exposure {
  int vra = 0, vrb = 0;
  int mga = 0x42, mgb = 0x42;
  bool binned = false;  // 2x vertical binning: two sensor rows summed into one
  int bits = 8;         // 8 or 10
  double light = 0;     // illumination level 0..65535
  double secondsSinceLightChange = 1e9;
};

class SensorModel {
 public:
  explicit SensorModel(const SensorParameters& parameters, uint64_t noiseSeed = 1);

  // The noise-free signal of a tap in 8-bit counts (may exceed the range; the converter clips).
  double Signal(int tap, const Exposure& exposure) const;
  // The expected reading of a tap in 8-bit counts, as a long average of frames would show it.
  double ExpectedReading(int tap, const Exposure& exposure) const;

  // One frame, `width` x `height`, top row first: bytes for 8 bits, little-endian 16-bit words
  // for 10 bits. Columns below width / 2 are tap A.
  void Render(const Exposure& exposure, int width, int height, void* pixels);
  // Only rows firstRow .. firstRow + rows - 1 of such a frame; the others are left as they are.
  void RenderRows(const Exposure& exposure, int width, int firstRow, int rows, void* pixels);

  const SensorParameters& Parameters() const { return parameters_; }

 private:
  SensorParameters parameters_;
  std::vector<float> noise_;  // unit normal deviates, reused with random offsets
  uint64_t state_;
};

}  // namespace sim
