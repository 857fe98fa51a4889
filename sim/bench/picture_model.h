// What the camera's sensor makes of what it sees, behind one small interface: the frame source
// asks for a picture of the scene in the camera's output geometry and does not care how it is
// made.
#pragma once

#include <cstdint>
#include <memory>

#include "sensor_model.h"
#include "world.h"

namespace sim {

// What the camera sends: pixels per line, lines per frame, bits per pixel.
struct FrameGeometry {
  int width = 640;
  int height = 480;
  int bits = 8;
  bool operator==(const FrameGeometry&) const = default;
};

// The camera's output as its registers set it: 640 pixels a line; ADS lines, at most the
// sensor's 480 rows, or 240 when SMB=4 bins two rows into one; 10 bits with DDP=1, else 8.
FrameGeometry GeometryOf(const CameraRegisters& camera);
// The camera's frame time in microseconds: a fixed overhead plus a line time per line, about
// 200 frames/s full frame and nearly twice that binned.
int FramePeriodUs(const FrameGeometry& geometry);

// What the sensor sees when a frame is taken.
struct Scene {
  CameraRegisters camera;
  double light = 0;  // illumination level 0..65535
  double secondsSinceLightChange = 1e9;
};

class PictureModel {
 public:
  virtual ~PictureModel() = default;
  // One frame in `geometry`, top row first, no gaps: bytes for 8 bits, little-endian 16-bit
  // words above.
  virtual void Render(const Scene& scene, const FrameGeometry& geometry, void* pixels) = 0;
};

// The two-tap CCD of the sensor model.
std::unique_ptr<PictureModel> MakeSensorPicture(const SensorParameters& parameters,
                                                uint64_t noiseSeed);

}  // namespace sim
