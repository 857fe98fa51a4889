#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "calibration/calibration.h"
#include "fakes/fake_kestan.h"
#include "scene.h"
#include "sensor_model.h"

namespace {

using Lines = std::vector<std::string>;

Lines SplitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

int Count(const Lines& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind(prefix, 0) == 0;
  }));
}

struct Result {
  int result;
  std::string out;
  std::string err;
  Lines commands;
  std::vector<int> lights;
};

// `before` runs once the scene is set up, right before the calibration.
Result Calibrate(int mode, scene::TapValues values, const std::function<void()>& before = {}) {
  scene::Start(mode, std::move(values));
  if (before) before();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Result r;
  r.result = CalibrateMode(mode);
  std::fflush(stdout);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  r.commands = scene::CameraCommands();
  r.lights = scene::LightWrites();
  scene::Stop();
  return r;
}

// A dark tap A reading `dark` at every reference setting; lit, both taps follow `lit` of the level.
scene::TapValues Scene(int dark, std::function<int(int level)> lit) {
  return [=](const sim::Exposure& e) {
    int value = e.light == 0 ? dark : lit(static_cast<int>(e.light));
    return std::make_pair(value, value);
  };
}

TEST(CalibrationTest, ReferenceVoltageSearch) {
  // Setting 0 already reads above 3.0: found at once.
  Result found = Calibrate(0, Scene(4, [](int) { return 237; }));
  EXPECT_EQ(found.result, 1);
  EXPECT_EQ(found.commands.front(), ":VRA=000\r");
  EXPECT_EQ(Count(found.commands, ":VRA="), 1);
  EXPECT_EQ(SplitLines(found.out)[0], "Average = 4.0000");
  EXPECT_EQ(SplitLines(found.out)[1], "Setting Vref A to 0");

  // The dark reading rises one count per setting: 3.0 itself is not enough, 4 at setting 3.
  Result rising = Calibrate(0, [](const sim::Exposure& e) {
    int value = e.light == 0 ? e.vra + 1 : 237;
    return std::make_pair(value, value);
  });
  EXPECT_EQ(Count(rising.commands, ":VRA="), 4);
  EXPECT_NE(rising.out.find("Average = 3.0000\nAverage = 4.0000\nSetting Vref A to 3\n"),
            std::string::npos);

  // Twenty dark means of 3.0: failure, the message box, nothing saved, the light left off.
  Result failed = Calibrate(0, Scene(3, [](int) { return 237; }));
  EXPECT_EQ(failed.result, 0);
  EXPECT_EQ(Count(failed.commands, ":VRA="), 20);
  EXPECT_EQ(failed.commands.back(), ":VRA=013\r");
  EXPECT_EQ(Count(SplitLines(failed.out), "Average = 3.0000"), 20);
  EXPECT_EQ(failed.err, "Calibration failed: excess Vref\n");
  EXPECT_EQ(failed.lights, std::vector<int>{0});
  EXPECT_EQ(Count(failed.commands, ":WRPG"), 0);
}

TEST(CalibrationTest, PhaseOneWritesBeforeAnyCommand) {
  Result r = Calibrate(2, Scene(4 * 4, [](int) { return 237 * 4; }));
  auto writes = fake::CanCallsOf("CAN_SDOWrite");
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(std::tie(writes[0].node, writes[0].index, writes[0].data),
            std::make_tuple(64, 0x2028, std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(std::tie(writes[1].node, writes[1].index, writes[1].data),
            std::make_tuple(127, 0x2030, std::vector<uint8_t>{0x00, 0x00, 0x46, 0x43}));
  EXPECT_EQ(std::tie(writes[2].node, writes[2].index, writes[2].subindex, writes[2].data),
            std::make_tuple(127, 0x2010, 2, std::vector<uint8_t>{0x0E, 0x02}));
  EXPECT_EQ(r.commands.back(), ":WRPG3\r");
}

TEST(CalibrationTest, LightSearches) {
  struct Case {
    const char* name;
    std::function<int(int level)> lit;  // the reading at a level; at level 0 it is the dark 5
    std::vector<int> lightsAfterZero;   // the writes after phase 1's and the first probe's 0
    bool coarseComplete;
    std::string fineLine;  // "" when phase 4 prints nothing
  };
  const Case cases[] = {
      {"coarse mean of exactly 235.0",
       [](int l) { return l == 32768 ? 235 : 100; },
       {32768, 32768},
       true,
       "Setting gains at average intensity of 235.000000"},
      {"coarse mean of exactly 240.0, then the fine step of 327",
       [](int l) { return l >= 32000 ? 240 : 100; },
       {32768, 32768, 32441, 32114, 31787},
       true,
       "Setting gains at average intensity of 100.000000"},
      {"start level below 200: fine step 1",
       [](int l) { return l >= 200   ? 250
                          : l == 128 ? 240
                                     : 239; },
       {32768, 16384, 8192, 4096, 2048, 1024, 512, 256, 128, 128, 127},
       true,
       "Setting gains at average intensity of 239.000000"},
      {"fine search never below 240 keeps the last positive level",
       [](int) { return 250; },
       {32768, 16384, 8192, 4096, 2048, 1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1, 1},
       false,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result r = Calibrate(0, Scene(5, c.lit));
    EXPECT_EQ(r.result, 1);
    std::vector<int> expected{0, 0};
    expected.insert(expected.end(), c.lightsAfterZero.begin(), c.lightsAfterZero.end());
    EXPECT_EQ(r.lights, expected);
    Lines lines = SplitLines(r.out);
    EXPECT_EQ(Count(lines, "Coarse set complete. Setting fine."), c.coarseComplete ? 1 : 0);
    EXPECT_EQ(Count(lines, "Setting gains at average intensity of "), c.fineLine.empty() ? 0 : 1);
    if (!c.fineLine.empty()) {
      EXPECT_EQ(Count(lines, c.fineLine), 1);
    }
  }
}

TEST(CalibrationTest, StartLevelZeroSkipsTheFineSearch) {
  // Lit or not, the centre reads 236: the first coarse probe (level 0) is inside the window.
  Result r = Calibrate(0, [](const sim::Exposure&) { return std::make_pair(236, 236); });
  EXPECT_EQ(r.lights, (std::vector<int>{0, 0}));
  EXPECT_EQ(Count(SplitLines(r.out), "Coarse set complete. Setting fine."), 1);
  EXPECT_EQ(Count(SplitLines(r.out), "Setting gains at average intensity of "), 0);
  EXPECT_EQ(r.result, 1);
}

TEST(CalibrationTest, SeventeenProbesWithoutMeetingTheWindow) {
  Result r = Calibrate(0, Scene(5, [](int) { return 100; }));
  // Phase 1's 0, then 17 probes climbing to 65535, then the fine search's first probe.
  ASSERT_EQ(r.lights.size(), 1u + 17u + 1u);
  EXPECT_EQ(r.lights[17], 65535);
  EXPECT_EQ(r.lights[18], 65535);
  EXPECT_EQ(Count(SplitLines(r.out), "Coarse set complete"), 0);
}

// Instrument writes and idle-wait reads that fail are not reported and change nothing in the
// flow: the procedure goes on with what it measures.
TEST(CalibrationTest, FailedInstrumentAccessesChangeNothingInTheFlow) {
  const auto values = Scene(5, [](int level) {
    return level >= 40000 ? 250 : level >= 32768 ? 237 : 100;
  });
  const Result healthy = Calibrate(0, values);
  ASSERT_EQ(healthy.lights, (std::vector<int>{0, 0, 32768, 32768}));

  // Phase 1's writes (light off, then the real and the word) and idle-wait reads: the lamp is
  // off already and the scene ignores the rest, so the run is the healthy one to the letter.
  const std::tuple<const char*, int, int> unnoticed[] = {
      {"CAN_SDOWrite", 1, 0}, {"CAN_SDOWrite", 2, -1}, {"CAN_SDOWrite", 3, 0},
      {"CAN_SDORead", 1, 0},  {"CAN_SDORead", 2, -1},  {"CAN_SDORead", 4, 0}};
  for (const auto& [function, use, result] : unnoticed) {
    SCOPED_TRACE(std::string(function) + " #" + std::to_string(use));
    Result r = Calibrate(0, values, [&] { fake::FailCall(function, use, result); });
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, healthy.out);
    EXPECT_EQ(r.commands, healthy.commands);
    EXPECT_EQ(r.lights, healthy.lights);
  }

  // The coarse probe at 32768 lost: the centre stays dark, so the search climbs on from what it
  // measured, and saves the page as usual.
  Result lost = Calibrate(0, values, [] { fake::FailCall("CAN_SDOWrite", 5, 0); });
  EXPECT_EQ(lost.result, 1);
  EXPECT_EQ(lost.lights, (std::vector<int>{0, 0, 32768, 49152, 40960, 36864, 36864}));
  EXPECT_EQ(lost.err, "");
  Lines lines = SplitLines(lost.out);
  EXPECT_EQ(Count(lines, "Average = 5.0000"), 3);  // the reference and two dark probes
  EXPECT_EQ(Count(lines, "Coarse set complete. Setting fine."), 1);
  for (const std::string& line : lines)
    EXPECT_TRUE(line.rfind("Average = ", 0) == 0 || line.rfind("Setting ", 0) == 0 ||
                line.rfind("Coarse set", 0) == 0 || line.rfind("Stabilizing CCD.", 0) == 0 ||
                line.rfind("Iteration ", 0) == 0)
        << line;
  EXPECT_EQ(lost.commands.back(), ":WRPG1\r");
}

// Frames come at the end of each 10 ms sleep: after a light write and its one-second idle wait,
// the centre is measured at 1.01..1.10 s and each stabilisation pass k over k+0.11..k+1.10 s.
TEST(CalibrationTest, StabilisationWaitsForTwoReadingsToAgree) {
  Result r = Calibrate(0, [](const sim::Exposure& e) {
    if (e.light == 0) return std::make_pair(5, 5);
    double t = e.secondsSinceLightChange;
    int value = t < 1.105 ? 239 : t < 2.105 ? 237 : 235;
    return std::make_pair(value, value);
  });
  // The message's own full stop, then one dot for each of the two passes that moved.
  EXPECT_NE(r.out.find("Stabilizing CCD... Done.\n"), std::string::npos) << r.out;
}

TEST(CalibrationTest, StabilisationGivesUpAfterTenPasses) {
  Result r = Calibrate(0, [](const sim::Exposure& e) {
    if (e.light == 0) return std::make_pair(5, 5);
    double t = e.secondsSinceLightChange;
    int value = t < 1.105 ? 237 : static_cast<int>(t - 0.105) % 2 ? 238 : 230;
    return std::make_pair(value, value);
  });
  EXPECT_NE(r.out.find("Stabilizing CCD." + std::string(10, '.') + " Done.\n"), std::string::npos);
}

TEST(CalibrationTest, TapGainBalance) {
  struct Case {
    const char* name;
    scene::TapValues values;
    Lines gainCommands;  // the commands between the last VRA and the page
  };
  auto lit = [](std::function<std::pair<int, int>(const sim::Exposure&)> taps) {
    return [taps](const sim::Exposure& e) {
      return e.light == 0       ? std::make_pair(5, 5)
             : e.light == 32768 ? taps(e)
                                : std::make_pair(100, 100);
    };
  };
  const Case cases[] = {
      {"equal means raise tap B first",
       lit([](const sim::Exposure&) { return std::make_pair(237, 237); }),
       {":MGB=043\r"}},
      {"a first raise that widens the gap goes back to 0x042",
       lit([](const sim::Exposure& e) { return std::make_pair(238, 236 - (e.mgb - 0x42)); }),
       {":MGB=043\r", ":MGB=042\r"}},
      {"tap A catching up exactly ends with the gain last sent",
       lit([](const sim::Exposure& e) { return std::make_pair(235 + (e.mga - 0x42), 238); }),
       {":MGA=043\r", ":MGA=044\r", ":MGA=045\r"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result r = Calibrate(1, c.values);
    auto firstGain = std::find_if(r.commands.begin(), r.commands.end(),
                                  [](const std::string& s) { return s.rfind(":MG", 0) == 0; });
    Lines gains(firstGain, r.commands.end() - 1);
    EXPECT_EQ(gains, c.gainCommands);
    EXPECT_EQ(r.commands.back(), ":WRPG2\r");
    EXPECT_EQ(Count(SplitLines(r.out), "Iteration "),
              static_cast<int>(c.gainCommands.size()) +
                  (c.gainCommands.size() == 2 && c.gainCommands[1] == ":MGB=042\r" ? 0 : 1));
  }
}

TEST(CalibrationTest, GainStopsAtTheTopOfTheCommandRange) {
  // A camera that ignores gain commands: tap A never catches up.
  Result r = Calibrate(3, [](const sim::Exposure& e) {
    if (e.light == 0) return std::make_pair(5 * 4, 5 * 4);
    return e.light == 32768 ? std::make_pair(236 * 4, 238 * 4) : std::make_pair(400, 400);
  });
  ASSERT_GE(r.commands.size(), 2u);
  EXPECT_EQ(r.commands[r.commands.size() - 2], ":MGA=FFF\r");
  EXPECT_EQ(r.commands.back(), ":WRPG4\r");
  EXPECT_EQ(Count(r.commands, ":MGA="), 0xFFF - 0x43 + 1);  // 0x043 .. 0xFFF
}

// Frames that stop during the balance: not one over a whole pass, and the balance ends there as
// at the ceiling, instead of measuring the same picture after every raise up to 0xFFF.
TEST(CalibrationTest, BalanceEndsWithThePassThatSawNoFrame) {
  Result r = Calibrate(
      3,
      [](const sim::Exposure& e) {
        if (e.light == 0) return std::make_pair(5 * 4, 5 * 4);
        return e.light == 32768 ? std::make_pair(236 * 4, 238 * 4) : std::make_pair(400, 400);
      },
      [] { scene::StopFramesAtCommand(":MGA=045\r"); });
  auto firstGain = std::find_if(r.commands.begin(), r.commands.end(),
                                [](const std::string& s) { return s.rfind(":MG", 0) == 0; });
  EXPECT_EQ(Lines(firstGain, r.commands.end()),
            (Lines{":MGA=043\r", ":MGA=044\r", ":MGA=045\r", ":WRPG4\r"}));
  EXPECT_EQ(Count(SplitLines(r.out), "Iteration "), 4);
  EXPECT_EQ(r.result, 1);
}

TEST(CalibrationTest, IterationLineFormat) {
  Result r = Calibrate(0, [](const sim::Exposure& e) {
    if (e.light == 0) return std::make_pair(5, 5);
    return std::make_pair(237, 237);
  });
  EXPECT_NE(r.out.find("Iteration 0: A tap avg intensity =    237.000 B tap avg intensity =    "
                       "237.000\n"),
            std::string::npos);
}

// Many cameras: the procedure against the sensor model, on the virtual clock.
TEST(CalibrationTest, ManySeededCamerasCalibrateInEveryMode) {
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    sim::SensorModel model(sim::DrawSensorParameters(seed), seed);
    for (int mode = 0; mode < 4; ++mode) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " mode " + std::to_string(mode));
      scene::Start(mode, &model);
      testing::internal::CaptureStdout();
      int result = CalibrateMode(mode);
      std::fflush(stdout);
      Lines lines = SplitLines(testing::internal::GetCapturedStdout());
      sim::Exposure end = scene::Current();
      Lines commands = scene::CameraCommands();
      scene::Stop();

      EXPECT_EQ(result, 1);
      EXPECT_EQ(commands.back(), ":WRPG" + std::to_string(mode + 1) + "\r");
      // The light search ended below 240, near the last reading it printed.
      std::string lastAverage;
      for (auto& line : lines)
        if (line.rfind("Average = ", 0) == 0) lastAverage = line.substr(10);
      sim::Exposure settled = end;
      settled.secondsSinceLightChange = 1e9;
      double centre = model.ExpectedReading(0, settled);
      EXPECT_LT(centre, 240.0);
      EXPECT_NEAR(centre, std::stod(lastAverage), 1.0);
      // The taps end within what one gain unit can correct.
      double a = model.ExpectedReading(0, settled), b = model.ExpectedReading(1, settled);
      double oneUnit = model.Parameters().gainPerUnit * std::max(a, b);
      EXPECT_LE(std::fabs(a - b), oneUnit + 0.2);  // and a little noise
    }
  }
}

// The bench's quick camera: every mode through in the fewest steps, as the soak runs rely on.
TEST(CalibrationTest, QuickCameraTakesTheFewestSteps) {
  sim::SensorModel model(sim::QuickSensorParameters());
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    scene::Start(mode, &model);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CalibrateMode(mode), 1);
    std::fflush(stdout);
    Lines lines = SplitLines(testing::internal::GetCapturedStdout());
    std::vector<int> lights = scene::LightWrites();
    scene::Stop();

    EXPECT_EQ(Count(lines, "Setting Vref A to 0"), 1);
    // Off for the preparation, then the search: dark, half light (a quarter after one probe too
    // bright, binned); the fine search takes the last level once.
    const std::vector<int> binned{0, 0, 32768, 16384, 16384}, full{0, 0, 32768, 32768};
    EXPECT_EQ(lights, mode % 2 ? binned : full);
    EXPECT_EQ(Count(lines, "Stabilizing CCD. Done."), 1);  // no dots: settled at once
    EXPECT_EQ(Count(lines, "Iteration "), 2);
  }
}

}  // namespace
