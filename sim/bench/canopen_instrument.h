// The instrument on the CANopen bus: nodes 64, 70 and 127 with their object dictionary, the lamp
// whose ramp keeps the busy bit up, the filter wheel that homes, the diffuser disk. Its SDO server
// answers the frames that the bridges pass on.
//
// InstrumentStatus: 0x02 busy (the lamp ramps), 0x18 homed; besides these, which the tool reads,
// 0x01 the diffuser runs and 0x04 the wheel is homing, so that a reader must mask its bits.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "sdo_server.h"
#include "world.h"

namespace sim {

class CanOpenInstrument : public Device {
 public:
  explicit CanOpenInstrument(World& world);

  std::string Name() const override { return "instrument"; }
  std::vector<Option> Options() override;
  std::vector<Fault> Faults() const override;
  bool SetFault(const std::string& name, const std::string& value) override;
  bool Start(EventLoop& loop, std::vector<std::string>& readyLines) override;
  nlohmann::json State() override;

  bool HasNode(int node) const;
  // One SDO request to `node` that came in through bridge number `bridge`; the answer, if any.
  std::optional<SdoFrame> Serve(int bridge, int node, const SdoFrame& request);

 private:
  class NodeDictionary;

  uint32_t Upload(int node, int index, int subindex, std::vector<uint8_t>& value);
  uint32_t Download(int node, int index, int subindex, const std::vector<uint8_t>& value,
                    bool sizeIndicated);
  // Ends a homing whose time is up, unless the wheel is made to stall.
  void UpdateWheel(double now);
  uint8_t StatusByte(double now);
  bool Busy(double now) const;

  World& world_;

  int homingMs_ = 3000;
  int rampMs_ = 500;

  bool staysBusy_ = false;
  bool noHoming_ = false;
  uint32_t checkReadAbort_ = 0;

  std::vector<uint32_t> values_;  // raw value of each object, by its place in the table
  bool diffuserRunning_ = false;
  bool homed_ = false;
  double homingSince_ = -1;  // bench seconds; -1 when the wheel is not homing
  double busyUntil_ = 0;

  struct Counters {
    int requests = 0, reads = 0, writes = 0, aborts = 0;
    int statusReads = 0, lightWrites = 0, homingCommands = 0, diffuserCommands = 0;
  } counters_;
  std::deque<nlohmann::json> traffic_;
  size_t trafficKept_ = 20000;
  size_t trafficDropped_ = 0;
};

}  // namespace sim
