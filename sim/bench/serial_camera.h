// The camera's serial side: a pseudo-terminal linked where the caller says (the tool's "COM3"),
// a register map that the frame source reads through the World, four pages that outlive the run,
// and the faults of a camera link gone wrong.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera_command.h"
#include "device.h"
#include "world.h"

namespace sim {

class SerialCamera : public Device {
 public:
  explicit SerialCamera(World& world) : world_(world) {}
  ~SerialCamera() override;

  std::string Name() const override { return "camera"; }
  std::vector<Option> Options() override;
  std::vector<Fault> Faults() const override;
  bool SetFault(const std::string& name, const std::string& value) override;
  bool Start(EventLoop& loop, std::vector<std::string>& readyLines) override;
  void Shutdown() override;
  nlohmann::json State() override;
  void Restore(const nlohmann::json& saved) override;

 private:
  // How the camera answers; the faults among these exclude one another.
  enum class Replies { kNormal, kSilent, kRefuse, kAckThenSilent, kAckAndRefuse };

  struct Page {
    CameraRegisters registers;
    std::string writtenAt;  // UTC, ISO 8601
    double benchSeconds;    // bench time of the write, in the run that wrote it
  };

  bool Plug();
  void Unplug(const char* why);
  bool PlaceLink(const std::string& target);
  void RemoveLink();
  void OnReadable();
  void HandleLine(const std::string& line);
  std::string ReplyFor(bool valid);
  std::string Noise(int count);
  void Send(const std::string& bytes);
  void SetLinked(bool linked);
  void LogEvent(const std::string& what);

  World& world_;
  EventLoop* loop_ = nullptr;
  std::string linkPath_;
  std::string ownDir_;  // the temporary directory of the default link, removed at shutdown
  int master_ = -1;
  int holder_ = -1;  // our own open of the terminal side, so the master never sees a hang-up
  std::string ptyPath_;
  std::string pending_;      // bytes of the command being received
  uint64_t generation_ = 0;  // changes with every plug and unplug; late replies check it

  Replies replies_ = Replies::kNormal;
  int lateMs_ = 0;
  int garbageBytes_ = 0;
  bool unplugged_ = false;
  int unplugAfter_ = -1;  // commands still answered before the cable comes out; -1 when none
  uint64_t noiseState_ = 0;

  std::array<std::optional<Page>, kCameraPages> pages_;
  nlohmann::json received_ = nlohmann::json::array();
  size_t receivedKept_ = 10000;
  uint64_t receivedDropped_ = 0;
  nlohmann::json events_ = nlohmann::json::array();
};

}  // namespace sim
