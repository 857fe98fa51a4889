// The bridge library's reading of answers, on datagrams built here: the answers the bench never
// sends (segmented or unsized uploads, an upload answer to a download) and a datagram cut short
// after the very answer the transfer waits for.
#include "sdo_answer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kestan::SdoResult;
using kestan::SdoTransfer;
using Bytes = std::vector<uint8_t>;

Bytes Datagram(int node, std::vector<Bytes> answers) {
  std::vector<cannelloni::Frame> frames;
  for (const Bytes& data : answers)
    frames.push_back(cannelloni::DataFrame(0x580 + static_cast<uint32_t>(node), data.data(), 8));
  return cannelloni::Encode(frames, 7);
}

TEST(SdoAnswer, AnswersTheBenchNeverSends) {
  const SdoTransfer readWord{127, 0x2010, 2, true, 2};
  const SdoTransfer writeByte{64, 0x2020, 0, false, 1};
  struct Case {
    const char* what;
    SdoTransfer transfer;
    Bytes answer;
    std::optional<SdoResult> result;
    uint32_t abortCode;
    bool abortServer;
  } cases[] = {
      {"upload, size not indicated: the size asked for",
       readWord,
       {0x42, 0x10, 0x20, 0x02, 0x34, 0x12, 0xEE, 0xEE},
       SdoResult::Ok,
       0,
       false},
      {"segmented upload: refused, and the server told",
       readWord,
       {0x41, 0x10, 0x20, 0x02, 0x20, 0, 0, 0},
       SdoResult::BadAnswer,
       0x05040001,
       true},
      {"an upload answer to a download is not its answer",
       writeByte,
       {0x4F, 0x20, 0x20, 0x00, 0x03, 0, 0, 0},
       std::nullopt,
       0,
       false},
      {"a download answer to an upload is not its answer",
       readWord,
       {0x60, 0x10, 0x20, 0x02, 0, 0, 0, 0},
       std::nullopt,
       0,
       false},
      {"a client command is no answer",
       readWord,
       {0x2B, 0x10, 0x20, 0x02, 0x34, 0x12, 0, 0},
       std::nullopt,
       0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes datagram = Datagram(c.transfer.node, {c.answer});
    auto verdict = kestan::JudgeDatagram(c.transfer, datagram.data(), datagram.size());
    ASSERT_EQ(verdict.has_value(), c.result.has_value());
    if (!verdict) continue;
    EXPECT_EQ(verdict->result, *c.result);
    EXPECT_EQ(verdict->abortCode, c.abortCode);
    EXPECT_EQ(verdict->abortServer, c.abortServer);
  }

  Bytes unsized = Datagram(127, {cases[0].answer});
  auto verdict = kestan::JudgeDatagram(readWord, unsized.data(), unsized.size());
  ASSERT_TRUE(verdict);
  EXPECT_EQ(verdict->value[0], 0x34);
  EXPECT_EQ(verdict->value[1], 0x12);
  // The abort the client sends back names the object and the code, least significant byte first.
  const std::array<uint8_t, 8> abort{0x80, 0x10, 0x20, 0x02, 0x01, 0x00, 0x04, 0x05};
  EXPECT_EQ(kestan::SdoAbortData(readWord, 0x05040001), abort);
}

TEST(SdoAnswer, ADatagramCutShortIsRefusedWholeEvenAfterTheAnswer) {
  const SdoTransfer readWord{127, 0x2010, 2, true, 2};
  const Bytes answer{0x4B, 0x10, 0x20, 0x02, 0x34, 0x12, 0, 0};
  const Bytes stray{0x4B, 0x11, 0x20, 0x02, 0x99, 0x99, 0, 0};
  Bytes datagram = Datagram(127, {answer, stray});
  ASSERT_TRUE(kestan::JudgeDatagram(readWord, datagram.data(), datagram.size()));
  // Anywhere in the last frame, and a header that promises a frame more than it carries.
  for (size_t cut : {size_t{1}, size_t{8}, size_t{13}}) {
    EXPECT_FALSE(kestan::JudgeDatagram(readWord, datagram.data(), datagram.size() - cut)) << cut;
  }
  Bytes promised = Datagram(127, {answer});
  promised[4] = 2;
  EXPECT_FALSE(kestan::JudgeDatagram(readWord, promised.data(), promised.size()));
  EXPECT_FALSE(kestan::JudgeDatagram(readWord, datagram.data(), 0));
}

}  // namespace
