#include "fake_parts.h"

#include <cstdio>
#include <mutex>

#include "acquisition/frame_ring.h"
#include "acquisition/session.h"
#include "calibration/calibration.h"
#include "fakes/fake_kestan.h"
#include "fakes/virtual_clock.h"
#include "liveview/live_view.h"
#include "platform/console.h"

namespace {

std::mutex mutex;
fake_parts::Script script;
std::vector<std::string> events;
int currentMode = -1;

void Event(const std::string& text) {
  std::lock_guard lock(mutex);
  events.push_back(text);
}

void LogInstrument(const fake::CanCall& call) {
  if (call.function == "CAN_SDOWrite" && call.node == 64 && call.index == 0x2028)
    events.push_back("Light " + std::to_string(call.data[0] | call.data[1] << 8));
  else if (call.function == "CAN_SDORead" && call.node == 64 && call.index == 0x2021)
    events.push_back("StatusRead");
  else if (call.function == "CAN_SDOWrite" && call.node == 70)
    events.push_back("Diffuser");
  else if (call.function == "CAN_SDOWrite" && call.node == 64 && call.index == 0x2020)
    events.push_back("Home");
  else
    events.push_back(call.function);
}

}  // namespace

namespace fake_parts {

void Reset(const Script& newScript) {
  fake::ResetBridge();
  for (const auto& [function, use, result] : newScript.canFailures)
    fake::FailCall(function, use, result);
  fake::ResetVirtualClock();
  {
    std::lock_guard lock(mutex);
    script = newScript;
    events.clear();
    currentMode = -1;
  }
  // The bridge fake calls its observer with its own lock held, so its lock comes first, never
  // after ours: the observer is set with ours released.
  fake::OnCanCall([](const fake::CanCall& call) {
    std::lock_guard inner(mutex);
    LogInstrument(call);
  });
}

std::vector<std::string> Events() {
  std::lock_guard lock(mutex);
  return events;
}

}  // namespace fake_parts

int32_t imageWidth = 0;
int32_t imageHeight = 0;
int32_t pixelDepth = 0;

CORSTATUS OpenServers() {
  Event("OpenServers");
  return script.openServersStatus;
}
void ReleaseServers() {
  Event("ReleaseServers");
}
bool OpenSession(int mode) {
  Event("OpenSession " + std::to_string(mode));
  if (mode == script.openSessionFailsInMode) return false;
  currentMode = mode;
  imageWidth = 640;
  imageHeight = mode % 2 ? 240 : 480;
  pixelDepth = mode < 2 ? 8 : 10;
  return true;
}
bool StartGrab() {
  Event("StartGrab");
  return !script.startGrabFails;
}
bool StopGrab() {
  Event("StopGrab");
  return true;
}
void CloseSession() {
  Event("CloseSession");
}

void BuildDisplayTables() {
  Event("BuildDisplayTables");
}
void CreateWindowReadyEvent() {
  Event("CreateWindowReadyEvent");
}
void LoadDisplayResources() {
  Event("LoadDisplayResources");
}
void StartWindowThread() {
  Event("StartWindowThread");
}
void EndWindowThread() {
  Event("EndWindowThread");
}

int CalibrateMode(int mode) {
  Event("CalibrateMode " + std::to_string(mode));
  return mode == script.calibrationFailsInMode ? 0 : 1;
}

namespace platform {

bool KeyWaiting() {
  std::lock_guard lock(mutex);
  if (!script.keys.empty() && script.keys.front() == fake_parts::kNoKeyYet) {
    script.keys.pop_front();
    events.push_back("NoKey");
    return false;
  }
  return true;
}

int ReadKey() {
  std::lock_guard lock(mutex);
  if (script.keys.empty()) {
    events.push_back("Key ESC");
    return kEscapeKey;
  }
  int key = script.keys.front();
  script.keys.pop_front();
  events.push_back(std::string("Key ") + static_cast<char>(key));
  return key;
}

}  // namespace platform
