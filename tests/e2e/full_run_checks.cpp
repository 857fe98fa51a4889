#include "full_run_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "sensor_model.h"

namespace full_run {

namespace {

using nlohmann::json;

const char* kCalibrating[] = {"Calibrating 640 x 480 @ 8-bits.", "Calibrating 640 x 240 @ 8-bits.",
                              "Calibrating 640 x 480 @ 10-bits.",
                              "Calibrating 640 x 240 @ 10-bits."};

// Settings the camera held when a page was saved, rebuilt from the commands it received: each
// preset (":SMDA") starts from the preset values.
struct Settings {
  int vra = 0, mga = 0x42, mgb = 0x42;
  double savedAt = 0;  // bench seconds of the page write
};

std::map<int, Settings> PagesFromCommands(const json& received) {
  std::map<int, Settings> pages;
  Settings now;
  for (const json& entry : received) {
    std::string command = entry["command"];
    if (!entry["accepted"].get<bool>()) continue;
    if (command == ":SMDA\r") now = Settings{};
    if (command.size() == 9 && command[4] == '=') {
      int value = std::stoi(command.substr(5, 3), nullptr, 16);
      std::string mnemonic = command.substr(1, 3);
      if (mnemonic == "VRA") now.vra = value;
      if (mnemonic == "MGA") now.mga = value;
      if (mnemonic == "MGB") now.mgb = value;
    }
    if (command.rfind(":WRPG", 0) == 0) {
      now.savedAt = entry["t"];
      pages[command[5] - '0'] = now;
    }
  }
  return pages;
}

// The last LightLevel the instrument took before `time`.
int LightBefore(const json& traffic, double time) {
  int light = -1;
  for (const json& entry : traffic)
    if (entry.value("object", "") == "LightLevel" && entry["op"] == "write" &&
        entry["time"].get<double>() < time)
      light = entry["value"];
  return light;
}

}  // namespace

std::vector<std::string> BenchArgs(uint64_t sensorSeed, const std::vector<std::string>& faults) {
  std::vector<std::string> args{"--homing-ms", "1500",          "--ramp-ms",
                                "300",         "--sensor-seed", std::to_string(sensorSeed)};
  for (const std::string& fault : faults) {
    args.push_back("--fault");
    args.push_back(fault);
  }
  return args;
}

nlohmann::json StateAfterTheRun(const testing_support::BenchProcess& bench) {
  // The tool has ended; give the bench a moment to see its stream connection close.
  json state;
  for (int i = 0; i < 100; ++i) {
    state = bench.State();
    if (state["frame_source"]["clients"] == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return state;
}

void ExpectFourCalibratedModes(const FullRun& full, uint64_t sensorSeed) {
  ExpectFourCalibratedModes(full, sensorSeed == 0 ? sim::DefaultSensorParameters()
                                                  : sim::DrawSensorParameters(sensorSeed));
}

void ExpectFourCalibratedModes(const FullRun& full, const sim::SensorParameters& parameters) {
  const transcript::Run& run = full.run;
  EXPECT_FALSE(full.tool.timedOut);
  EXPECT_EQ(full.tool.exitCode, 0);  // no thread left joinable, nothing aborted
  // Nothing on standard error: the grabber library would tell there what was left held at exit.
  EXPECT_EQ(full.tool.err, "");
  EXPECT_EQ(run.startUp, (std::vector<std::string>{"Starting diffuser disk", "Homing ND wheel"}));
  EXPECT_TRUE(run.unexpected.empty()) << testing::PrintToString(run.unexpected) << full.tool.out;
  EXPECT_TRUE(run.closingLine);
  ASSERT_EQ(run.modes.size(), 4u) << full.tool.out;

  sim::SensorModel model(parameters);
  const json& camera = full.state["camera"];
  const std::map<int, Settings> sent = PagesFromCommands(camera["received"]);

  // The board server was released: the frame stream has no client left. The last mode left the
  // camera binned at 10 bits, and its frames followed.
  const json& source = full.state["frame_source"];
  EXPECT_EQ(source["clients"], 0);
  EXPECT_GT(source["frames_sent"].get<uint64_t>(), 100u);
  EXPECT_EQ(source["height"], 240);
  EXPECT_EQ(source["bits"], 10);

  for (int m = 0; m < 4; ++m) {
    SCOPED_TRACE("mode " + std::to_string(m));
    const transcript::ModeRun& mode = run.modes[m];
    EXPECT_EQ(mode.mode, m);
    EXPECT_EQ(mode.calibratingLine, kCalibrating[m]);
    EXPECT_EQ(mode.setupPrompts, m == 0);
    ASSERT_GE(mode.referenceSetting, 0);
    EXPECT_EQ(mode.averages.size() >= static_cast<size_t>(mode.referenceSetting + 2), true);
    ASSERT_FALSE(mode.averages.empty());
    EXPECT_LE(mode.stabilisationDots, 10);
    ASSERT_GE(mode.iterations.size(), 2u);

    // The page holds what this run sent for the mode.
    const int page = m + 1;
    ASSERT_TRUE(sent.count(page));
    const Settings& settings = sent.at(page);
    const json& saved = camera["pages"][std::to_string(page)];
    ASSERT_TRUE(saved.is_object()) << "page " << page << " not saved";
    EXPECT_EQ(saved["VRA"], settings.vra);
    EXPECT_EQ(saved["MGA"], settings.mga);
    EXPECT_EQ(saved["MGB"], settings.mgb);
    EXPECT_EQ(saved["VRA"], mode.referenceSetting);
    EXPECT_EQ(saved["SMB"], m % 2 ? 4 : 0);
    EXPECT_EQ(saved["DDP"], m < 2 ? 0 : 1);

    // The sensor's own settled centre reading for the light the search left, before the balance
    // touched a gain: below 240, and within a count of the tool's last reading.
    const int light = LightBefore(full.state["instrument"]["sdo"], settings.savedAt);
    ASSERT_GT(light, 0);
    sim::Exposure exposure;
    exposure.vra = settings.vra;
    exposure.binned = m % 2 == 1;
    exposure.bits = m < 2 ? 8 : 10;
    exposure.light = light;
    const double centre = model.ExpectedReading(0, exposure);
    EXPECT_LT(centre, 240.0);
    EXPECT_NEAR(centre, mode.averages.back(), 1.0);

    // After the balance the taps differ by no more than one gain unit can correct.
    exposure.mga = settings.mga;
    exposure.mgb = settings.mgb;
    const double a = model.ExpectedReading(0, exposure), b = model.ExpectedReading(1, exposure);
    EXPECT_LE(std::fabs(a - b), parameters.gainPerUnit * std::max(a, b) + 0.2)
        << "A " << a << " B " << b;
  }
}

void ExpectExcessVrefEndsTheRun(const FullRun& full) {
  const transcript::Run& run = full.run;
  EXPECT_EQ(full.tool.exitCode, 0);
  EXPECT_TRUE(run.unexpected.empty()) << testing::PrintToString(run.unexpected);
  ASSERT_EQ(run.modes.size(), 1u);  // no further mode is opened
  EXPECT_EQ(run.modes[0].averages.size(), 20u);
  EXPECT_EQ(run.modes[0].referenceSetting, -1);
  EXPECT_TRUE(run.closingLine);

  const json& camera = full.state["camera"];
  for (const auto& [page, saved] : camera["pages"].items())
    EXPECT_TRUE(saved.is_null()) << page;
  EXPECT_EQ(camera["registers"]["VRA"], 0x13);
  // One preset only: mode 1 was never opened.
  int presets = 0;
  for (const json& entry : camera["received"])
    presets += entry["command"] == ":SMDA\r";
  EXPECT_EQ(presets, 1);
}

}  // namespace full_run
