// The bridge library's reading of answer datagrams. The first five bytes choose the transfer
// (node, index low and high, subindex, then bit 0 upload, bits 1-2 size - 1), the rest is the
// datagram. Whatever comes, an answer that ends the transfer is a frame of this node, index and
// subindex, the first such frame, and says what the transfer's result and data become.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cannelloni.h"
#include "sdo_answer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  kestan::SdoTransfer transfer;
  transfer.node = 1 + data[0] % 127;
  transfer.index = data[1] | data[2] << 8;
  transfer.subindex = data[3];
  transfer.upload = data[4] & 1;
  transfer.size = 1 + ((data[4] >> 1) & 3);
  const uint8_t* datagram = data + 5;
  const size_t length = size - 5;

  auto verdict = kestan::JudgeDatagram(transfer, datagram, length);
  std::vector<cannelloni::Frame> frames;
  if (!cannelloni::Decode(datagram, length, frames)) {
    Check(!verdict);
    return 0;
  }
  const cannelloni::Frame* answer = nullptr;
  for (const auto& frame : frames) {
    if (kestan::JudgeAnswer(transfer, frame)) {
      answer = &frame;
      break;
    }
  }
  Check(!verdict == !answer);
  if (!answer) return 0;

  const uint8_t* d = answer->data.data();
  Check(answer->IsClassicStandardData() && answer->length == 8);
  Check(answer->canId == kestan::kSdoAnswerBase + static_cast<uint32_t>(transfer.node));
  Check((d[1] | d[2] << 8) == transfer.index && d[3] == transfer.subindex);
  switch (verdict->result) {
    case kestan::SdoResult::Aborted:
      Check(d[0] == kestan::kSdoAbort && !verdict->abortServer);
      Check(std::memcmp(&verdict->abortCode, d + 4, 4) == 0);
      break;
    case kestan::SdoResult::Ok:
      Check(verdict->abortCode == 0 && !verdict->abortServer);
      if (transfer.upload)
        Check(std::memcmp(verdict->value.data(), d + 4, static_cast<size_t>(transfer.size)) == 0);
      else
        Check(d[0] == 0x60);
      break;
    case kestan::SdoResult::BadAnswer:
      Check(transfer.upload && verdict->abortCode != 0);
      break;
    default:
      Check(false);  // an answer ends a transfer in one of the three ways only
  }
  // The client's abort of a segmented upload names the same object.
  if (verdict->abortServer) {
    auto abort = kestan::SdoAbortData(transfer, verdict->abortCode);
    Check(std::memcmp(abort.data() + 1, d + 1, 3) == 0);
  }
  return 0;
}
