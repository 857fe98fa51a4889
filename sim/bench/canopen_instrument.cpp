#include "canopen_instrument.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "parse.h"

namespace sim {

namespace {

enum class Access { ReadWrite, ReadOnly, WriteOnly };
enum class Type { Unsigned, Real };

constexpr uint8_t kDiffuserRunningBit = 0x01;
constexpr uint8_t kBusyBit = 0x02;
constexpr uint8_t kWheelMovingBit = 0x04;
constexpr uint8_t kHomedBits = 0x18;
constexpr uint8_t kHomeCommand = 3;

struct Object {
  const char* name;
  int node, index, subindex, size;
  Access access;
  Type type;
};

const Object kObjects[] = {
    {"Node127Word", 127, 0x2010, 2, 2, Access::ReadWrite, Type::Unsigned},
    {"Node127Real", 127, 0x2030, 0, 4, Access::WriteOnly, Type::Real},
    {"DiffuserControl", 70, 0x2000, 0, 1, Access::WriteOnly, Type::Unsigned},
    {"NdWheelCommand", 64, 0x2020, 0, 1, Access::WriteOnly, Type::Unsigned},
    {"InstrumentStatus", 64, 0x2021, 0, 1, Access::ReadOnly, Type::Unsigned},
    {"LightLevel", 64, 0x2028, 0, 2, Access::WriteOnly, Type::Unsigned},
};
constexpr size_t kNode127Word = 0, kDiffuserControl = 2, kNdWheelCommand = 3, kInstrumentStatus = 4,
                 kLightLevel = 5;

const Object* Find(int node, int index, int subindex) {
  for (const auto& object : kObjects)
    if (object.node == node && object.index == index && object.subindex == subindex) return &object;
  return nullptr;
}

bool HasIndex(int node, int index) {
  for (const auto& object : kObjects)
    if (object.node == node && object.index == index) return true;
  return false;
}

size_t Place(const Object* object) {
  return static_cast<size_t>(object - kObjects);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

uint32_t LittleEndian(const std::vector<uint8_t>& bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < bytes.size() && i < 4; ++i)
    value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return value;
}

std::vector<uint8_t> Bytes(uint32_t value, int size) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < size; ++i)
    bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return bytes;
}

nlohmann::json ValueJson(const Object* object, const std::vector<uint8_t>& bytes) {
  uint32_t raw = LittleEndian(bytes);
  if (object && object->type == Type::Real && bytes.size() == 4) {
    float real;
    std::memcpy(&real, &raw, sizeof real);
    return real;
  }
  return raw;
}

}  // namespace

class CanOpenInstrument::NodeDictionary : public ObjectDictionary {
 public:
  NodeDictionary(CanOpenInstrument& owner, int node) : owner_(owner), node_(node) {}
  uint32_t Upload(int index, int subindex, std::vector<uint8_t>& value) override {
    return owner_.Upload(node_, index, subindex, value);
  }
  uint32_t Download(int index, int subindex, const std::vector<uint8_t>& value,
                    bool sizeIndicated) override {
    return owner_.Download(node_, index, subindex, value, sizeIndicated);
  }

 private:
  CanOpenInstrument& owner_;
  int node_;
};

CanOpenInstrument::CanOpenInstrument(World& world)
    : world_(world), values_(std::size(kObjects), 0) {}

std::vector<Option> CanOpenInstrument::Options() {
  return {
      {"homing-ms", "MS", "time the ND wheel takes to home after the command (default 3000)",
       [this](const std::string& v) { return ParseInt(v, 3600000, &homingMs_); }},
      {"ramp-ms", "MS",
       "time the lamp ramps, busy bit up, after each LightLevel write (default 500)",
       [this](const std::string& v) { return ParseInt(v, 3600000, &rampMs_); }},
      {"sdo-log", "N",
       "SDO exchanges kept in the state, the latest; older ones are only counted (default 20000)",
       [this](const std::string& v) {
         int kept = 0;
         if (!ParseInt(v, 1000000, &kept) || kept < 1) return false;
         trafficKept_ = static_cast<size_t>(kept);
         return true;
       }},
  };
}

std::vector<Fault> CanOpenInstrument::Faults() const {
  return {
      {"stays-busy", "", "InstrumentStatus always shows the busy bit: the instrument never idles"},
      {"no-homing", "", "the ND wheel never finishes homing: the homed bits never come"},
      {"check-read-abort", "[CODE]",
       "reads of Node127Word (the check read) are aborted with CODE (default 0x08000000)"},
  };
}

bool CanOpenInstrument::SetFault(const std::string& name, const std::string& value) {
  bool off = value == "off";
  UpdateWheel(world_.Now());
  if (name == "stays-busy" && (off || value.empty())) {
    staysBusy_ = !off;
  } else if (name == "no-homing" && (off || value.empty())) {
    noHoming_ = !off;
  } else if (name == "check-read-abort") {
    uint64_t code = sdo::kGeneralError;
    if (!off && !value.empty() && (!ParseUnsigned(value, 0xFFFFFFFF, &code) || code == 0))
      return false;
    checkReadAbort_ = off ? 0 : static_cast<uint32_t>(code);
  } else {
    return false;
  }
  return true;
}

bool CanOpenInstrument::Start(EventLoop&, std::vector<std::string>&) {
  return true;  // it listens on nothing of its own: the bridges bring it the frames
}

bool CanOpenInstrument::HasNode(int node) const {
  for (const auto& object : kObjects)
    if (object.node == node) return true;
  return false;
}

bool CanOpenInstrument::Busy(double now) const {
  return staysBusy_ || now < busyUntil_;
}

void CanOpenInstrument::UpdateWheel(double now) {
  if (homingSince_ >= 0 && !noHoming_ && now >= homingSince_ + homingMs_ / 1000.0) {
    homingSince_ = -1;
    homed_ = true;
  }
}

uint8_t CanOpenInstrument::StatusByte(double now) {
  UpdateWheel(now);
  uint8_t status = 0;
  if (diffuserRunning_) status |= kDiffuserRunningBit;
  if (Busy(now)) status |= kBusyBit;
  if (homingSince_ >= 0) status |= kWheelMovingBit;
  if (homed_) status |= kHomedBits;
  return status;
}

uint32_t CanOpenInstrument::Upload(int node, int index, int subindex, std::vector<uint8_t>& value) {
  const Object* object = Find(node, index, subindex);
  if (!object) return HasIndex(node, index) ? sdo::kNoSubindex : sdo::kNoObject;
  if (object->access == Access::WriteOnly) return sdo::kReadOfWriteOnly;
  size_t place = Place(object);
  if (place == kNode127Word && checkReadAbort_) return checkReadAbort_;
  if (place == kInstrumentStatus) {
    ++counters_.statusReads;
    values_[place] = StatusByte(world_.Now());
  }
  value = Bytes(values_[place], object->size);
  return 0;
}

uint32_t CanOpenInstrument::Download(int node, int index, int subindex,
                                     const std::vector<uint8_t>& value, bool sizeIndicated) {
  const Object* object = Find(node, index, subindex);
  if (!object) return HasIndex(node, index) ? sdo::kNoSubindex : sdo::kNoObject;
  if (object->access == Access::ReadOnly) return sdo::kWriteToReadOnly;
  if (sizeIndicated && value.size() != static_cast<size_t>(object->size)) return sdo::kWrongLength;
  uint32_t raw = LittleEndian({value.begin(), value.begin() + object->size});
  size_t place = Place(object);
  double now = world_.Now();

  if (place == kDiffuserControl) {
    if (raw > 1) return sdo::kValueRange;
    ++counters_.diffuserCommands;
    diffuserRunning_ = raw == 1;
    std::lock_guard lock(world_.mutex);
    world_.diffuserRunning = diffuserRunning_;
  } else if (place == kNdWheelCommand) {
    if (raw != kHomeCommand) return sdo::kValueRange;
    ++counters_.homingCommands;
    homed_ = false;
    homingSince_ = now;
  } else if (place == kLightLevel) {
    ++counters_.lightWrites;
    busyUntil_ = now + rampMs_ / 1000.0;
    std::lock_guard lock(world_.mutex);
    if (world_.lightLevel != raw) world_.lightChangedAt = now;
    world_.lightLevel = static_cast<uint16_t>(raw);
  }
  values_[place] = raw;
  return 0;
}

std::optional<SdoFrame> CanOpenInstrument::Serve(int bridge, int node, const SdoFrame& request) {
  if (!HasNode(node)) return std::nullopt;
  NodeDictionary dictionary(*this, node);
  SdoExchange exchange;
  auto answer = ServeSdo(request, dictionary, exchange);

  ++counters_.requests;
  nlohmann::json entry{{"time", world_.Now()},
                       {"bridge", bridge},
                       {"node", node},
                       {"index", exchange.index},
                       {"subindex", exchange.subindex}};
  const Object* object = Find(node, exchange.index, exchange.subindex);
  if (object) entry["object"] = object->name;
  switch (exchange.kind) {
    case SdoExchange::Kind::Upload:
      ++counters_.reads;
      entry["op"] = "read";
      break;
    case SdoExchange::Kind::Download:
      ++counters_.writes;
      entry["op"] = "write";
      break;
    case SdoExchange::Kind::ClientAbort:
      entry["op"] = "client-abort";
      break;
    case SdoExchange::Kind::Other:
      entry["op"] = "other";
      break;
  }
  entry["command"] = exchange.command;
  if (!exchange.data.empty()) {
    entry["size"] = exchange.data.size();
    entry["data"] = Hex(exchange.data);
    entry["value"] = ValueJson(object, exchange.data);
  }
  entry["abort"] = exchange.abortCode;
  if (exchange.abortCode) ++counters_.aborts;
  traffic_.push_back(std::move(entry));
  if (traffic_.size() > trafficKept_) {
    traffic_.pop_front();
    ++trafficDropped_;
  }
  return answer;
}

nlohmann::json CanOpenInstrument::State() {
  double now = world_.Now();
  values_[kInstrumentStatus] = StatusByte(now);
  nlohmann::json objects = nlohmann::json::object();
  for (const auto& object : kObjects)
    objects[object.name] = ValueJson(&object, Bytes(values_[Place(&object)], object.size));
  return {
      {"objects", objects},
      {"diffuser_running", diffuserRunning_},
      {"homed", homed_},
      {"homing", homingSince_ >= 0},
      {"busy", Busy(now)},
      {"light_level", values_[kLightLevel]},
      {"homing_ms", homingMs_},
      {"ramp_ms", rampMs_},
      {"faults",
       {{"stays-busy", staysBusy_},
        {"no-homing", noHoming_},
        {"check-read-abort", checkReadAbort_}}},
      {"counters",
       {{"requests", counters_.requests},
        {"reads", counters_.reads},
        {"writes", counters_.writes},
        {"aborts", counters_.aborts},
        {"status_reads", counters_.statusReads},
        {"light_writes", counters_.lightWrites},
        {"homing_commands", counters_.homingCommands},
        {"diffuser_commands", counters_.diffuserCommands}}},
      {"sdo", nlohmann::json(traffic_)},
      {"sdo_dropped", trafficDropped_},
  };
}

}  // namespace sim
