#include "run/tapcal_run.h"

#include <cstdio>

#include "acquisition/frame_ring.h"
#include "acquisition/session.h"
#include "calibration/calibration.h"
#include "instrument/instrument.h"
#include "liveview/live_view.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "run/instrument_lookup.h"

namespace {

constexpr int kModeCount = 4;

// Starts mid-range so that the operator sees a picture at the first set-up.
constexpr uint16_t kFirstSetupLightLevel = 32768;
uint16_t setupLightLevel = kFirstSetupLightLevel;
bool calibrationFailed = false;

// The digit keys' fixed levels, '0' first.
constexpr uint16_t kDigitLevels[10] = {65535, 6553,  13107, 19660, 26214,
                                       32768, 39321, 45875, 52428, 58982};

// Applies a light key to the level; false for a key that changes nothing and writes nothing.
bool ApplyLightKey(int key, uint16_t* level) {
  if (key == '/') {
    // Stops at 0: a darker key must never jump to full light.
    *level = *level >= 50 ? static_cast<uint16_t>(*level - 50) : 0;
    return true;
  }
  if (key == '*') {
    *level = *level > 65485 ? 65535 : static_cast<uint16_t>(*level + 50);
    return true;
  }
  if (key >= '0' && key <= '9') {
    *level = kDigitLevels[key - '0'];
    return true;
  }
  return false;
}

void LightSetup() {
  std::printf("Setup cavity with no features across center vertical strip.\n");
  std::printf("Use '/' and '*' keys to change light. Press 'ESC' to start.\n");
  for (;;) {
    while (!platform::KeyWaiting())
      platform::SleepMs(10);
    int key = platform::ReadKey();
    if (key == platform::kEscapeKey) return;
    if (ApplyLightKey(key, &setupLightLevel)) SetLightLevel(setupLightLevel);
    WaitInstrumentIdle();
  }
}

int Close() {
  ReleaseServers();
  std::printf("Application Terminating, press any key...\n");
  platform::ReadKey();
  return 0;
}

}  // namespace

int RunTapcal() {
  // Progress dots and the unterminated failure line must show at once, as on a console.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  setupLightLevel = kFirstSetupLightLevel;
  BuildDisplayTables();
  CreateWindowReadyEvent();
  if (ConnectInstrument() == LookupResult::Failed) return 0;
  if (OpenServers() != 0) return Close();
  LoadDisplayResources();
  StartDiffuser();
  HomeNdWheel();

  calibrationFailed = false;
  for (int mode = 0; mode < kModeCount && !calibrationFailed; ++mode) {
    if (!OpenSession(mode)) return 0;
    StartWindowThread();
    if (!StartGrab()) return Close();
    std::printf("Calibrating %d x %d @ %d-bits.\n", imageWidth, imageHeight, pixelDepth);
    SetLightLevel(setupLightLevel);
    WaitInstrumentIdle();
    if (mode == 0) LightSetup();
    if (CalibrateMode(mode) == 0) calibrationFailed = true;
    StopGrab();
    CloseSession();
    EndWindowThread();
  }
  return Close();
}
