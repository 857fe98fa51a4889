#include "sdo_answer.h"

#include <algorithm>
#include <vector>

namespace kestan {

namespace {
constexpr uint8_t kUploadRequest = 0x40;
constexpr uint8_t kDownloadAnswer = 0x60;
constexpr uint32_t kAbortUnsupported = 0x05040001;
constexpr uint32_t kAbortWrongLength = 0x06070010;

std::array<uint8_t, 8> Addressed(const SdoTransfer& transfer, uint8_t command) {
  return {command, static_cast<uint8_t>(transfer.index), static_cast<uint8_t>(transfer.index >> 8),
          static_cast<uint8_t>(transfer.subindex)};
}
}  // namespace

std::array<uint8_t, 8> SdoRequestData(const SdoTransfer& transfer, const uint8_t* data) {
  if (transfer.upload) return Addressed(transfer, kUploadRequest);
  // Expedited, size indicated: 0x23, 0x27, 0x2B, 0x2F for 4, 3, 2, 1 bytes.
  auto request = Addressed(transfer, static_cast<uint8_t>(0x23 | ((4 - transfer.size) << 2)));
  std::copy(data, data + transfer.size, request.begin() + 4);
  return request;
}

std::array<uint8_t, 8> SdoAbortData(const SdoTransfer& transfer, uint32_t code) {
  auto data = Addressed(transfer, kSdoAbort);
  for (size_t i = 0; i < 4; ++i)
    data[4 + i] = static_cast<uint8_t>(code >> (8 * i));
  return data;
}

std::optional<SdoVerdict> JudgeAnswer(const SdoTransfer& transfer, const cannelloni::Frame& frame) {
  if (!frame.IsClassicStandardData() || frame.length != 8 ||
      frame.canId != kSdoAnswerBase + static_cast<uint32_t>(transfer.node))
    return std::nullopt;
  const uint8_t* d = frame.data.data();
  if ((d[1] | (d[2] << 8)) != transfer.index || d[3] != transfer.subindex) return std::nullopt;
  SdoVerdict verdict;
  uint8_t command = d[0];
  if (command == kSdoAbort) {
    verdict.result = SdoResult::Aborted;
    verdict.abortCode = d[4] | (d[5] << 8) | (d[6] << 16) | (static_cast<uint32_t>(d[7]) << 24);
    return verdict;
  }
  if (!transfer.upload) {
    if (command != kDownloadAnswer) return std::nullopt;
    return verdict;
  }
  if ((command & 0xE0) != 0x40) return std::nullopt;  // not an upload answer
  bool expedited = command & 0x02, sized = command & 0x01;
  verdict.result = SdoResult::BadAnswer;
  if (!expedited) {
    // A segmented upload: the server waits for segment requests we will never send.
    verdict.abortCode = kAbortUnsupported;
    verdict.abortServer = true;
    return verdict;
  }
  int length = sized ? 4 - ((command >> 2) & 3) : transfer.size;
  if (length != transfer.size) {
    verdict.abortCode = kAbortWrongLength;
    return verdict;
  }
  verdict.result = SdoResult::Ok;
  std::copy(d + 4, d + 8, verdict.value.begin());
  return verdict;
}

std::optional<SdoVerdict> JudgeDatagram(const SdoTransfer& transfer, const uint8_t* bytes,
                                        size_t size) {
  std::vector<cannelloni::Frame> frames;
  if (!cannelloni::Decode(bytes, size, frames)) return std::nullopt;
  for (const auto& frame : frames)
    if (auto verdict = JudgeAnswer(transfer, frame)) return verdict;
  return std::nullopt;
}

}  // namespace kestan
