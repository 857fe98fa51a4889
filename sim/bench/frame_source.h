// The camera's Camera Link output as the grabber sees it: a TCP stream of frames on loopback,
// free-running at the camera's frame rate whether or not anyone grabs, in the geometry and depth
// the camera's registers set, pictures from a PictureModel. Frames are made and sent on a thread
// of the device's own; a client that reads too slowly loses whole frames, never parts of one.
//
// Each frame: "TCLF", width, height, bits (u32), frame number, capture time in microseconds since
// the bench started (u64), then the pixels, top row first: bytes for 8 bits, else 16-bit words;
// all little-endian.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "device.h"
#include "picture_model.h"
#include "world.h"

namespace sim {

class FrameSource : public Device {
 public:
  explicit FrameSource(World& world);
  ~FrameSource() override;

  std::string Name() const override { return "frame_source"; }
  std::vector<Option> Options() override;
  std::vector<Fault> Faults() const override;
  bool SetFault(const std::string& name, const std::string& value) override;
  bool Start(EventLoop& loop, std::vector<std::string>& readyLines) override;
  void Shutdown() override;
  nlohmann::json State() override;

  int Port() const { return port_; }

 private:
  struct Client;
  void Run();
  // The next frame's geometry and scene, from the world and the faults.
  FrameGeometry NextGeometry(Scene* scene);
  // The sensor as the options and faults make it. Called with mutex_ held.
  std::unique_ptr<PictureModel> MakePicture() const;

  World& world_;
  int requestedPort_ = 0;
  uint64_t sensorSeed_ = 0;  // 0: the default camera
  bool quickCamera_ = false;
  uint64_t noiseSeed_ = 1;
  std::unique_ptr<PictureModel> picture_;  // the sending thread's own once started

  int listenFd_ = -1;
  int port_ = 0;
  int wakePipe_[2] = {-1, -1};
  std::thread thread_;

  std::mutex mutex_;  // guards what follows: the faults and the counters
  bool framesStopped_ = false;
  std::optional<FrameGeometry> forcedGeometry_;
  bool blackStuck_ = false;
  bool sensorChanged_ = false;  // the picture model is to be made again
  uint64_t framesMade_ = 0;     // frame numbers used, sent or not
  uint64_t framesSent_ = 0;     // whole frames written, over all clients
  uint64_t framesDropped_ = 0;
  int clients_ = 0;
  FrameGeometry lastGeometry_;
};

}  // namespace sim
