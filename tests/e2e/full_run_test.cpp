// The main job end to end: tapcal calibrating all four camera modes against tapcal-sim, checked
// on the console line by line and on the device: the pages the camera saved, and the sensor's own
// readings for the light and settings the run left.
#include <gtest/gtest.h>

#include "full_run_checks.h"
#include "support/installation.h"

namespace {

using full_run::ExpectFourCalibratedModes;
using full_run::FullRun;
using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::RunTool;

FullRun RunFullCalibration(uint64_t sensorSeed, const std::vector<std::string>& faults = {}) {
  BenchProcess bench(full_run::BenchArgs(sensorSeed, faults));
  EXPECT_TRUE(bench.Ready());
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));
  FullRun result;
  // No keys: standard input ends at once, so the set-up reads Escape and so does the last key.
  result.tool = RunTool(installation, bench, "", 1100);
  result.run = transcript::Parse(result.tool.out);
  result.state = full_run::StateAfterTheRun(bench);
  return result;
}

TEST(FullRunTest, CalibratesAllFourModesAndSavesTheirPages) {
  FullRun full = RunFullCalibration(0);
  ExpectFourCalibratedModes(full, 0);
}

// Other cameras: different tap mismatches, black levels and light responses.
class SeededCameraTest : public testing::TestWithParam<uint64_t> {};

TEST_P(SeededCameraTest, CalibratesAllFourModes) {
  FullRun full = RunFullCalibration(GetParam());
  ExpectFourCalibratedModes(full, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededCameraTest, testing::Values(3, 7, 11));

TEST(FullRunTest, BlackLevelThatNeverRisesFailsTheFirstModeAndEndsTheRun) {
  FullRun full = RunFullCalibration(0, {"black-stuck"});
  // Without a display the message box's text goes to standard error.
  EXPECT_EQ(full.tool.err, "Calibration failed: excess Vref\n");
  full_run::ExpectExcessVrefEndsTheRun(full);
}

}  // namespace
