// The SDO client's reading of answer datagrams, kept apart from the socket so that it can be
// driven with any bytes: which frame of a datagram ends a transfer, and how.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "cannelloni.h"
#include "kestan_status.h"

namespace kestan {

constexpr uint32_t kSdoRequestBase = 0x600;
constexpr uint32_t kSdoAnswerBase = 0x580;
constexpr uint8_t kSdoAbort = 0x80;

// One expedited transfer as the client asked for it.
struct SdoTransfer {
  int node = 0;      // 1..127
  int index = 0;     // 0..0xFFFF
  int subindex = 0;  // 0..0xFF
  bool upload = false;
  int size = 0;  // 1..4 data bytes
};

// How an answer ends a transfer.
struct SdoVerdict {
  SdoResult result = SdoResult::Ok;
  uint32_t abortCode = 0;  // the node's, or the one the client sends back
  // The server waits for requests the client never sends: it must be told the transfer is over,
  // with abortCode.
  bool abortServer = false;
  std::array<uint8_t, 4> value{};  // an upload's data, its first `size` bytes
};

// The request frame's data: a sized expedited download of `data` (`size` bytes) or an upload.
std::array<uint8_t, 8> SdoRequestData(const SdoTransfer& transfer, const uint8_t* data);
// An abort of the transfer with `code`.
std::array<uint8_t, 8> SdoAbortData(const SdoTransfer& transfer, uint32_t code);

// What one frame means for the transfer: nothing when it is not its answer.
std::optional<SdoVerdict> JudgeAnswer(const SdoTransfer& transfer, const cannelloni::Frame& frame);

// The first frame of a datagram that ends the transfer; nothing when the datagram is not well
// formed or carries no answer to it.
std::optional<SdoVerdict> JudgeDatagram(const SdoTransfer& transfer, const uint8_t* bytes,
                                        size_t size);

}  // namespace kestan
