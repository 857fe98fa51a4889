// A scriptable fake of the bridge library: the bridges it lists, the instrument's objects it holds,
// every call logged, any call made to fail with a chosen result on its n-th use.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "vendor/kestan_canopen.h"

namespace fake {

struct CanCall {
  std::string function;  // "CAN_EnumerateBridges", "CAN_Connect", "CAN_SDORead", "CAN_SDOWrite"
  int node = 0, index = 0, subindex = 0, size = 0;
  std::vector<uint8_t> data;  // bytes written, or bytes read back
  uint32_t bridgeId = 0;      // for CAN_Connect
  bool statusBlockGiven = false;
  int result = 0;
  uint64_t atMs = 0;  // virtual time of the call
};

using ObjectKey = std::tuple<int, int, int>;  // node, index, subindex

// Back to a healthy instrument behind one bridge: no bridges listed, no failures, empty log,
// objects of the instrument at their start values (status reads homed and idle).
void ResetBridge();
void SetBridges(std::vector<BridgeRecord> bridges);
// The scan returns `result` instead of the bridge count (the records are still written).
void SetEnumerateResult(int result);
// The n-th call (1-based) of `function` returns `result` and changes nothing.
void FailCall(const std::string& function, int nthUse, int result);
// Reads of this object return what `reader` gives at the virtual time of the read.
void SetObjectReader(ObjectKey object, std::function<std::vector<uint8_t>(uint64_t nowMs)> reader);
// The last bytes written to (or the start value of) an object.
std::vector<uint8_t> ObjectValue(ObjectKey object);

// Called with every call as it is logged (for tests that interleave it with other events).
void OnCanCall(std::function<void(const CanCall&)> observer);

std::vector<CanCall> CanCalls();
std::vector<CanCall> CanCallsOf(const std::string& function);

}  // namespace fake
