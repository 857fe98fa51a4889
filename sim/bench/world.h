// What the bench's devices share: the instrument's illumination as the CANopen nodes set it, the
// camera's registers as the serial camera holds them, and the bench's clock. The frame source
// reads both to make its pictures. Guard every access with `mutex`.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace sim {

struct CameraRegisters {
  int smb = 0;      // readout mode: 0 full frame (Nd), 4 binned (b2d)
  int ddp = 0;      // data depth: 0 for 8 bits, 1 for 10 bits
  int ads = 0x1E0;  // lines per frame
  int mga = 0x42;   // gain, tap A
  int mgb = 0x42;   // gain, tap B
  int vra = 0;      // reference voltage, tap A
  int vrb = 0;      // reference voltage, tap B
};

struct World {
  std::mutex mutex;

  uint16_t lightLevel = 0;
  double lightChangedAt = 0;  // bench seconds of the last LightLevel write
  bool diffuserRunning = false;

  CameraRegisters camera;
  bool cameraLinked = false;  // the camera's pty is open and answering

  uint64_t seed = 1;

  // Seconds since the bench started; safe without the mutex.
  double Now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

}  // namespace sim
