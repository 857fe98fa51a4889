#include "calibration/calibration.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "acquisition/frame_ring.h"
#include "calibration/sampling.h"
#include "camera/camera_protocol.h"
#include "instrument/instrument.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace {

constexpr int kReferenceSettings = 20;
constexpr double kDarkThreshold = 3.0;
constexpr double kWindowLow = 235.0;
constexpr double kWindowHigh = 240.0;
constexpr int kStabilisationPasses = 10;
constexpr double kSettledWithin = 0.5;
constexpr int kStartGain = 0x42;
// The gain commands hold three hexadecimal digits.
constexpr int kMaxGain = 0xFFF;
constexpr uint32_t kValueCommandLength = 9;
constexpr uint32_t kPageCommandLength = 7;

// The most recently formatted camera command.
char pendingCommand[100];

void SendFormatted(const char* format, int value, uint32_t length) {
  std::snprintf(pendingCommand, sizeof pendingCommand, format, value);
  SendCameraCommand(pendingCommand, length);
}

double MeasureAndShowCentre() {
  double mean = MeasureCentreMean();
  std::printf("Average = %.4f\n", mean);
  return mean;
}

void SetLightAndWait(int32_t level) {
  SetLightLevel(static_cast<uint16_t>(level & 0xFFFF));
  WaitInstrumentIdle();
}

void Prepare() {
  SetLightLevel(0);
  WaitInstrumentIdle();
  WriteNode127Real(198.0f);
  WriteNode127Word(526);
}

// The lowest tap-A reference setting whose dark centre reads above 3 counts; -1 when none does.
int FindReferenceSetting(double* lastCentreMean) {
  for (int setting = 0; setting < kReferenceSettings; ++setting) {
    SendFormatted(":VRA=%03X\r", setting, kValueCommandLength);
    platform::SleepMs(100);
    *lastCentreMean = MeasureAndShowCentre();
    if (*lastCentreMean > kDarkThreshold) {
      std::printf("Setting Vref A to %d\n", setting);
      return setting;
    }
  }
  return -1;
}

// Binary search of the level for a centre reading inside 235..240; returns the level last probed.
int32_t CoarseLightSearch(double* lastCentreMean) {
  int32_t level = 0;
  int32_t step = 0x10000;
  for (;;) {
    SetLightAndWait(level);
    *lastCentreMean = MeasureAndShowCentre();
    if (*lastCentreMean < kWindowLow) {
      level += step / 2;
    } else if (*lastCentreMean <= kWindowHigh) {
      std::printf("Coarse set complete. Setting fine.\n");
      return level;
    } else {
      level -= step / 2;
    }
    step /= 2;
    if (step == 0) return level;
  }
}

// Lowers the level in steps of about 1 % until the centre reads below 240.
void FineLightSearch(int32_t lastWritten, double* lastCentreMean) {
  const int32_t start = lastWritten & 0xFFFF;
  if (start == 0) return;
  const int32_t step = start / 100 > 0 ? start / 100 : 1;
  for (int32_t level = start;;) {
    SetLightAndWait(level);
    *lastCentreMean = MeasureAndShowCentre();
    if (*lastCentreMean < kWindowHigh) {
      std::printf("Setting gains at average intensity of %f\n", *lastCentreMean);
      return;
    }
    level -= step;
    if (level <= 0) return;
  }
}

void StabiliseCcd(double reference) {
  std::printf("Stabilizing CCD.");
  for (int pass = 0; pass < kStabilisationPasses; ++pass) {
    double mean = MeasureTapAMean();
    if (std::fabs(reference - mean) < kSettledWithin) break;
    reference = mean;
    std::printf(".");
  }
  std::printf(" Done.\n");
}

TapMeans MeasureAndShowTaps(int iteration) {
  TapMeans means = MeasureTapMeans();
  std::printf("Iteration %d: A tap avg intensity = %10.3f B tap avg intensity = %10.3f\n",
              iteration, means.a, means.b);
  return means;
}

// Raises the dimmer tap's gain one unit at a time until it catches up with the other tap, or
// steps back one unit when a raise widened the gap.
void BalanceTapGains() {
  int gainA = kStartGain;
  int gainB = kStartGain;
  TapMeans means = MeasureAndShowTaps(0);
  double previousDifference = means.a - means.b;

  const bool raiseA = means.a < means.b;  // equal means raise tap B
  int& gain = raiseA ? gainA : gainB;
  const char* format = raiseA ? ":MGA=%03X\r" : ":MGB=%03X\r";
  gain = kStartGain + 1;
  std::snprintf(pendingCommand, sizeof pendingCommand, format, gain);

  uint32_t framesBefore = frameCount;
  for (int iteration = 1;; ++iteration) {
    SendCameraCommand(pendingCommand, kValueCommandLength);
    platform::SleepMs(500);
    means = MeasureAndShowTaps(iteration);
    // Not one frame over a whole pass: the stream has stopped, and the same picture would be
    // measured after every raise up to the ceiling, some 4000 passes away.
    const bool streamStopped = frameCount == framesBefore;
    framesBefore = frameCount;
    const double difference = means.a - means.b;
    if (std::fabs(difference) > std::fabs(previousDifference)) {
      --gain;
      SendFormatted(format, gain, kValueCommandLength);
      return;
    }
    const bool stillBehind = raiseA ? means.a < means.b : means.b < means.a;
    // At the ceiling, or with no frames coming, the tap counts as caught up: a camera that ignores
    // gain commands, or sends nothing more, must not keep the balance going for ever.
    if (!stillBehind || gain >= kMaxGain || streamStopped) return;
    ++gain;
    std::snprintf(pendingCommand, sizeof pendingCommand, format, gain);
    previousDifference = difference;
  }
}

}  // namespace

int CalibrateMode(int mode) {
  double lastCentreMean = 0.0;
  Prepare();
  if (FindReferenceSetting(&lastCentreMean) < 0) {
    platform::ShowMessageBox("Calibration failed: excess Vref");
    return 0;
  }
  const int32_t level = CoarseLightSearch(&lastCentreMean);
  FineLightSearch(level, &lastCentreMean);
  StabiliseCcd(lastCentreMean);
  BalanceTapGains();
  SendFormatted(":WRPG%d\r", mode + 1, kPageCommandLength);
  return 1;
}
