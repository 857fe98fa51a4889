// The stand-in grabber library against a frame-stream peer of the test's own, over real TCP: the
// frames and their pixels are the test's, so what lands in each buffer can be checked exactly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "grabber_harness.h"
#include "support/bench_process.h"
#include "vendor/corapi.h"

namespace {

using grabber_harness::Event;
using grabber_harness::Grab;
using grabber_harness::Pattern;
using grabber_harness::StreamPeer;
using testing_support::SourcePath;

std::string CamFile(const std::string& name) {
  return SourcePath("camfiles/" + name);
}

uint32_t Ramp(uint32_t row, uint32_t column, uint32_t seed) {
  return (row * 7 + column * 3 + seed * 11) & 0xFF;
}

uint32_t Ramp10(uint32_t row, uint32_t column, uint32_t seed) {
  return (row * 5 + column * 13 + seed * 101) % 1024;
}

std::string StatusText(CORSTATUS status) {
  char text[256] = {};
  if (CorManGetStatusText(status, text, sizeof text, nullptr, 0) != 0) return "<none>";
  return text;
}

class GrabberLibrary : public testing::Test {
 protected:
  void SetUp() override { setenv("TAPCAL_GRABBER", peer_.Endpoint().c_str(), 1); }
  void TearDown() override { unsetenv("TAPCAL_GRABBER"); }

  // A grab on mode 0's files (640 x 480, 8 bits) with the peer's connection accepted.
  std::unique_ptr<Grab> OpenGrab(const std::string& tag = "Nd_8") {
    auto grab = std::make_unique<Grab>(CamFile("x64tm6740" + tag + "_x.CCA"),
                                       CamFile("x64tm6740" + tag + "_x.CVI"));
    EXPECT_EQ(grab->SetUpStatus(), 0u) << StatusText(grab->SetUpStatus());
    EXPECT_TRUE(peer_.Accept(2000));
    return grab;
  }

  StreamPeer peer_;
};

TEST_F(GrabberLibrary, BoardServerExistsOnlyWhileTheStreamAnswers) {
  CORSERVER board = 0, again = 0;
  ASSERT_EQ(CorManGetServerByName("X64-CL_Express_1", &board), 0u);
  EXPECT_NE(board, 0u);
  EXPECT_NE(board, CorManGetLocalServer());
  EXPECT_EQ(CorManGetServerByName("X64-CL_Express_1", &again), 0u);
  EXPECT_EQ(again, board);
  EXPECT_EQ(CorManReleaseServer(board), 0u);
  EXPECT_NE(CorManReleaseServer(board), 0u);  // already released

  CORSERVER other = 0;
  CORSTATUS unknown = CorManGetServerByName("X64-CL_Express_2", &other);
  EXPECT_NE(unknown, 0u);
  EXPECT_EQ(other, 0u);

  peer_.CloseListener();
  CORSTATUS none = CorManGetServerByName("X64-CL_Express_1", &board);
  EXPECT_NE(none, 0u);
  EXPECT_THAT(StatusText(none), testing::HasSubstr("not found"));

  // The host server is always there and has no acquisition device.
  CORACQ acq = 0;
  EXPECT_NE(CorAcqGetHandle(CorManGetLocalServer(), 0, &acq), 0u);
  EXPECT_EQ(CorManReleaseServer(CorManGetLocalServer()), 0u);
}

struct ModeFiles {
  const char* tag;
  uint32_t width, height, depth;
};

class GrabberModes : public GrabberLibrary, public testing::WithParamInterface<ModeFiles> {};

TEST_P(GrabberModes, FilesNamedAsTheToolNamesThemGiveTheModesGeometry) {
  const ModeFiles& mode = GetParam();
  // The tool names each file ".\name" relative to its working directory.
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(SourcePath("camfiles"));
  std::string tag = mode.tag;
  Grab grab(".\\x64tm6740" + tag + "_x.CCA", ".\\x64tm6740" + tag + "_x.CVI");
  std::filesystem::current_path(before);
  ASSERT_EQ(grab.SetUpStatus(), 0u) << StatusText(grab.SetUpStatus());
  EXPECT_EQ(grab.Width(), mode.width);
  EXPECT_EQ(grab.Height(), mode.height);
  EXPECT_EQ(grab.Depth(), mode.depth);

  // Each buffer is one contiguous block of the whole frame, at an address of its own.
  std::vector<uint8_t*> addresses;
  for (CORBUFFER buffer : grab.buffers) {
    void* address = nullptr;
    ASSERT_EQ(CorBufferGetPrm(buffer, CORBUFFER_PRM_ADDRESS, &address), 0u);
    ASSERT_NE(address, nullptr);
    auto* bytes = static_cast<uint8_t*>(address);
    std::fill(bytes, bytes + size_t{mode.width} * mode.height * grab.BytesPerPixel(), 0x5A);
    addresses.push_back(bytes);
  }
  EXPECT_NE(addresses[0], addresses[1]);
  EXPECT_NE(addresses[1], addresses[2]);
  EXPECT_EQ(grab.Close(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EightFiles, GrabberModes,
                         testing::Values(ModeFiles{"Nd_8", 640, 480, 8},
                                         ModeFiles{"b2d_8", 640, 240, 8},
                                         ModeFiles{"Nd_10", 640, 480, 10},
                                         ModeFiles{"b2d_10", 640, 240, 10}),
                         [](const auto& info) { return std::string(info.param.tag); });

TEST_F(GrabberLibrary, BadCameraFilesAreRefusedAndLeaveTheDescription) {
  testing_support::TempDir dir;
  CORSERVER host = CorManGetLocalServer();
  CORCAM cam = 0;
  CORVIC vic = 0;
  ASSERT_EQ(CorCamNew(host, &cam), 0u);
  ASSERT_EQ(CorVicNew(host, &vic), 0u);
  ASSERT_EQ(CorCamLoad(cam, CamFile("x64tm6740b2d_10_x.CCA").c_str()), 0u);
  ASSERT_EQ(CorVicLoad(vic, CamFile("x64tm6740b2d_10_x.CVI").c_str()), 0u);

  struct Bad {
    const char* text;
    bool vic;
    uint32_t line;  // the info field: the offending line, 0 for a missing key
  };
  const Bad cases[] = {
      {"[Camera]\nWidth=640\nHeight=2x0\nPixelDepth=8\n", false, 3},
      {"[Camera]\nWidth=640\nHeight=480\n", false, 0},
      {"[Camera]\nWidth=640\nHeight=480\nPixelDepth=7\n", false, 4},
      {"Width=640\n", false, 1},
      {"[Camera\nWidth=640\n", false, 1},
      {"[Acquisition]\r\nWidth=640\r\nHeight=480\r\nOutputFormat=Mono12\r\n", true, 4},
      {"[Acquisition]\nWidth=640\nHeight=480\n", true, 0},
      {"[Camera]\nWidth=640\nHeight=480\nOutputFormat=Mono8\n", true, 0},
  };
  for (const Bad& bad : cases) {
    std::string path = dir.Write("bad", bad.text);
    CORSTATUS status = bad.vic ? CorVicLoad(vic, path.c_str()) : CorCamLoad(cam, path.c_str());
    EXPECT_NE(status, 0u) << bad.text;
    EXPECT_EQ((status >> 8) & 0xFFF, bad.line) << bad.text;
    EXPECT_NE(StatusText(status), "<none>");
  }
  CORSTATUS missing = CorCamLoad(cam, dir.File("nothing.CCA").c_str());
  EXPECT_NE(missing, 0u);
  EXPECT_EQ(StatusText(missing), "File not found");
  EXPECT_NE(CorCamLoad(cam, nullptr), 0u);

  // Case and spacing do not matter; a failed load changed nothing that was loaded before.
  std::string loose = dir.Write("loose.CCA",
                                "; c\n [ camera ] \n width = 640\nHEIGHT=240\n"
                                "# d\npixeldepth= 10 \n");
  EXPECT_EQ(CorCamLoad(cam, loose.c_str()), 0u);
  CORACQ acq = 0;
  CORSERVER board = 0;
  ASSERT_EQ(CorManGetServerByName("X64-CL_Express_1", &board), 0u);
  ASSERT_EQ(CorAcqGetHandle(board, 0, &acq), 0u);
  ASSERT_EQ(CorAcqSetPrms(acq, vic, cam, 1), 0u);
  uint32_t height = 0, depth = 0;
  CorAcqGetPrm(acq, CORACQ_PRM_SCALE_VERT, &height);
  CorAcqGetPrm(acq, CORACQ_PRM_PIXEL_DEPTH, &depth);
  EXPECT_EQ(height, 240u);
  EXPECT_EQ(depth, 10u);

  // A VIC whose image is not the camera's cannot be applied with it.
  ASSERT_EQ(CorCamLoad(cam, CamFile("x64tm6740Nd_10_x.CCA").c_str()), 0u);
  EXPECT_NE(CorAcqSetPrms(acq, vic, cam, 1), 0u);

  EXPECT_EQ(CorAcqRelease(acq), 0u);
  EXPECT_EQ(CorCamFree(cam), 0u);
  EXPECT_EQ(CorVicFree(vic), 0u);
  EXPECT_EQ(CorManReleaseServer(board), 0u);
}

TEST_F(GrabberLibrary, MatchingFramesGoIntoTheNextBufferWithItsOwnContext) {
  auto grab = OpenGrab();
  ASSERT_EQ(grab->Start(), 0u);
  // Frames the acquisition cannot frame (another height, another depth) are dropped.
  ASSERT_TRUE(peer_.SendFrame(640, 480, 8, 10, Pattern(640, 480, 8, Ramp, 1)));
  ASSERT_TRUE(peer_.SendFrame(640, 478, 8, 11, Pattern(640, 478, 8, Ramp, 2)));
  ASSERT_TRUE(peer_.SendFrame(640, 480, 10, 12, Pattern(640, 480, 10, Ramp10, 3)));
  for (uint32_t number = 13; number < 16; ++number)
    ASSERT_TRUE(peer_.SendFrame(640, 480, 8, number, Pattern(640, 480, 8, Ramp, number)));

  std::vector<Event> events = grab->WaitForEvents(4, 5000);
  ASSERT_EQ(events.size(), 4u);
  const int contexts[] = {0, 1, 2, 0};
  const uint32_t numbers[] = {10, 13, 14, 15};
  const uint32_t seeds[] = {1, 13, 14, 15};
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].context, contexts[i]) << i;
    EXPECT_EQ(events[i].eventType, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME);
    EXPECT_EQ(events[i].eventValue, numbers[i]);
    EXPECT_TRUE(events[i].pixels == Pattern(640, 480, 8, Ramp, seeds[i])) << "frame " << i;
  }
  EXPECT_EQ(grab->Stop(), 0u);
  EXPECT_EQ(grab->Close(), 0u);
}

TEST_F(GrabberLibrary, TenBitFramesLandAsLittleEndianWords) {
  auto grab = OpenGrab("b2d_10");
  ASSERT_EQ(grab->Start(), 0u);
  ASSERT_TRUE(peer_.SendFrame(640, 240, 10, 0, Pattern(640, 240, 10, Ramp10, 7)));
  std::vector<Event> events = grab->WaitForEvents(1, 5000);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].pixels.size(), 640u * 240 * 2);
  auto* words = reinterpret_cast<const uint16_t*>(events[0].pixels.data());
  EXPECT_EQ(words[0], Ramp10(0, 0, 7));
  EXPECT_EQ(words[239 * 640 + 639], Ramp10(239, 639, 7));
  EXPECT_TRUE(events[0].pixels == Pattern(640, 240, 10, Ramp10, 7));
}

TEST_F(GrabberLibrary, TenBitFramesInEightBitBuffersKeepTheTopBits) {
  Grab grab(CamFile("x64tm6740Nd_10_x.CCA"), CamFile("x64tm6740Nd_10_x.CVI"));
  ASSERT_TRUE(peer_.Accept(2000));
  // Set up by hand: 8-bit output from the 10-bit camera.
  ASSERT_EQ(CorXferDisconnect(grab.xfer), 0u);
  ASSERT_EQ(CorXferFree(grab.xfer), 0u);
  grab.xfer = 0;
  for (CORBUFFER& buffer : grab.buffers) {
    ASSERT_EQ(CorBufferFree(buffer), 0u);
    buffer = 0;
  }
  ASSERT_EQ(CorVicSetPrm(grab.vic, CORVIC_PRM_OUTPUT_FORMAT, CORDATA_FORMAT_MONO8), 0u);
  ASSERT_EQ(CorAcqSetPrms(grab.acq, grab.vic, grab.cam, 1), 0u);
  CORBUFFER buffer = 0;
  CORXFER xfer = 0;
  ASSERT_EQ(CorBufferNew(CorManGetLocalServer(), 640, 480, CORDATA_FORMAT_MONO8,
                         CORBUFFER_VAL_TYPE_CONTIGUOUS, &buffer),
            0u);
  ASSERT_EQ(CorXferNew(grab.board, grab.acq, buffer, nullptr, &xfer), 0u);
  ASSERT_EQ(CorXferConnect(xfer), 0u);
  ASSERT_EQ(CorXferStart(xfer, 1), 0u);
  ASSERT_TRUE(peer_.SendFrame(640, 480, 10, 0, Pattern(640, 480, 10, Ramp10, 9)));
  // A counted transfer ends by itself; without a callback, the wait tells when.
  ASSERT_EQ(CorXferWait(xfer, 5000), 0u);
  void* address = nullptr;
  ASSERT_EQ(CorBufferGetPrm(buffer, CORBUFFER_PRM_ADDRESS, &address), 0u);
  auto* bytes = static_cast<const uint8_t*>(address);
  EXPECT_EQ(bytes[0], Ramp10(0, 0, 9) >> 2);
  EXPECT_EQ(bytes[123 * 640 + 456], Ramp10(123, 456, 9) >> 2);
  EXPECT_EQ(CorXferDisconnect(xfer), 0u);
  EXPECT_EQ(CorXferFree(xfer), 0u);
  EXPECT_EQ(CorBufferFree(buffer), 0u);
}

TEST_F(GrabberLibrary, OnlyWhileGrabbing) {
  auto grab = OpenGrab();
  auto frame = [](uint32_t seed) { return Pattern(640, 480, 8, Ramp, seed); };
  auto send = [this, &frame](uint32_t number) {
    return peer_.SendFrame(640, 480, 8, number, frame(number));
  };
  // Frames are read as they come, also while nobody grabs; those are dropped. (The pauses let
  // the library read a frame before the grab changes.)
  ASSERT_TRUE(send(1));  // before the start
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(grab->Start(), 0u);
  ASSERT_TRUE(send(2));
  ASSERT_EQ(grab->WaitForEvents(1, 5000).size(), 1u);
  ASSERT_EQ(grab->Stop(), 0u);
  ASSERT_TRUE(send(3));  // after the stop: read and dropped
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(grab->Events().size(), 1u);
  // Restarting begins again at the first buffer.
  ASSERT_EQ(grab->Start(), 0u);
  ASSERT_TRUE(send(4));
  std::vector<Event> events = grab->WaitForEvents(2, 5000);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].eventValue, 2u);
  EXPECT_EQ(events[1].eventValue, 4u);
  EXPECT_EQ(events[1].context, 0);

  // A counted start delivers that many frames, then the transfer has ended by itself.
  ASSERT_EQ(grab->Stop(), 0u);
  ASSERT_EQ(grab->Start(2), 0u);
  for (uint32_t number = 5; number < 8; ++number)
    ASSERT_TRUE(send(number));
  ASSERT_EQ(grab->WaitForEvents(4, 5000).size(), 4u);
  EXPECT_EQ(CorXferWait(grab->xfer, 2000), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  events = grab->Events();
  ASSERT_EQ(events.size(), 4u);  // 7 came after the count was used up
  EXPECT_EQ(events[2].eventValue, 5u);
  EXPECT_EQ(events[3].eventValue, 6u);
}

TEST_F(GrabberLibrary, WaitOnARunningTransferTimesOut) {
  auto grab = OpenGrab();
  ASSERT_EQ(grab->Start(), 0u);
  CORSTATUS status = CorXferWait(grab->xfer, 50);
  EXPECT_NE(status, 0u);
  EXPECT_EQ(StatusText(status), "Time-out");
  EXPECT_EQ(CorXferAbort(grab->xfer), 0u);
  EXPECT_EQ(CorXferWait(grab->xfer, 50), 0u);
}

TEST_F(GrabberLibrary, ObjectsInUseByAConnectedTransferStay) {
  auto grab = OpenGrab();
  EXPECT_NE(CorBufferFree(grab->buffers[1]), 0u);
  EXPECT_NE(CorAcqRelease(grab->acq), 0u);
  EXPECT_NE(CorXferFree(grab->xfer), 0u);
  EXPECT_NE(CorXferAppend(grab->xfer, grab->acq, grab->buffers[0], nullptr), 0u);
  EXPECT_NE(CorXferConnect(grab->xfer), 0u);  // already connected
  ASSERT_EQ(CorXferDisconnect(grab->xfer), 0u);
  EXPECT_NE(CorXferStart(grab->xfer, CORXFER_CONTINUOUS), 0u);  // not connected
  EXPECT_EQ(grab->Close(), 0u);
}

TEST_F(GrabberLibrary, BuffersMustTakeTheAcquisitionsImages) {
  auto grab = OpenGrab();
  ASSERT_EQ(CorXferDisconnect(grab->xfer), 0u);
  CORSERVER host = CorManGetLocalServer();
  CORBUFFER small = 0, deep = 0;
  ASSERT_EQ(
      CorBufferNew(host, 640, 240, CORDATA_FORMAT_MONO8, CORBUFFER_VAL_TYPE_CONTIGUOUS, &small),
      0u);
  ASSERT_EQ(
      CorBufferNew(host, 640, 480, CORDATA_FORMAT_MONO16, CORBUFFER_VAL_TYPE_CONTIGUOUS, &deep),
      0u);
  for (CORBUFFER wrong : {small, deep}) {
    CORXFER xfer = 0;
    ASSERT_EQ(CorXferNew(grab->board, grab->acq, grab->buffers[0], nullptr, &xfer), 0u);
    ASSERT_EQ(CorXferAppend(xfer, grab->acq, wrong, nullptr), 0u);
    CORSTATUS status = CorXferConnect(xfer);
    EXPECT_NE(status, 0u);
    EXPECT_EQ((status >> 8) & 0xFFF, 2u);  // the second buffer
    EXPECT_EQ(CorXferFree(xfer), 0u);
  }
  EXPECT_EQ(CorBufferFree(small), 0u);
  EXPECT_EQ(CorBufferFree(deep), 0u);
}

TEST_F(GrabberLibrary, BadHandlesAndArgumentsAreErrorsNeverCrashes) {
  auto grab = OpenGrab();
  const CORHANDLE stale = grab->cam;
  ASSERT_EQ(CorCamFree(grab->cam), 0u);
  grab->cam = 0;
  // Zero, a made-up value, a freed handle and a handle of another kind.
  for (CORHANDLE bad : {CORHANDLE{0}, CORHANDLE{0xDEADBEEF}, stale, grab->buffers[0]}) {
    SCOPED_TRACE(bad);
    CORHANDLE out = 0;
    uint32_t value = 0;
    void* address = nullptr;
    if (bad != grab->buffers[0]) {
      EXPECT_NE(CorCamLoad(bad, CamFile("x64tm6740Nd_8_x.CCA").c_str()), 0u);
      EXPECT_NE(CorCamFree(bad), 0u);
      EXPECT_NE(CorBufferGetPrm(bad, CORBUFFER_PRM_ADDRESS, &address), 0u);
      EXPECT_NE(CorBufferFree(bad), 0u);
    }
    EXPECT_NE(CorManReleaseServer(bad), 0u);
    EXPECT_NE(CorCamNew(bad, &out), 0u);
    EXPECT_NE(CorVicNew(bad, &out), 0u);
    EXPECT_NE(CorVicLoad(bad, CamFile("x64tm6740Nd_8_x.CVI").c_str()), 0u);
    EXPECT_NE(CorVicSetPrm(bad, CORVIC_PRM_OUTPUT_FORMAT, CORDATA_FORMAT_MONO8), 0u);
    EXPECT_NE(CorVicFree(bad), 0u);
    EXPECT_NE(CorAcqGetHandle(bad, 0, &out), 0u);
    EXPECT_NE(CorAcqGetPrms(bad, grab->vic, grab->cam, 1), 0u);
    EXPECT_NE(CorAcqSetPrms(grab->acq, grab->vic, bad, 1), 0u);
    EXPECT_NE(CorAcqGetPrm(bad, CORACQ_PRM_SCALE_HORZ, &value), 0u);
    EXPECT_NE(CorAcqRelease(bad), 0u);
    EXPECT_NE(CorBufferNew(bad, 640, 480, CORDATA_FORMAT_MONO8, 1, &out), 0u);
    EXPECT_NE(CorXferNew(grab->board, bad, grab->buffers[0], nullptr, &out), 0u);
    EXPECT_NE(CorXferAppend(bad, grab->acq, grab->buffers[0], nullptr), 0u);
    EXPECT_NE(CorXferRegisterCallback(bad, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, nullptr, nullptr),
              0u);
    EXPECT_NE(CorXferUnregisterCallback(bad, nullptr), 0u);
    for (auto call : {CorXferConnect, CorXferStop, CorXferAbort, CorXferDisconnect, CorXferFree})
      EXPECT_NE(call(bad), 0u);
    EXPECT_NE(CorXferStart(bad, CORXFER_CONTINUOUS), 0u);
    EXPECT_NE(CorXferWait(bad, 10), 0u);
    EXPECT_EQ(out, 0u);
  }
  // Arguments the library cannot use.
  CORSERVER host = CorManGetLocalServer();
  CORBUFFER buffer = 0;
  EXPECT_NE(CorBufferNew(host, 640, 480, 0x12345678, CORBUFFER_VAL_TYPE_CONTIGUOUS, &buffer), 0u);
  EXPECT_NE(
      CorBufferNew(host, 0, 480, CORDATA_FORMAT_MONO8, CORBUFFER_VAL_TYPE_CONTIGUOUS, &buffer), 0u);
  EXPECT_NE(CorBufferNew(host, 640, 480, CORDATA_FORMAT_MONO8, 7, &buffer), 0u);
  EXPECT_NE(CorBufferNew(host, 640, 480, CORDATA_FORMAT_MONO8, 1, nullptr), 0u);
  EXPECT_NE(CorBufferNew(host, 100000, 100000, CORDATA_FORMAT_MONO16, 1, &buffer), 0u);
  // 2^31 + 2^15 by 2^32 - 2^16 + 1 words: a size that wraps to 64 KiB.
  EXPECT_NE(CorBufferNew(host, 0x80008000, 0xFFFF0001, CORDATA_FORMAT_MONO16, 1, &buffer), 0u);
  EXPECT_EQ(buffer, 0u);
  EXPECT_NE(CorAcqGetPrm(grab->acq, 0x12345678, &buffer), 0u);
  EXPECT_NE(CorAcqGetPrm(grab->acq, CORACQ_PRM_SCALE_HORZ, nullptr), 0u);
  EXPECT_NE(CorBufferGetPrm(grab->buffers[0], CORBUFFER_PRM_ADDRESS, nullptr), 0u);
  EXPECT_NE(CorVicSetPrm(grab->vic, CORVIC_PRM_OUTPUT_FORMAT, 0x12345678), 0u);
  EXPECT_NE(CorManGetServerByName(nullptr, &buffer), 0u);
  EXPECT_NE(CorManGetServerByName("X64-CL_Express_1", nullptr), 0u);
  char text[8];
  EXPECT_NE(CorManGetStatusText(0x01000001, nullptr, 256, nullptr, 0), 0u);
  EXPECT_NE(CorManGetStatusText(0x01000001, text, 0, nullptr, 0), 0u);
}

TEST_F(GrabberLibrary, StatusWordsCarryModuleStatusInfoAndText) {
  CORACQ acq = 0;
  CORSTATUS status = CorAcqGetHandle(CorManGetLocalServer(), 0, &acq);
  ASSERT_NE(status, 0u);
  EXPECT_NE(status >> 22 & 0x3F, 0u);  // a module
  EXPECT_NE(status & 0xFF, 0u);        // a status
  EXPECT_EQ(status >> 8 & 0xFFF, 1u);  // info: the first argument
  char text[256], info[64];
  ASSERT_EQ(CorManGetStatusText(status, text, sizeof text, info, sizeof info), 0u);
  EXPECT_STREQ(text, "Invalid handle");
  EXPECT_STREQ(info, "Acquisition");
  // A short buffer gets as much as fits, terminated.
  char shortText[5];
  ASSERT_EQ(CorManGetStatusText(status, shortText, sizeof shortText, nullptr, 0), 0u);
  EXPECT_STREQ(shortText, "Inva");
  // A word this library never returns has no text.
  EXPECT_NE(CorManGetStatusText(0xFC0000FF, text, sizeof text, nullptr, 0), 0u);
}

TEST_F(GrabberLibrary, CorruptStreamIsGivenUpWithoutHarm) {
  auto grab = OpenGrab();
  ASSERT_EQ(grab->Start(), 0u);
  ASSERT_TRUE(peer_.SendFrame(640, 480, 8, 1, Pattern(640, 480, 8, Ramp, 1)));
  ASSERT_EQ(grab->WaitForEvents(1, 5000).size(), 1u);
  const char garbage[32] = "XXXX not a frame header at all";
  ASSERT_TRUE(peer_.SendRaw(garbage, sizeof garbage));
  // The library drops the connection it cannot read.
  char byte;
  bool closed = false;
  for (int i = 0; i < 200 && !closed; ++i) {
    closed = !peer_.SendRaw(&byte, 1);
    usleep(10000);
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(grab->Events().size(), 1u);
  EXPECT_EQ(grab->Stop(), 0u);
  EXPECT_EQ(grab->Close(), 0u);
}

TEST_F(GrabberLibrary, ReleasingTheBoardWhileGrabbingEndsTheDeliveries) {
  auto grab = OpenGrab();
  ASSERT_EQ(grab->Start(), 0u);
  ASSERT_TRUE(peer_.SendFrame(640, 480, 8, 1, Pattern(640, 480, 8, Ramp, 1)));
  ASSERT_EQ(grab->WaitForEvents(1, 5000).size(), 1u);
  ASSERT_EQ(CorManReleaseServer(grab->board), 0u);
  grab->board = 0;
  EXPECT_EQ(CorXferWait(grab->xfer, 100), 0u);  // nothing is grabbing any more
  EXPECT_NE(CorXferStart(grab->xfer, CORXFER_CONTINUOUS), 0u);
  EXPECT_EQ(grab->Close(), 0u);
}

}  // namespace
