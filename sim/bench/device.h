// One device of the bench (the camera, the CANopen nodes behind their bridges, the frame source),
// composed by main: its options, its fault switches, its start on the shared loop, its state.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "event_loop.h"

namespace sim {

struct Option {
  std::string name;  // without the leading "--"
  std::string arg;   // what the value looks like, for --help
  std::string help;
  std::function<bool(const std::string& value)> set;  // false when the value is not valid
};

struct Fault {
  std::string name;
  std::string arg;  // empty for a plain on/off switch
  std::string help;
};

class Device {
 public:
  virtual ~Device() = default;
  // The device's key in the state JSON and its heading in --help.
  virtual std::string Name() const = 0;
  virtual std::vector<Option> Options() { return {}; }
  virtual std::vector<Fault> Faults() const { return {}; }
  // Switches a fault: `value` is "" to switch it on (or its argument), "off" to clear it.
  // False when the device has no such fault or the value is not valid.
  virtual bool SetFault(const std::string& name, const std::string& value) {
    (void)name;
    (void)value;
    return false;
  }
  // Opens what the device listens on and adds its KEY=value lines for the ready file. False, with
  // the reason on standard error, when it cannot start.
  virtual bool Start(EventLoop& loop, std::vector<std::string>& readyLines) = 0;
  virtual void Shutdown() {}
  virtual nlohmann::json State() = 0;
  // What a previous run saved of this device (its part of the state file).
  virtual void Restore(const nlohmann::json& saved) { (void)saved; }
};

}  // namespace sim
