#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_parts.h"
#include "fakes/fake_kestan.h"
#include "fakes/virtual_clock.h"
#include "run/tapcal_run.h"

namespace {

using Events = std::vector<std::string>;

const Events kStartUp = {"BuildDisplayTables", "CreateWindowReadyEvent",
                         "OpenServers",        "LoadDisplayResources",
                         "Diffuser",           "Home",
                         "StatusRead"};
const char kSetupPrompt[] =
    "Setup cavity with no features across center vertical strip.\n"
    "Use '/' and '*' keys to change light. Press 'ESC' to start.\n";
const char kClosing[] = "Application Terminating, press any key...\n";

std::string CalibratingLine(int mode) {
  return std::string("Calibrating 640 x ") + (mode % 2 ? "240" : "480") + " @ " +
         (mode < 2 ? "8" : "10") + "-bits.\n";
}

// One mode's events from its session to its window's end, with what runs between grab and
// calibration given by `middle`.
Events Mode(int mode, const Events& middle, int level = 32768) {
  Events events = {"OpenSession " + std::to_string(mode), "StartWindowThread", "StartGrab",
                   "Light " + std::to_string(level), "StatusRead"};
  events.insert(events.end(), middle.begin(), middle.end());
  Events end = {"CalibrateMode " + std::to_string(mode), "StopGrab", "CloseSession",
                "EndWindowThread"};
  events.insert(events.end(), end.begin(), end.end());
  return events;
}

Events Join(std::initializer_list<Events> parts) {
  Events all;
  for (auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

class ModeLoopTest : public testing::Test {
 protected:
  void SetUp() override { setenv("TAPCAL_REGISTRY", "/nonexistent/registry.reg", 1); }
  void TearDown() override { unsetenv("TAPCAL_REGISTRY"); }

  std::string Run(const fake_parts::Script& script) {
    fake_parts::Reset(script);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunTapcal(), 0);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(ModeLoopTest, FullRunWithoutInstallationRecordCalibratesFourModes) {
  std::string out = Run({});
  EXPECT_EQ(fake_parts::Events(), Join({kStartUp,
                                        Mode(0, {"Key ESC"}),
                                        Mode(1, {}),
                                        Mode(2, {}),
                                        Mode(3, {}),
                                        {"ReleaseServers", "Key ESC"}}));
  EXPECT_EQ(out, "Starting diffuser disk\nHoming ND wheel\n" + CalibratingLine(0) + kSetupPrompt +
                     CalibratingLine(1) + CalibratingLine(2) + CalibratingLine(3) + kClosing);
}

TEST_F(ModeLoopTest, LightKeysDriveTheLevelThatLaterModesKeep) {
  fake_parts::Script script;
  // '/' from 32768; digits; 'x' writes nothing yet waits; '*' clamps at the top; '/' stops at 0.
  script.keys = {'/', fake_parts::kNoKeyYet, '0', '*', 'x', '5', '1', '1', '/'};
  for (int i = 0; i < 131; ++i)
    script.keys.push_back('/');  // 6553 - 132 * 50 < 0
  std::string out = Run(script);

  Events setup = {"Key /",       "Light 32718", "StatusRead", "NoKey",       "Key 0",
                  "Light 65535", "StatusRead",  "Key *",      "Light 65535", "StatusRead",
                  "Key x",       "StatusRead",  "Key 5",      "Light 32768", "StatusRead",
                  "Key 1",       "Light 6553",  "StatusRead", "Key 1",       "Light 6553",
                  "StatusRead"};
  int level = 6553;
  for (int i = 0; i < 132; ++i) {
    level = level >= 50 ? level - 50 : 0;
    Events step = {"Key /", "Light " + std::to_string(level), "StatusRead"};
    setup.insert(setup.end(), step.begin(), step.end());
  }
  setup.push_back("Key ESC");
  ASSERT_EQ(level, 0);
  EXPECT_EQ(fake_parts::Events(), Join({kStartUp,
                                        Mode(0, setup),
                                        Mode(1, {}, 0),
                                        Mode(2, {}, 0),
                                        Mode(3, {}, 0),
                                        {"ReleaseServers", "Key ESC"}}));
  // The 10 ms look while no key was waiting.
  auto sleeps = fake::Sleeps();
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), 10u), sleeps.end());
  EXPECT_NE(out.find(kSetupPrompt), std::string::npos);
}

// Light writes of the set-up keys and of every mode's start that fail, and idle waits whose
// reads fail: nothing is printed, and the run goes on exactly as with a healthy instrument.
TEST_F(ModeLoopTest, FailedLightWritesAndStatusReadsChangeNothing) {
  fake_parts::Script script;
  script.keys = {'5', '*', 'x'};
  std::string healthyOut = Run(script);
  const Events healthy = fake_parts::Events();

  // The start-up's two writes and homing read go through; everything after them fails.
  for (int use = 3; use < 40; ++use)
    script.canFailures.emplace_back("CAN_SDOWrite", use, use % 2 ? 0 : -1);
  for (int use = 2; use < 40; ++use)
    script.canFailures.emplace_back("CAN_SDORead", use, 0);
  std::string out = Run(script);
  EXPECT_EQ(fake_parts::Events(), healthy);
  EXPECT_EQ(out, healthyOut);

  // Six light writes (four modes, two keys) and a status read after each, plus one after 'x'.
  int failedWrites = 0, failedReads = 0;
  for (const fake::CanCall& call : fake::CanCalls()) {
    failedWrites += call.function == "CAN_SDOWrite" && call.result != 1;
    failedReads += call.function == "CAN_SDORead" && call.result != 1;
  }
  EXPECT_EQ(failedWrites, 6);
  EXPECT_EQ(failedReads, 7);
  EXPECT_EQ(fake::ObjectValue({64, 0x2028, 0}), std::vector<uint8_t>{}) << "no write arrived";
}

TEST_F(ModeLoopTest, DigitLevelsAreTheFixedConstants) {
  const std::pair<char, int> digits[] = {{'1', 6553},  {'2', 13107}, {'3', 19660}, {'4', 26214},
                                         {'5', 32768}, {'6', 39321}, {'7', 45875}, {'8', 52428},
                                         {'9', 58982}, {'0', 65535}};
  for (auto [key, level] : digits) {
    SCOPED_TRACE(key);
    fake_parts::Script script;
    script.keys = {key};
    Run(script);
    auto events = fake_parts::Events();
    EXPECT_EQ(events[kStartUp.size() + 6], "Light " + std::to_string(level));
    EXPECT_EQ(events[kStartUp.size() + 5], std::string("Key ") + key);
  }
}

TEST_F(ModeLoopTest, EarlyEnds) {
  struct EarlyEnd {
    const char* name;
    fake_parts::Script script;
    Events events;
    std::string out;
  };
  fake_parts::Script openServersFails, sessionFailsInMode2, grabFails, calibrationFailsInMode1;
  openServersFails.openServersStatus = 0xC0000001;
  sessionFailsInMode2.openSessionFailsInMode = 2;
  grabFails.startGrabFails = true;
  calibrationFailsInMode1.calibrationFailsInMode = 1;
  const std::string startUpText = "Starting diffuser disk\nHoming ND wheel\n";

  const EarlyEnd cases[] = {
      {"OpenServers fails: straight to the closing sequence",
       openServersFails,
       {"BuildDisplayTables", "CreateWindowReadyEvent", "OpenServers", "ReleaseServers", "Key ESC"},
       kClosing},
      {"OpenSession fails in mode 2: return at once, nothing released", sessionFailsInMode2,
       Join({kStartUp, Mode(0, {"Key ESC"}), Mode(1, {}), {"OpenSession 2"}}),
       startUpText + CalibratingLine(0) + kSetupPrompt + CalibratingLine(1)},
      {"StartGrab fails: closing sequence without closing the mode", grabFails,
       Join({kStartUp,
             {"OpenSession 0", "StartWindowThread", "StartGrab", "ReleaseServers", "Key ESC"}}),
       startUpText + kClosing},
      {"CalibrateMode fails in mode 1: mode closed, no further mode", calibrationFailsInMode1,
       Join({kStartUp, Mode(0, {"Key ESC"}), Mode(1, {}), {"ReleaseServers", "Key ESC"}}),
       startUpText + CalibratingLine(0) + kSetupPrompt + CalibratingLine(1) + kClosing},
  };
  for (const EarlyEnd& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = Run(c.script);
    EXPECT_EQ(fake_parts::Events(), c.events);
    EXPECT_EQ(out, c.out);
  }
}

}  // namespace
