// The grabber library's frame-stream reader on streams built here: headers no camera sends, a
// frame whose pixels never all come, and the depth conversions the sockets-level tests do not
// reach.
#include "frame_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe(Bytes& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes Header(uint32_t width, uint32_t height, uint32_t bits, uint64_t number = 0,
             const char* magic = "TCLF") {
  Bytes header(magic, magic + 4);
  PutLe(header, width, 4);
  PutLe(header, height, 4);
  PutLe(header, bits, 4);
  PutLe(header, number, 8);
  PutLe(header, 123456, 8);
  return header;
}

// A stream of `bytes` that ends after them; counts what was read.
struct Stream {
  explicit Stream(Bytes bytes) : bytes(std::move(bytes)) {}
  corapi_sim::ReadExact Reader() {
    return [this](uint8_t* to, size_t count) {
      if (bytes.size() - offset < count) {
        offset = bytes.size();
        return false;
      }
      std::memcpy(to, bytes.data() + offset, count);
      offset += count;
      return true;
    };
  }
  Bytes bytes;
  size_t offset = 0;
};

TEST(FrameStream, HeadersNoCameraSendsEndTheStreamAtTheHeader) {
  struct Case {
    const char* what;
    Bytes header;
  } cases[] = {
      {"another magic", Header(640, 480, 8, 0, "TCLG")},
      {"no width", Header(0, 480, 8)},
      {"no height", Header(640, 0, 8)},
      {"no depth", Header(640, 480, 0)},
      {"17 bits", Header(640, 480, 17)},
      {"above the largest frame", Header(8192, 8192, 16)},
      {"the largest sides", Header(0xFFFFFFFF, 0xFFFFFFFF, 16)},
      // 2^31 + 2^15 by 2^32 - 2^16 + 1 words: 2^64 + 2^16 bytes, 64 KiB once wrapped.
      {"a size that wraps to 64 KiB", Header(0x80008000, 0xFFFF0001, 16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = c.header;
    bytes.resize(bytes.size() + 65536, 0x5A);
    Stream stream(bytes);
    std::vector<uint8_t> pixels;
    corapi_sim::Frame frame;
    EXPECT_FALSE(corapi_sim::ReadFrame(stream.Reader(), pixels, &frame));
    EXPECT_EQ(stream.offset, corapi_sim::kFrameHeaderSize) << "no pixel read";
    EXPECT_TRUE(pixels.empty());
  }
  // The bounds themselves are frames: one pixel of one bit, 64 MiB exactly.
  EXPECT_TRUE(corapi_sim::ParseFrameHeader(Header(1, 1, 1).data()));
  EXPECT_TRUE(corapi_sim::ParseFrameHeader(Header(8192, 4096, 16).data()));
  EXPECT_EQ(corapi_sim::ImageBytes(8192, 4096, 2), corapi_sim::kMaxFrameBytes);
}

TEST(FrameStream, AFrameWhosePixelsNeverComeCostsOnlyWhatCame) {
  Bytes bytes = Header(4096, 4096, 16, 5);  // 32 MiB announced
  bytes.resize(bytes.size() + 1000, 0x11);
  Stream stream(bytes);
  std::vector<uint8_t> pixels;
  corapi_sim::Frame frame;
  EXPECT_FALSE(corapi_sim::ReadFrame(stream.Reader(), pixels, &frame));
  EXPECT_EQ(stream.offset, bytes.size());
  EXPECT_LE(pixels.size(), size_t{1} << 20) << "a chunk ahead, not the frame announced";
}

TEST(FrameStream, FramesComeWholeInTheirOwnGeometryOneAfterTheOther) {
  Bytes bytes = Header(3, 2, 10, 41);
  for (uint8_t i = 0; i < 12; ++i)
    bytes.push_back(i);
  Bytes second = Header(4, 1, 8, 42);
  bytes.insert(bytes.end(), second.begin(), second.end());
  bytes.insert(bytes.end(), {200, 201, 202, 203});
  Stream stream(bytes);
  std::vector<uint8_t> pixels;
  corapi_sim::Frame frame;
  ASSERT_TRUE(corapi_sim::ReadFrame(stream.Reader(), pixels, &frame));
  EXPECT_EQ(frame.number, 41u);
  EXPECT_EQ(frame.pixels[11], 11);
  ASSERT_TRUE(corapi_sim::ReadFrame(stream.Reader(), pixels, &frame));
  EXPECT_EQ(frame.width, 4u);
  EXPECT_EQ(frame.height, 1u);
  EXPECT_EQ(frame.bits, 8u);
  EXPECT_EQ(frame.number, 42u);
  EXPECT_EQ(Bytes(frame.pixels, frame.pixels + 4), (Bytes{200, 201, 202, 203}));
  EXPECT_FALSE(corapi_sim::ReadFrame(stream.Reader(), pixels, &frame)) << "the stream has ended";
}

TEST(FrameStream, EightBitPixelsWidenAndSixteenBitOnesKeepTheirTopByte) {
  const Bytes shallow{0, 1, 128, 255};
  corapi_sim::Frame frame;
  frame.width = 2;
  frame.height = 2;
  frame.bits = 8;
  frame.pixels = shallow.data();
  Bytes wide(8, 0xEE);
  corapi_sim::CopyFrame(frame, wide.data(), 2);
  EXPECT_EQ(wide, (Bytes{0, 0, 1, 0, 128, 0, 255, 0}));

  const Bytes deep{0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x00};
  frame.bits = 16;
  frame.pixels = deep.data();
  Bytes narrow(4, 0xEE);
  corapi_sim::CopyFrame(frame, narrow.data(), 1);
  EXPECT_EQ(narrow, (Bytes{0x12, 0xFF, 0x80, 0x00}));
}

}  // namespace
