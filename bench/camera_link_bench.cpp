// How long the camera link takes against the bench's camera: a raw exchange, a command, a mode's
// preset, and the commands that wait out a time-out or repeat. Prints milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "camera/camera_protocol.h"
#include "camera/serial_port.h"
#include "support/bench_process.h"

// The camera library's loads are not timed here; the protocol needs the session's handles only
// for LoadCameraMode, which this program does not call.
CORCAM hCam = 0;
CORVIC hVic = 0;

namespace {

using Clock = std::chrono::steady_clock;

void Measure(const char* what, int runs, const std::function<bool()>& body) {
  std::vector<double> ms;
  int failed = 0;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    if (!body()) ++failed;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-40s %4d runs  min %8.2f  median %8.2f  max %8.2f ms  (%d false)\n", what, runs,
              ms.front(), ms[ms.size() / 2], ms.back(), failed);
}

}  // namespace

int main() {
  setenv("TAPCAL_BUILD_DIR", TAPCAL_BUILD_DIR_DEFAULT, 0);
  testing_support::BenchProcess bench;
  if (!bench.Ready()) {
    std::fprintf(stderr, "the bench did not start\n");
    return 1;
  }
  setenv("TAPCAL_COM3", bench.ReadyValue("COM3").c_str(), 1);
  if (!OpenCameraPort()) return 1;

  Measure("write 9 bytes, read the 3-byte reply", 200, [] {
    const uint8_t command[] = ":MGA=042\r";
    uint8_t reply[3];
    return SerialWrite(command, 9) && SerialRead(reply, 3);
  });
  Measure("SendCameraCommand, healthy camera", 50,
          [] { return SendCameraCommand(":MGA=042\r", 9); });
  for (int mode = 0; mode < 4; ++mode) {
    char what[64];
    std::snprintf(what, sizeof what, "SendModePreset(%d)", mode);
    Measure(what, 10, [mode] { return SendModePreset(mode); });
  }
  bench.Control("fault refuse");
  Measure("SendCameraCommand, camera always refuses", 10,
          [] { return SendCameraCommand(":MGA=042\r", 9); });
  bench.Control("fault silent");
  Measure("SendCameraCommand, silent camera", 3, [] { return SendCameraCommand(":MGA=042\r", 9); });
  bench.Control("fault silent off");
  bench.Control("fault ack-then-silent");
  Measure("SendCameraCommand, o then nothing", 3,
          [] { return SendCameraCommand(":MGA=042\r", 9); });
  CloseCameraPort();
  return 0;
}
