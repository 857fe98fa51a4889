// The stand-in grabber library against the real bench's frame stream: each mode's files, frames
// in rotation with their own contexts, and the bench's faults as the grabber sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "grabber_harness.h"
#include "support/bench_process.h"

namespace {

using grabber_harness::Event;
using grabber_harness::Grab;
using testing_support::BenchProcess;
using testing_support::SourcePath;

std::string CamFile(const std::string& name) {
  return SourcePath("camfiles/" + name);
}

uint64_t FramesSent(const BenchProcess& bench) {
  return bench.State()["frame_source"]["frames_sent"].get<uint64_t>();
}

// Waits until no event has come for `quietMs` (bounded); the number of events then.
size_t WaitForQuiet(Grab& grab, int quietMs) {
  size_t count = grab.Events().size();
  for (int round = 0; round < 50; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
    size_t now = grab.Events().size();
    if (now == count) break;
    count = now;
  }
  return count;
}

struct Mode {
  const char* tag;
  uint32_t width, height, depth;
  const char* cameraOutput;  // the camera's output for the mode, forced by the bench's fault
};

class GrabberAgainstBench : public testing::TestWithParam<Mode> {
 protected:
  void TearDown() override { unsetenv("TAPCAL_GRABBER"); }
};

TEST_P(GrabberAgainstBench, FramesOfTheModeArriveInRotation) {
  const Mode& mode = GetParam();
  // Without the camera's registers set, the camera's output is forced to the mode's.
  BenchProcess bench({"--fault", std::string("frame-geometry=") + mode.cameraOutput});
  ASSERT_TRUE(bench.Ready());
  setenv("TAPCAL_GRABBER", bench.ReadyValue("GRABBER").c_str(), 1);

  std::string tag = mode.tag;
  Grab grab(CamFile("x64tm6740" + tag + "_x.CCA"), CamFile("x64tm6740" + tag + "_x.CVI"));
  ASSERT_EQ(grab.SetUpStatus(), 0u);
  EXPECT_EQ(grab.Width(), mode.width);
  EXPECT_EQ(grab.Height(), mode.height);
  EXPECT_EQ(grab.Depth(), mode.depth);

  ASSERT_EQ(grab.Start(), 0u);
  std::vector<Event> events = grab.WaitForEvents(30, 20000);
  EXPECT_EQ(grab.Stop(), 0u);
  ASSERT_GE(events.size(), 30u);

  const size_t frameBytes = size_t{mode.width} * mode.height * (mode.depth <= 8 ? 1 : 2);
  for (size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].context, static_cast<int>(i % 3));
    EXPECT_EQ(events[i].eventType, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME);
    if (i > 0) {
      EXPECT_GT(events[i].eventValue, events[i - 1].eventValue);  // frame numbers
    }
    ASSERT_EQ(events[i].pixels.size(), frameBytes);
  }
  if (mode.depth > 8) {
    auto* words = reinterpret_cast<const uint16_t*>(events.back().pixels.data());
    for (size_t i = 0; i < frameBytes / 2; ++i)
      ASSERT_LE(words[i], 1023u) << i;
  }
  // Nothing comes after the stop.
  const size_t stopped = grab.Events().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(grab.Events().size(), stopped);
  EXPECT_EQ(grab.Close(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, GrabberAgainstBench,
                         testing::Values(Mode{"Nd_8", 640, 480, 8, "640x480x8"},
                                         Mode{"b2d_8", 640, 240, 8, "640x240x8"},
                                         Mode{"Nd_10", 640, 480, 10, "640x480x10"},
                                         Mode{"b2d_10", 640, 240, 10, "640x240x10"}),
                         [](const auto& info) { return std::string(info.param.tag); });

TEST(GrabberBenchFaults, ACameraThatDoesNotMatchItsFileGivesNoFrames) {
  BenchProcess bench({"--fault", "frame-geometry=640x478x8"});
  ASSERT_TRUE(bench.Ready());
  setenv("TAPCAL_GRABBER", bench.ReadyValue("GRABBER").c_str(), 1);
  Grab grab(CamFile("x64tm6740Nd_8_x.CCA"), CamFile("x64tm6740Nd_8_x.CVI"));
  unsetenv("TAPCAL_GRABBER");
  ASSERT_EQ(grab.SetUpStatus(), 0u);
  ASSERT_EQ(grab.Start(), 0u);

  const uint64_t sentBefore = FramesSent(bench);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GT(FramesSent(bench), sentBefore);  // the frames came, and were dropped
  EXPECT_TRUE(grab.Events().empty());

  // The camera set right again: frames arrive.
  ASSERT_EQ(bench.Control("fault frame-geometry off"), "ok");
  EXPECT_GE(grab.WaitForEvents(5, 20000).size(), 5u);
  EXPECT_EQ(grab.Close(), 0u);
}

TEST(GrabberBenchFaults, FramesThatStopLeaveTheTransferQuietAndStoppable) {
  BenchProcess bench;
  ASSERT_TRUE(bench.Ready());
  setenv("TAPCAL_GRABBER", bench.ReadyValue("GRABBER").c_str(), 1);
  Grab grab(CamFile("x64tm6740Nd_8_x.CCA"), CamFile("x64tm6740Nd_8_x.CVI"));
  unsetenv("TAPCAL_GRABBER");
  ASSERT_EQ(grab.SetUpStatus(), 0u);
  ASSERT_EQ(grab.Start(), 0u);
  ASSERT_GE(grab.WaitForEvents(3, 20000).size(), 3u);

  ASSERT_EQ(bench.Control("fault frames-stop"), "ok");
  const size_t quiet = WaitForQuiet(grab, 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(grab.Events().size(), quiet);
  EXPECT_EQ(grab.Stop(), 0u);  // nothing in flight: the wait ends at once

  ASSERT_EQ(bench.Control("fault frames-stop off"), "ok");
  ASSERT_EQ(grab.Start(), 0u);
  EXPECT_GE(grab.WaitForEvents(quiet + 3, 20000).size(), quiet + 3);
  EXPECT_EQ(grab.Close(), 0u);
}

TEST(GrabberBenchFaults, NoBenchNoBoard) {
  BenchProcess bench;
  ASSERT_TRUE(bench.Ready());
  const std::string endpoint = bench.ReadyValue("GRABBER");
  ASSERT_TRUE(bench.Stop());
  setenv("TAPCAL_GRABBER", endpoint.c_str(), 1);
  CORSERVER board = 0;
  EXPECT_NE(CorManGetServerByName("X64-CL_Express_1", &board), 0u);
  EXPECT_EQ(board, 0u);
  unsetenv("TAPCAL_GRABBER");
}

}  // namespace
