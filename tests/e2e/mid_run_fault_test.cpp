// Faults that strike in the middle of a run: the real tool against the real bench, the fault
// switched on (or the bench killed) once the tool's console shows the run has reached the chosen
// point. Each run must end by itself within what its remaining waits allow, exit with 0 without a
// signal or a sanitizer's report, and say on its console what the tool says for that failure.
#include <signal.h>

#include <gtest/gtest.h>

#include <functional>

#include "full_run_checks.h"
#include "support/installation.h"

namespace {

using nlohmann::json;
using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::RunningProgram;
using testing_support::ToolRun;

// ---- How long what is left of a run may take ----
//
// Every wait the tool makes, at its longest, in seconds: its own sleeps and bounds, and the
// time-outs of the devices it waits on.
constexpr double kSdoAnswer = 0.5;       // the bridge library's wait for an SDO answer
constexpr double kIdleSleep = 1.0;       // before each status read of the idle wait ...
constexpr int kIdleReads = 10;           // ... of which there are at most ten
constexpr double kSerialWait = 1.0;      // each wait on a serial write or read
constexpr double kReplyPause = 0.02;     // between a command's write and its reply
constexpr int kSendings = 4;             // of one camera command
constexpr int kPresetCommands = 8;       // of a mode's preset
constexpr double kFrameSleep = 0.01;     // before each frame a measurement takes
constexpr double kAfterReference = 0.1;  // after each reference command
constexpr double kAfterGain = 0.5;       // after each gain command of the balance
constexpr double kWindowShown = 10.0;    // for the live view's window to show
constexpr double kTransferEnd = 2.0;     // for the transfer to end after its stop
constexpr double kWindowEnd = 1.0;       // for the window thread to end

struct Devices {
  bool bridgeAnswers = true;  // else every SDO request runs into its time-out
  bool cameraLinked = true;   // else every command fails at its first byte's write
};

double IdleWait(const Devices& devices) {
  // Without answers the first read fails and leaves the status reading idle.
  return devices.bridgeAnswers ? kIdleReads * (kIdleSleep + kSdoAnswer) : kIdleSleep + kSdoAnswer;
}

double Command(const Devices& devices) {
  // Each sending costs its pause and at most one read time-out; a write that fails on the first
  // sending ends the command.
  return devices.cameraLinked ? kSendings * (kReplyPause + kSerialWait) : kSerialWait;
}

// The longest a whole mode can take with the passes its console shows (each probe, stabilisation
// pass and balance pass prints a line or a dot): from its session's opening to its window's end.
double ModeBound(const transcript::ModeRun& mode, const Devices& devices) {
  const double idle = IdleWait(devices), command = Command(devices);
  const double centre = 10 * kFrameSleep, taps = 100 * kFrameSleep;
  const int settings = mode.referenceSetting >= 0 ? mode.referenceSetting + 1 : 20;
  const int probes = static_cast<int>(mode.averages.size()) - settings;
  const int passes = static_cast<int>(mode.iterations.size());
  double bound = kPresetCommands * command + kWindowShown;
  bound += kSdoAnswer + idle;                                // the mode's light
  bound += kSdoAnswer + idle + 2 * kSdoAnswer;               // light off, two instrument settings
  bound += settings * (command + kAfterReference + centre);  // reference search
  bound += probes * (kSdoAnswer + idle + centre);            // light searches
  if (mode.stabilisationDots >= 0) bound += (mode.stabilisationDots + 1) * taps;
  if (passes > 0) bound += passes * taps + (passes - 1) * (command + kAfterGain) + command;
  bound += command;  // the page
  return bound + kTransferEnd + kWindowEnd;
}

// What is left of a run from the start of `fromMode` on, with room for sleeps that overshoot on a
// busy machine and for the work between the waits (grabber calls, process start and end).
double RemainingBound(const transcript::Run& run, size_t fromMode, const Devices& devices) {
  double bound = 0;
  for (size_t m = fromMode; m < run.modes.size(); ++m)
    bound += ModeBound(run.modes[m], devices);
  return 1.5 * bound + 10.0;
}

// A mode whose reference search failed after all twenty settings.
transcript::ModeRun FailedReferenceSearch() {
  transcript::ModeRun mode;
  mode.averages.assign(20, 0.0);
  return mode;
}

// What is left of a run whose first mode fails its reference search: that mode (its opening, long
// past, included), then the closing sequence.
double GuardFor(const Devices& devices) {
  transcript::Run left;
  left.modes.push_back(FailedReferenceSearch());
  return RemainingBound(left, 0, devices);
}

// ---- Runs ----

struct FaultRun {
  ToolRun tool;
  transcript::Run run;
  double injectedAt = 0;  // seconds into the run
  double left = 0;        // seconds from the fault to the tool's end
};

// Runs the tool against `bench` with no keys (the set-up and the last key read Escape), waits for
// `marks` on its console one after another, then `inject`s the fault and lets the run end,
// killing it `guardSeconds` after the fault if it does not.
FaultRun RunWithFault(BenchProcess& bench, const std::vector<std::string>& marks,
                      const std::function<void()>& inject, double guardSeconds) {
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));
  RunningProgram tool(testing_support::BuildPath("src/tapcal"), {}, installation.Environment(bench),
                      installation.WorkDir());
  FaultRun result;
  EXPECT_TRUE(tool.Started());
  tool.CloseInput();
  for (const std::string& mark : marks) {
    bool seen = tool.WaitForOutput(mark, 300);
    EXPECT_TRUE(seen) << mark << "\n" << tool.Output();
    if (!seen) return result;
  }
  result.injectedAt = tool.Elapsed();
  inject();
  result.tool = tool.Finish(guardSeconds);
  result.left = result.tool.seconds - result.injectedAt;
  result.run = transcript::Parse(result.tool.out);
  return result;
}

// Ended by itself, cleanly: exit code 0, no signal, nothing but `err` on standard error (where a
// sanitizer would report).
void ExpectCleanEnd(const FaultRun& fault, const std::string& err) {
  EXPECT_FALSE(fault.tool.timedOut);
  EXPECT_EQ(fault.tool.signal, 0);
  EXPECT_EQ(fault.tool.exitCode, 0);
  EXPECT_EQ(fault.tool.err, err);
  EXPECT_TRUE(fault.run.unexpected.empty()) << testing::PrintToString(fault.run.unexpected);
}

// The first mode ran into the fault before its reference search found a setting: all twenty
// settings read dark, the calibration fails with its message box (on standard error without a
// display), the mode is closed and the closing sequence ends the run.
void ExpectTheFirstModeFailsItsReferenceSearch(const FaultRun& fault, const Devices& devices) {
  ExpectCleanEnd(fault, "Calibration failed: excess Vref\n");
  ASSERT_EQ(fault.run.modes.size(), 1u) << fault.tool.out;
  const transcript::ModeRun& mode = fault.run.modes[0];
  EXPECT_EQ(mode.calibratingLine, "Calibrating 640 x 480 @ 8-bits.");
  EXPECT_TRUE(mode.setupPrompts);
  EXPECT_EQ(mode.referenceSetting, -1);
  ASSERT_EQ(mode.averages.size(), 20u);
  for (double average : mode.averages)
    EXPECT_LE(average, 3.0);
  EXPECT_TRUE(fault.run.closingLine);

  const double bound = GuardFor(devices);
  EXPECT_LE(fault.left, bound);
  testing::Test::RecordProperty("seconds_after_fault", std::to_string(fault.left));
  testing::Test::RecordProperty("bound", std::to_string(bound));
}

// The camera's cable pulled once mode 0 grabs, before the calibration's first command: the port
// fails every command at its first byte, unnoticed, so the camera keeps the preset's reference
// setting 0 and the dark centre never rises.
TEST(MidRunFault, CameraUnpluggedInTheFirstModeLeavesItsReferenceSearchInTheDark) {
  BenchProcess bench(full_run::BenchArgs(0));
  ASSERT_TRUE(bench.Ready());
  const Devices devices{true, false};
  FaultRun fault = RunWithFault(
      bench, {"Calibrating 640 x 480 @ 8-bits.\n"},
      [&] { EXPECT_EQ(bench.Control("fault unplugged"), "ok"); }, GuardFor(devices));
  ExpectTheFirstModeFailsItsReferenceSearch(fault, devices);

  // The camera got the preset and nothing after it.
  json state = full_run::StateAfterTheRun(bench);
  const json& received = state["camera"]["received"];
  ASSERT_EQ(received.size(), 8u) << received;
  EXPECT_EQ(received.back()["command"], ":VRB=000\r");
  EXPECT_EQ(state["camera"]["registers"]["VRA"], 0);
  EXPECT_EQ(state["frame_source"]["clients"], 0);
}

// The frame stream stopping once the reference search has begun: the calibration measures the
// last dark picture again and again while the camera takes every setting.
TEST(MidRunFault, FrameStreamStoppingDuringTheReferenceSearchFreezesTheDarkPicture) {
  BenchProcess bench(full_run::BenchArgs(0));
  ASSERT_TRUE(bench.Ready());
  const Devices devices;
  FaultRun fault = RunWithFault(
      bench, {"Calibrating 640 x 480 @ 8-bits.\n", "Average = "},
      [&] { EXPECT_EQ(bench.Control("fault frames-stop"), "ok"); }, GuardFor(devices));
  ExpectTheFirstModeFailsItsReferenceSearch(fault, devices);

  json state = full_run::StateAfterTheRun(bench);
  EXPECT_EQ(state["frame_source"]["frames_stopped"], true);
  EXPECT_EQ(state["camera"]["registers"]["VRA"], 0x13);  // the twentieth setting arrived
  EXPECT_EQ(state["frame_source"]["clients"], 0);
}

// The frame stream stopping once mode 0's balance has begun: a pass that sees no frame ends the
// balance, as at its ceiling, and the page is saved; mode 1 then gets no picture at all, and its
// reference search fails in the dark.
TEST(MidRunFault, FrameStreamStoppingDuringTheBalanceEndsItAndLeavesTheNextModeDark) {
  BenchProcess bench(full_run::BenchArgs(0));
  ASSERT_TRUE(bench.Ready());
  const Devices devices;
  FaultRun fault = RunWithFault(
      bench, {"Iteration 0: "}, [&] { EXPECT_EQ(bench.Control("fault frames-stop"), "ok"); }, 900);
  ExpectCleanEnd(fault, "Calibration failed: excess Vref\n");
  ASSERT_EQ(fault.run.modes.size(), 2u) << fault.tool.out;
  // Frames may still arrive in the first pass; the next one sees none.
  EXPECT_LE(fault.run.modes[0].iterations.size(), 3u);
  const transcript::ModeRun& dark = fault.run.modes[1];
  EXPECT_EQ(dark.referenceSetting, -1);
  ASSERT_EQ(dark.averages.size(), 20u);
  for (double average : dark.averages)
    EXPECT_EQ(average, 0.0);
  EXPECT_TRUE(fault.run.closingLine);

  const double bound = RemainingBound(fault.run, 0, devices);
  EXPECT_LE(fault.left, bound);
  testing::Test::RecordProperty("seconds_after_fault", std::to_string(fault.left));
  testing::Test::RecordProperty("bound", std::to_string(bound));

  json state = full_run::StateAfterTheRun(bench);
  EXPECT_TRUE(state["camera"]["pages"]["1"].is_object());
  EXPECT_TRUE(state["camera"]["pages"]["2"].is_null());
}

// The whole bench killed once the reference search has begun: the camera's port, the bridge and
// the frame stream all gone at once, and nobody to remove the camera's link.
TEST(MidRunFault, SimulatorKilledDuringTheReferenceSearchEndsTheRunAsEveryDeviceFails) {
  testing_support::TempDir dir;
  BenchProcess bench([&] {
    auto args = full_run::BenchArgs(0);
    args.insert(args.end(), {"--camera-link", dir.File("COM3")});
    return args;
  }());
  ASSERT_TRUE(bench.Ready());
  const Devices devices{false, false};
  FaultRun fault = RunWithFault(
      bench, {"Calibrating 640 x 480 @ 8-bits.\n", "Average = "},
      [&] { EXPECT_EQ(kill(bench.Pid(), SIGKILL), 0); }, GuardFor(devices));
  ExpectTheFirstModeFailsItsReferenceSearch(fault, devices);
}

// The bridge taken off the network once the last mode's reference search has begun, with the light
// off: every light write and status read of the mode runs into the library's time-out, unnoticed.
// The light search climbs through its seventeen probes in the dark, the fine search stops at its
// first, the mode is calibrated and saved, and the run ends as usual. Injected in the last mode,
// since every mode after the fault would cost the same dark searches again (about 50 s each).
TEST(MidRunFault, BridgeGoneInTheLastModeGoesUnnoticedToTheEnd) {
  BenchProcess bench(full_run::BenchArgs(0));
  ASSERT_TRUE(bench.Ready());
  const Devices devices{false, true};
  double faultAt = 0;
  FaultRun fault = RunWithFault(
      bench, {"Loading .\\x64tm6740b2d_10_x.CCA\n", "Average = "},
      [&] {
        faultAt = bench.State()["uptime_s"];
        EXPECT_EQ(bench.Control("fault gone"), "ok");
      },
      900);
  ExpectCleanEnd(fault, "");
  ASSERT_EQ(fault.run.modes.size(), 4u) << fault.tool.out;
  EXPECT_TRUE(fault.run.closingLine);
  const transcript::ModeRun& last = fault.run.modes[3];
  ASSERT_GE(last.referenceSetting, 0);
  const size_t settings = static_cast<size_t>(last.referenceSetting) + 1;
  ASSERT_EQ(last.averages.size(), settings + 17 + 1);
  for (size_t i = settings; i < last.averages.size(); ++i)
    EXPECT_LT(last.averages[i], 235.0);
  EXPECT_FALSE(last.coarseComplete);
  EXPECT_TRUE(last.fineLine);
  EXPECT_GE(last.iterations.size(), 2u);

  const double bound = RemainingBound(fault.run, 3, devices);
  EXPECT_LE(fault.left, bound);
  testing::Test::RecordProperty("seconds_after_fault", std::to_string(fault.left));
  testing::Test::RecordProperty("bound", std::to_string(bound));

  // No request reached the instrument after the fault, though the tool kept sending them; the
  // light stayed off; the camera saved all four pages.
  json state = full_run::StateAfterTheRun(bench);
  for (const json& entry : state["instrument"]["sdo"])
    EXPECT_LT(entry["time"].get<double>(), faultAt) << entry;
  EXPECT_EQ(state["instrument"]["light_level"], 0);
  for (int page = 1; page <= 4; ++page)
    EXPECT_TRUE(state["camera"]["pages"][std::to_string(page)].is_object()) << page;
}

}  // namespace
