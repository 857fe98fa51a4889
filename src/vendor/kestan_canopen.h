// Declarations of the bridge library (KestanCANopen) as the tool uses it.
#pragma once

#include <cstdint>

extern "C" {

#pragma pack(push, 1)
// One bridge found by the scan; the library writes these back to back.
struct BridgeRecord {
  uint32_t bridgeId;      // handed to CAN_Connect unchanged
  uint8_t macAddress[6];  // first octet first
};
#pragma pack(pop)

static_assert(sizeof(BridgeRecord) == 10, "BridgeRecord is a packed 10-byte record");

// The caller's status block that every SDO access passes; the tool never reads it.
constexpr int kCanStatusBlockSize = 12;

// Fills at most `capacity` records; returns the number found, 0 for none, -1 when the scan failed.
int CAN_EnumerateBridges(BridgeRecord* bridges, int capacity);

// Connects the library to one bridge; -1 on failure, any other value is success.
int CAN_Connect(uint32_t bridgeId);

// SDO upload of `size` (1, 2 or 4) bytes of node:index:subindex into `data`; 1 on success.
int CAN_SDORead(int node, int index, int subindex, void* data, int size, void* status);

// SDO download of `size` bytes from `data`; the tool never examines the result.
int CAN_SDOWrite(int node, int index, int subindex, void* data, int size, void* status);

}  // extern "C"
