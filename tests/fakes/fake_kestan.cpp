#include "fakes/fake_kestan.h"

#include <cstring>
#include <mutex>

#include "fakes/virtual_clock.h"

namespace {

std::mutex mutex;
std::vector<BridgeRecord> bridges;
bool enumerateOverridden = false;
int enumerateResult = 0;
std::map<std::string, std::map<int, int>> failures;  // function -> use -> result
std::map<std::string, int> uses;
std::map<fake::ObjectKey, std::vector<uint8_t>> objects;
std::map<fake::ObjectKey, std::function<std::vector<uint8_t>(uint64_t)>> readers;
std::vector<fake::CanCall> calls;
std::function<void(const fake::CanCall&)> observer;

void Log(const fake::CanCall& call) {
  calls.push_back(call);
  if (observer) observer(call);
}

// Counts the use and tells whether it is scripted to fail (and with what).
bool ScriptedFailure(const std::string& function, int* result) {
  int use = ++uses[function];
  auto it = failures.find(function);
  if (it == failures.end()) return false;
  auto failure = it->second.find(use);
  if (failure == it->second.end()) return false;
  *result = failure->second;
  return true;
}

fake::CanCall NewCall(const char* function, int node = 0, int index = 0, int subindex = 0,
                      int size = 0) {
  fake::CanCall call;
  call.function = function;
  call.node = node;
  call.index = index;
  call.subindex = subindex;
  call.size = size;
  call.atMs = fake::VirtualNowMs();
  return call;
}

}  // namespace

namespace fake {

void ResetBridge() {
  std::lock_guard lock(mutex);
  bridges.clear();
  enumerateOverridden = false;
  failures.clear();
  uses.clear();
  readers.clear();
  calls.clear();
  observer = nullptr;
  objects.clear();
  objects[{127, 0x2010, 2}] = {0, 0};
  objects[{64, 0x2021, 0}] = {0x18};  // homed, idle
}

void SetBridges(std::vector<BridgeRecord> newBridges) {
  std::lock_guard lock(mutex);
  bridges = std::move(newBridges);
}

void SetEnumerateResult(int result) {
  std::lock_guard lock(mutex);
  enumerateOverridden = true;
  enumerateResult = result;
}

void FailCall(const std::string& function, int nthUse, int result) {
  std::lock_guard lock(mutex);
  failures[function][nthUse] = result;
}

void SetObjectReader(ObjectKey object, std::function<std::vector<uint8_t>(uint64_t)> reader) {
  std::lock_guard lock(mutex);
  readers[object] = std::move(reader);
}

std::vector<uint8_t> ObjectValue(ObjectKey object) {
  std::lock_guard lock(mutex);
  return objects[object];
}

void OnCanCall(std::function<void(const CanCall&)> newObserver) {
  std::lock_guard lock(mutex);
  observer = std::move(newObserver);
}

std::vector<CanCall> CanCalls() {
  std::lock_guard lock(mutex);
  return calls;
}

std::vector<CanCall> CanCallsOf(const std::string& function) {
  std::vector<CanCall> matching;
  for (auto& call : CanCalls())
    if (call.function == function) matching.push_back(call);
  return matching;
}

}  // namespace fake

extern "C" {

int CAN_EnumerateBridges(BridgeRecord* records, int capacity) {
  std::lock_guard lock(mutex);
  fake::CanCall call = NewCall("CAN_EnumerateBridges");
  int result = 0;
  if (!ScriptedFailure(call.function, &result)) {
    int count = static_cast<int>(bridges.size());
    for (int i = 0; i < count && i < capacity; ++i)
      records[i] = bridges[i];
    result = enumerateOverridden ? enumerateResult : count;
  }
  call.result = result;
  Log(call);
  return result;
}

int CAN_Connect(uint32_t bridgeId) {
  std::lock_guard lock(mutex);
  fake::CanCall call = NewCall("CAN_Connect");
  call.bridgeId = bridgeId;
  int result = 0;
  if (!ScriptedFailure(call.function, &result)) result = 0;
  call.result = result;
  Log(call);
  return result;
}

int CAN_SDORead(int node, int index, int subindex, void* data, int size, void* status) {
  std::lock_guard lock(mutex);
  fake::CanCall call = NewCall("CAN_SDORead", node, index, subindex, size);
  call.statusBlockGiven = status != nullptr;
  int result = 0;
  if (!ScriptedFailure(call.function, &result)) {
    fake::ObjectKey key{node, index, subindex};
    std::vector<uint8_t> value;
    if (auto reader = readers.find(key); reader != readers.end())
      value = reader->second(call.atMs);
    else
      value = objects[key];
    value.resize(static_cast<size_t>(size));
    std::memcpy(data, value.data(), value.size());
    call.data = value;
    result = 1;
  }
  call.result = result;
  Log(call);
  return result;
}

int CAN_SDOWrite(int node, int index, int subindex, void* data, int size, void* status) {
  std::lock_guard lock(mutex);
  fake::CanCall call = NewCall("CAN_SDOWrite", node, index, subindex, size);
  call.statusBlockGiven = status != nullptr;
  auto bytes = static_cast<const uint8_t*>(data);
  call.data.assign(bytes, bytes + size);
  int result = 0;
  if (!ScriptedFailure(call.function, &result)) {
    objects[{node, index, subindex}] = call.data;
    result = 1;
  }
  call.result = result;
  Log(call);
  return result;
}

}  // extern "C"
