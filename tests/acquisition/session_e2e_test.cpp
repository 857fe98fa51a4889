// The real tool against the real bench through all four camera modes: each mode's session opens
// on its files, grabs, and closes again, and at the end nothing of the grabber is left held.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "support/bench_process.h"
#include "support/installation.h"

namespace {

using testing_support::BenchProcess;
using testing_support::Installation;

TEST(SessionEndToEnd, EveryModeOpensGrabsAndClosesWithNothingLeftHeld) {
  BenchProcess bench({"--homing-ms", "0"});
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS 02:1A:2B:3C:4D:5E");
  testing_support::ToolRun run = testing_support::RunTool(installation, bench, "", 400);
  ASSERT_FALSE(run.timedOut) << run.out;
  EXPECT_EQ(run.exitCode, 0);  // no thread left joinable, nothing aborted

  std::vector<std::string> sessionLines;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Loading ", 0) == 0 || line.rfind("Calibrating ", 0) == 0)
      sessionLines.push_back(line);
    EXPECT_EQ(line.find("Error"), std::string::npos) << line;
    EXPECT_EQ(line.find("Cannot"), std::string::npos) << line;
  }
  EXPECT_THAT(
      sessionLines,
      testing::ElementsAre("Loading .\\x64tm6740Nd_8_x.CCA", "Calibrating 640 x 480 @ 8-bits.",
                           "Loading .\\x64tm6740b2d_8_x.CCA", "Calibrating 640 x 240 @ 8-bits.",
                           "Loading .\\x64tm6740Nd_10_x.CCA", "Calibrating 640 x 480 @ 10-bits.",
                           "Loading .\\x64tm6740b2d_10_x.CCA", "Calibrating 640 x 240 @ 10-bits."));
  EXPECT_THAT(run.out, testing::EndsWith("Application Terminating, press any key...\n"));
  // The grabber library tells on standard error what a program left held at its end.
  EXPECT_EQ(run.err.find("still held"), std::string::npos) << run.err;

  // The board server was released: the bench's frame stream has no client left.
  nlohmann::json source;
  for (int i = 0; i < 100; ++i) {
    source = bench.State()["frame_source"];
    if (source["clients"] == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(source["clients"], 0);
  EXPECT_GT(source["frames_sent"].get<uint64_t>(), 100u);
  // The last mode left the camera binned at 10 bits, and its frames followed.
  EXPECT_EQ(source["height"], 240);
  EXPECT_EQ(source["bits"], 10);
}

}  // namespace
