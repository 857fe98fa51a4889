#include "picture_model.h"

#include <algorithm>

namespace sim {

namespace {

constexpr int kSensorRows = 480;
constexpr int kLineWidth = 640;
constexpr int kFrameOverheadUs = 200;
constexpr int kLineTimeUs = 10;

class SensorPicture : public PictureModel {
 public:
  SensorPicture(const SensorParameters& parameters, uint64_t noiseSeed)
      : model_(parameters, noiseSeed) {}

  void Render(const Scene& scene, const FrameGeometry& geometry, void* pixels) override {
    Exposure exposure;
    exposure.vra = scene.camera.vra;
    exposure.vrb = scene.camera.vrb;
    exposure.mga = scene.camera.mga;
    exposure.mgb = scene.camera.mgb;
    exposure.binned = scene.camera.smb == 4;
    exposure.bits = geometry.bits > 8 ? 10 : 8;
    exposure.light = scene.light;
    exposure.secondsSinceLightChange = scene.secondsSinceLightChange;
    model_.Render(exposure, geometry.width, geometry.height, pixels);
  }

 private:
  SensorModel model_;
};

}  // namespace

FrameGeometry GeometryOf(const CameraRegisters& camera) {
  const int rows = camera.smb == 4 ? kSensorRows / 2 : kSensorRows;
  return {kLineWidth, std::clamp(camera.ads, 1, rows), camera.ddp == 1 ? 10 : 8};
}

int FramePeriodUs(const FrameGeometry& geometry) {
  return kFrameOverheadUs + kLineTimeUs * geometry.height;
}

std::unique_ptr<PictureModel> MakeSensorPicture(const SensorParameters& parameters,
                                                uint64_t noiseSeed) {
  return std::make_unique<SensorPicture>(parameters, noiseSeed);
}

}  // namespace sim
