#include "sensor_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace sim {

namespace {

constexpr int kPresetGain = 0x42;
constexpr size_t kNoiseSize = 1 << 16;

uint64_t NextRandom(uint64_t& state) {
  // xorshift64*: fast enough for a fresh offset per row.
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 0x2545F4914F6CDD1DULL;
}

}  // namespace

SensorParameters DefaultSensorParameters() {
  return SensorParameters{};
}

SensorParameters QuickSensorParameters() {
  SensorParameters p;
  // 4 counts dark on both taps at the preset references (0).
  p.blackOffset[0] = p.blackOffset[1] = 4.0;
  // The search probes half light first (a quarter, binned): that reads 237.5, mid-window.
  p.fullScale[0] = p.fullScale[1] = (237.5 - 4.0) * 65535.0 / 32768.0;
  p.driftCounts = 0.0;
  return p;
}

SensorParameters DrawSensorParameters(uint64_t seed) {
  std::mt19937_64 random(seed);
  auto uniform = [&](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
  };
  SensorParameters p;
  p.blackOffset[0] = uniform(-12.0, -1.0);
  p.blackPerStep[0] = uniform(0.9, 2.5);
  p.blackOffset[1] = uniform(-4.0, -0.5);
  p.blackPerStep[1] = uniform(0.9, 2.5);
  // At least one setting of the twenty must lift tap A's dark reading clearly above 3 counts.
  p.blackPerStep[0] = std::max(p.blackPerStep[0], (5.0 - p.blackOffset[0]) / 19.0);
  const double fullScale = uniform(300.0, 700.0);
  const double mismatch = uniform(-0.025, 0.025);
  p.fullScale[0] = fullScale;
  p.fullScale[1] = fullScale * (1.0 + mismatch);
  p.gainPerUnit = uniform(0.002, 0.006);
  p.driftCounts = uniform(0.3, 1.5) * (random() % 2 ? 1.0 : -1.0);
  p.driftSeconds = uniform(0.5, 3.0);
  p.readNoise = uniform(0.3, 1.0);
  p.shotNoisePerCount = uniform(0.005, 0.03);
  return p;
}

SensorModel::SensorModel(const SensorParameters& parameters, uint64_t noiseSeed)
    : parameters_(parameters), noise_(kNoiseSize), state_(noiseSeed * 0x9E3779B97F4A7C15ULL + 1) {
  std::mt19937_64 random(noiseSeed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (float& value : noise_)
    value = normal(random);
}

double SensorModel::Signal(int tap, const Exposure& exposure) const {
  const SensorParameters& p = parameters_;
  const int reference = tap == 0 ? exposure.vra : exposure.vrb;
  const int gain = tap == 0 ? exposure.mga : exposure.mgb;
  const double black = p.blackOffset[tap] + (p.blackStuck ? 0.0 : p.blackPerStep[tap] * reference);
  const double gainFactor = 1.0 + p.gainPerUnit * (gain - kPresetGain);
  double light = p.fullScale[tap] * gainFactor * exposure.light / 65535.0;
  if (exposure.binned) light *= 2.0;  // two rows of charge in one
  const double drift =
      exposure.light > 0
          ? p.driftCounts * std::exp(-exposure.secondsSinceLightChange / p.driftSeconds)
          : 0.0;
  return black + light + drift;
}

double SensorModel::ExpectedReading(int tap, const Exposure& exposure) const {
  // The converter clips; the noise is small against the thresholds, so clip the mean.
  const double top = exposure.bits == 8 ? 255.0 : 1023.0 / 4.0;
  return std::clamp(Signal(tap, exposure), 0.0, top);
}

void SensorModel::Render(const Exposure& exposure, int width, int height, void* pixels) {
  RenderRows(exposure, width, 0, height, pixels);
}

void SensorModel::RenderRows(const Exposure& exposure, int width, int firstRow, int rows,
                             void* pixels) {
  const double scale = exposure.bits == 8 ? 1.0 : 4.0;
  const float top = exposure.bits == 8 ? 255.0f : 1023.0f;
  float mean[2], sigma[2];
  for (int tap = 0; tap < 2; ++tap) {
    const double signal = Signal(tap, exposure);
    const double variance = parameters_.readNoise * parameters_.readNoise +
                            parameters_.shotNoisePerCount * std::max(signal, 0.0);
    mean[tap] = static_cast<float>(signal * scale);
    sigma[tap] = static_cast<float>(std::sqrt(variance) * scale);
  }
  const int half = width / 2;
  auto* bytes = static_cast<uint8_t*>(pixels);
  auto* words = static_cast<uint16_t*>(pixels);
  for (int row = firstRow; row < firstRow + rows; ++row) {
    const size_t offset = NextRandom(state_) % (kNoiseSize - static_cast<size_t>(width));
    const float* noise = noise_.data() + offset;
    for (int column = 0; column < width; ++column) {
      const int tap = column < half ? 0 : 1;
      float value = mean[tap] + sigma[tap] * noise[column];
      value = std::clamp(value + 0.5f, 0.0f, top);
      const size_t index =
          static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(column);
      if (exposure.bits == 8)
        bytes[index] = static_cast<uint8_t>(value);
      else
        words[index] = static_cast<uint16_t>(value);  // little-endian hosts only
    }
  }
}

}  // namespace sim
