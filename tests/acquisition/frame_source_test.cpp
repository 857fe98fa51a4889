// The bench's frame source in-process: its stream read over real TCP as the wire format says,
// the geometry following the camera's registers, the picture following the light and the
// reference voltage.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "frame_source.h"

namespace {

struct WireFrame {
  char magic[4];
  uint32_t width = 0, height = 0, bits = 0;
  uint64_t number = 0, captureUs = 0;
  std::vector<uint8_t> pixels;

  // Mean of the pixels of columns [first, first + count) in 8-bit counts.
  double Mean(uint32_t first, uint32_t count) const {
    double sum = 0;
    for (uint32_t row = 0; row < height; ++row)
      for (uint32_t column = first; column < first + count; ++column) {
        size_t at = size_t{row} * width + column;
        sum += bits <= 8 ? pixels[at] : (pixels[2 * at] | pixels[2 * at + 1] << 8) / 4.0;
      }
    return sum / (static_cast<double>(height) * count);
  }
};

class FrameSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> ready;
    ASSERT_TRUE(source_.Start(loop_, ready));
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0], "GRABBER=127.0.0.1:" + std::to_string(source_.Port()));
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int size = 256 << 10;  // a bounded queue, as the grabber library keeps it
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(source_.Port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  void TearDown() override {
    close(fd_);
    source_.Shutdown();
  }

  bool ReadExact(void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, 5000) != 1) return false;
      ssize_t got = recv(fd_, bytes, size, 0);
      if (got <= 0) return false;
      bytes += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

  WireFrame Read() {
    uint8_t header[32];
    WireFrame frame;
    if (!ReadExact(header, sizeof header)) {
      ADD_FAILURE() << "no frame";
      return frame;
    }
    std::memcpy(frame.magic, header, 4);
    std::memcpy(&frame.width, header + 4, 4);
    std::memcpy(&frame.height, header + 8, 4);
    std::memcpy(&frame.bits, header + 12, 4);
    std::memcpy(&frame.number, header + 16, 8);
    std::memcpy(&frame.captureUs, header + 24, 8);
    frame.pixels.resize(size_t{frame.width} * frame.height * (frame.bits <= 8 ? 1 : 2));
    if (!ReadExact(frame.pixels.data(), frame.pixels.size())) ADD_FAILURE() << "short frame";
    return frame;
  }

  // Reads until a frame has the geometry (frames already on their way keep the old one).
  WireFrame ReadUntil(uint32_t width, uint32_t height, uint32_t bits) {
    for (int i = 0; i < 2000; ++i) {
      WireFrame frame = Read();
      if (frame.width == width && frame.height == height && frame.bits == bits) return frame;
      if (testing::Test::HasFailure()) break;
    }
    ADD_FAILURE() << "never " << width << "x" << height << "x" << bits;
    return {};
  }

  void SetCamera(int smb, int ddp, int ads) {
    std::lock_guard lock(world_.mutex);
    world_.camera.smb = smb;
    world_.camera.ddp = ddp;
    world_.camera.ads = ads;
  }

  sim::World world_;
  sim::EventLoop loop_;
  sim::FrameSource source_{world_};
  int fd_ = -1;
};

TEST_F(FrameSourceTest, FramesFollowTheWireFormat) {
  WireFrame first = Read();
  EXPECT_EQ(std::string(first.magic, 4), "TCLF");
  EXPECT_EQ(first.width, 640u);
  EXPECT_EQ(first.height, 480u);
  EXPECT_EQ(first.bits, 8u);
  WireFrame previous = first;
  for (int i = 0; i < 10; ++i) {
    WireFrame frame = Read();
    EXPECT_EQ(std::string(frame.magic, 4), "TCLF");
    EXPECT_GT(frame.number, previous.number);
    EXPECT_GT(frame.captureUs, previous.captureUs);
    previous = frame;
  }
  // Numbered from 0 when the bench started, a moment before the client came.
  EXPECT_LT(first.number, 1000u);
}

struct Registers {
  int smb, ddp, ads;
  uint32_t width, height, bits;
};

TEST_F(FrameSourceTest, GeometryFollowsTheCameraRegisters) {
  const Registers cases[] = {
      {0, 0, 0x1E0, 640, 480, 8},  {4, 0, 0x0F0, 640, 240, 8}, {0, 1, 0x1E0, 640, 480, 10},
      {4, 1, 0x0F0, 640, 240, 10}, {4, 0, 0x1E0, 640, 240, 8},  // binned: 240 rows at most
      {0, 0, 0x100, 640, 256, 8},  {0, 0, 0x000, 640, 1, 8},
  };
  for (const Registers& r : cases) {
    SCOPED_TRACE(r.ads);
    SetCamera(r.smb, r.ddp, r.ads);
    ReadUntil(r.width, r.height, r.bits);
    for (int i = 0; i < 3; ++i) {
      WireFrame frame = Read();
      EXPECT_EQ(frame.width, r.width);
      EXPECT_EQ(frame.height, r.height);
      EXPECT_EQ(frame.bits, r.bits);
    }
  }
}

TEST_F(FrameSourceTest, PictureFollowsLightAndReferenceVoltage) {
  // Dark, with tap A's reference voltage raised: tap A's black level rises, tap B stays dark.
  {
    std::lock_guard lock(world_.mutex);
    world_.camera.vra = 20;
    world_.lightLevel = 0;
  }
  ReadUntil(640, 480, 8);
  WireFrame dark = Read();
  EXPECT_GT(dark.Mean(0, 320), dark.Mean(320, 320) + 10);

  {
    std::lock_guard lock(world_.mutex);
    world_.camera.vra = 0;
    world_.lightLevel = 40000;
    world_.lightChangedAt = world_.Now() - 100;
  }
  SetCamera(0, 1, 0x1E0);
  ReadUntil(640, 480, 10);
  WireFrame lit = Read();
  const double tapA = lit.Mean(0, 320), tapB = lit.Mean(320, 320);
  EXPECT_GT(tapA, 100);
  EXPECT_GT(tapB, 100);
  EXPECT_NE(tapA, tapB);  // the taps do not match until they are balanced
  auto* words = reinterpret_cast<const uint16_t*>(lit.pixels.data());
  for (size_t i = 0; i < lit.pixels.size() / 2; ++i)
    ASSERT_LE(words[i], 1023u);
}

TEST_F(FrameSourceTest, StuckBlackLevelIgnoresTheReferenceVoltage) {
  {
    std::lock_guard lock(world_.mutex);
    world_.camera.vra = 20;
  }
  // Frames already on their way were taken before each change: read until the change shows.
  auto readUntilTapA = [this](bool raised) {
    for (int i = 0; i < 400; ++i) {
      WireFrame frame = Read();
      if ((frame.Mean(0, 320) > 10) == raised) return true;
    }
    return false;
  };
  EXPECT_TRUE(readUntilTapA(true));
  ASSERT_TRUE(source_.SetFault("black-stuck", ""));
  EXPECT_TRUE(readUntilTapA(false));
  EXPECT_TRUE(source_.State()["black_stuck"].get<bool>());
  ASSERT_TRUE(source_.SetFault("black-stuck", "off"));
  EXPECT_TRUE(readUntilTapA(true));
}

TEST_F(FrameSourceTest, ASlowReaderLosesWholeFrames) {
  uint64_t last = Read().number;
  bool skipped = false;
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    // Whatever was queued drains first; every frame is whole.
    for (int j = 0; j < 60; ++j) {
      WireFrame frame = Read();
      ASSERT_EQ(std::string(frame.magic, 4), "TCLF");
      ASSERT_EQ(frame.pixels.size(), 640u * 480);
      skipped = skipped || frame.number > last + 1;
      last = frame.number;
    }
  }
  EXPECT_TRUE(skipped);
  EXPECT_GT(source_.State()["frames_dropped"].get<uint64_t>(), 0u);
}

TEST_F(FrameSourceTest, FaultsAndTheirValues) {
  EXPECT_FALSE(source_.SetFault("frame-geometry", ""));
  EXPECT_FALSE(source_.SetFault("frame-geometry", "640x480"));
  EXPECT_FALSE(source_.SetFault("frame-geometry", "640x480x7"));
  EXPECT_FALSE(source_.SetFault("frames-stop", "maybe"));
  EXPECT_FALSE(source_.SetFault("no-such-fault", ""));

  ASSERT_TRUE(source_.SetFault("frame-geometry", "320x200x10"));
  ReadUntil(320, 200, 10);
  EXPECT_EQ(source_.State()["forced_geometry"], nlohmann::json({320, 200, 10}));
  ASSERT_TRUE(source_.SetFault("frame-geometry", "off"));
  ReadUntil(640, 480, 8);

  ASSERT_TRUE(source_.SetFault("frames-stop", ""));
  const uint64_t made = source_.State()["frames_made"].get<uint64_t>();
  // Drain what was already on its way; then the stream stays silent while frames are "made".
  pollfd pfd{fd_, POLLIN, 0};
  std::vector<uint8_t> sink(1 << 20);
  while (poll(&pfd, 1, 300) == 1 && recv(fd_, sink.data(), sink.size(), 0) > 0) {
  }
  EXPECT_GT(source_.State()["frames_made"].get<uint64_t>(), made);
  ASSERT_TRUE(source_.SetFault("frames-stop", "off"));
  // Frames come again, from a frame's start.
  WireFrame frame = Read();
  EXPECT_EQ(std::string(frame.magic, 4), "TCLF");
}

}  // namespace
