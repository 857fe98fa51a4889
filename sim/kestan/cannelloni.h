// CAN frames in the cannelloni UDP format, version 2: the framing of the bridge link. Unlike the
// rest of the link it is big-endian. Shared by the bridge library and the bench's bridges.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace cannelloni {

// The Linux can_id flag bits, as the format carries them.
constexpr uint32_t kExtendedFlag = 0x80000000;
constexpr uint32_t kRemoteFlag = 0x40000000;
constexpr uint32_t kErrorFlag = 0x20000000;
constexpr uint32_t kStandardIdMask = 0x7FF;

constexpr uint8_t kVersion = 2;
constexpr uint8_t kOpData = 0;
constexpr size_t kHeaderSize = 5;

struct Frame {
  uint32_t canId = 0;  // identifier with the flag bits above
  bool fd = false;     // a CAN FD frame: up to 64 data bytes and a flags byte
  uint8_t fdFlags = 0;
  uint8_t length = 0;  // data bytes (for a remote frame: the length asked for, no bytes follow)
  std::array<uint8_t, 64> data{};

  bool IsRemote() const { return (canId & kRemoteFlag) != 0; }
  // A classic data frame with an 11-bit identifier: the only kind CANopen's SDOs use.
  bool IsClassicStandardData() const {
    return !fd && (canId & (kExtendedFlag | kRemoteFlag | kErrorFlag)) == 0;
  }
};

// A classic data frame with an 11-bit identifier.
Frame DataFrame(uint32_t id, const uint8_t* bytes, uint8_t length);

// One data datagram carrying `frames`, with sequence number `sequence`.
std::vector<uint8_t> Encode(const std::vector<Frame>& frames, uint8_t sequence);

// Parses one datagram into `frames`. False, with `frames` empty, when it is not a data datagram of
// version 2 or is not well formed: truncated, a length out of range, bytes after the last frame.
bool Decode(const uint8_t* bytes, size_t size, std::vector<Frame>& frames);

}  // namespace cannelloni
