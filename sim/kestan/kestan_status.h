// What the stand-in bridge library writes into the caller's 12-byte status block of an SDO call:
// three 32-bit little-endian words.
#pragma once

#include <cstdint>

namespace kestan {

enum class SdoResult : uint32_t {
  Ok = 0,
  NotConnected = 1,  // no CAN_Connect has succeeded
  BadArgument = 2,   // node, index, subindex, size or data out of range
  Timeout = 3,       // no answer within the time-out
  Aborted = 4,       // the node answered with an abort; its code is in abortCode
  BadAnswer = 5,     // an answer the library cannot take (wrong size, segmented transfer)
  LinkError = 6,     // the bridge cannot be reached
};

struct SdoStatus {
  uint32_t result;     // an SdoResult
  uint32_t abortCode;  // the node's abort code, or the one the library sent; 0 when none
  uint32_t elapsedMs;  // how long the call took
};

static_assert(sizeof(SdoStatus) == 12, "the status block is 12 bytes");

// The SDO client's bound on one answer.
constexpr int kSdoTimeoutMs = 500;

}  // namespace kestan
