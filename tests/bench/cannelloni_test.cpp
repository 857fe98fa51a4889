// The bridge link's framing against datagrams written out by hand from the format's description.
#include "cannelloni.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Cannelloni, EncodesClassicFdAndRemoteFramesBigEndian) {
  auto classic = cannelloni::DataFrame(0x67F, Bytes{0x40, 0x10, 0x20, 0x02}.data(), 4);
  cannelloni::Frame fd;
  fd.canId = 0x12345678 | cannelloni::kExtendedFlag;
  fd.fd = true;
  fd.fdFlags = 0x01;
  fd.length = 12;
  for (uint8_t i = 0; i < 12; ++i)
    fd.data[i] = i;
  cannelloni::Frame remote;
  remote.canId = 0x77F | cannelloni::kRemoteFlag;
  remote.length = 8;

  Bytes expected{2,    0,    0x2A, 0,    3,  // version, data, sequence, count
                 0,    0,    0x06, 0x7F, 4,    0x40, 0x10, 0x20, 0x02,  // classic
                 0x92, 0x34, 0x56, 0x78, 0x8C, 0x01,  // FD: length 12 | 0x80, flags
                 0,    1,    2,    3,    4,    5,    6,    7,    8,    9, 10, 11,  //
                 0x40, 0,    0x07, 0x7F, 8};  // remote: no data bytes
  EXPECT_EQ(cannelloni::Encode({classic, fd, remote}, 0x2A), expected);

  std::vector<cannelloni::Frame> frames;
  ASSERT_TRUE(cannelloni::Decode(expected.data(), expected.size(), frames));
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].canId, 0x67Fu);
  EXPECT_TRUE(frames[0].IsClassicStandardData());
  EXPECT_EQ(frames[0].length, 4);
  EXPECT_EQ(frames[0].data[3], 0x02);
  EXPECT_TRUE(frames[1].fd);
  EXPECT_EQ(frames[1].fdFlags, 0x01);
  EXPECT_EQ(frames[1].length, 12);
  EXPECT_EQ(frames[1].data[11], 11);
  EXPECT_FALSE(frames[1].IsClassicStandardData());
  EXPECT_TRUE(frames[2].IsRemote());
  EXPECT_EQ(frames[2].length, 8);
}

TEST(Cannelloni, RejectsDatagramsThatAreNotWellFormed) {
  const Bytes good{2, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 2, 0xAA, 0xBB};
  std::vector<cannelloni::Frame> frames;
  ASSERT_TRUE(cannelloni::Decode(good.data(), good.size(), frames));

  struct Case {
    const char* what;
    Bytes datagram;
  } cases[] = {
      {"empty", {}},
      {"short header", {2, 0, 0, 0}},
      {"version 1", {1, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 2, 0xAA, 0xBB}},
      {"not a data datagram", {2, 1, 0, 0, 1, 0, 0, 0x05, 0xFF, 2, 0xAA, 0xBB}},
      {"count beyond the frames", {2, 0, 0, 0, 2, 0, 0, 0x05, 0xFF, 2, 0xAA, 0xBB}},
      {"data cut short", {2, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 2, 0xAA}},
      {"classic frame of 9 bytes", {2, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"FD frame of 65 bytes", {2, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 0x80 | 65, 0}},
      {"FD frame without its flags byte", {2, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 0x80}},
      {"bytes after the last frame", {2, 0, 0, 0, 1, 0, 0, 0x05, 0xFF, 2, 0xAA, 0xBB, 0}},
  };
  for (const auto& c : cases) {
    frames.assign(1, {});
    EXPECT_FALSE(cannelloni::Decode(c.datagram.data(), c.datagram.size(), frames)) << c.what;
    EXPECT_TRUE(frames.empty()) << c.what;
  }
}

TEST(Cannelloni, AnEmptyDataDatagramCarriesNoFrames) {
  const Bytes empty{2, 0, 7, 0, 0};
  std::vector<cannelloni::Frame> frames;
  EXPECT_TRUE(cannelloni::Decode(empty.data(), empty.size(), frames));
  EXPECT_TRUE(frames.empty());
}

}  // namespace
