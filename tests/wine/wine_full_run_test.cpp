// The Windows package's calibration runs under Wine: the four modes with the same expectations as
// the Linux tool's, the live view read back from the X server pixel by pixel, the light keys from
// standard input, the message box of a failed reference search, and a session that cannot open.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "e2e/full_run_checks.h"
#include "liveview/x11_screen.h"
#include "sensor_model.h"
#include "support/bench_process.h"
#include "support/installation.h"
#include "wine_host.h"
#include "wine_run.h"

namespace {

using nlohmann::json;
using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::Rgb;
using testing_support::ToolRun;
using testing_support::TopWindow;
using testing_support::WineProcess;
using testing_support::X11Screen;
using Clock = std::chrono::steady_clock;

constexpr double kFullRunTimeout = 900;
constexpr char kSetupPrompt[] = "Press 'ESC' to start.\n";
constexpr char kClosingLine[] = "Application Terminating, press any key...\n";
constexpr char kLiveViewCaption[] = "Camera live view";
const uint32_t kRed = Rgb(240, 0, 0);

// Polls `done` every 100 ms for at most `seconds`; true when it held.
bool Eventually(double seconds, const std::function<bool()>& done) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (done()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::optional<TopWindow> MappedWindow(const X11Screen& screen, const std::string& name) {
  for (const TopWindow& window : screen.MappedTopWindows())
    if (window.name == name) return window;
  return std::nullopt;
}

// The live view's palette as the screen shows it: grey for 0..239 (the look-up table shows 3..239),
// entry 240 red.
struct TapPicture {
  double meanGrey = 0;
  size_t pixels = 0;
  size_t red = 0;
  size_t notFromThePalette = 0;  // neither a shown grey nor the red entry
};

// The pixels of one tap's half of the picture, well inside the client area of `window` (whose
// frame is drawn by Wine itself, around the image stretched over the client area).
TapPicture ReadTap(const X11Screen& screen, const TopWindow& window, int tap) {
  int left = window.x + window.width * (tap == 0 ? 10 : 55) / 100;
  int top = window.y + window.height * 30 / 100;
  int width = window.width * 35 / 100, height = window.height * 50 / 100;
  TapPicture picture;
  double sum = 0;
  for (uint32_t pixel : screen.Grab(left, top, width, height)) {
    ++picture.pixels;
    int red = pixel >> 16 & 0xFF, green = pixel >> 8 & 0xFF, blue = pixel & 0xFF;
    if (pixel == kRed) {
      ++picture.red;
    } else if (red == green && green == blue && red >= 3 && red <= 239) {
      sum += red;
    } else {
      ++picture.notFromThePalette;
    }
  }
  size_t greys = picture.pixels - picture.red - picture.notFromThePalette;
  picture.meanGrey = greys ? sum / static_cast<double>(greys) : 0;
  return picture;
}

// The grey the live view shows for a mean 8-bit intensity.
double ShownGrey(double intensity) {
  return 3.0 + intensity * 237.0 / 255.0;
}

std::vector<int> LightWrites(const json& state) {
  std::vector<int> levels;
  for (const json& entry : state["instrument"]["sdo"])
    if (entry.value("object", "") == "LightLevel" && entry["op"] == "write")
      levels.push_back(entry["value"]);
  return levels;
}

// The four modes, as on Linux; during mode 0's light set-up the live view is read back from the
// screen, first at the starting light, then at the full light of key '0'.
TEST(WineFullRun, CalibratesAllFourModesWithTheLiveViewOnScreen) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench(full_run::BenchArgs(0));
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));
  ASSERT_TRUE(host.Prepare(installation, bench));
  X11Screen screen(host.DisplayName());
  ASSERT_NE(screen.display(), nullptr);

  WineProcess tool(host, installation, bench);
  ASSERT_TRUE(tool.Started());
  // The set-up waits for keys as long as standard input stays open.
  ASSERT_TRUE(Eventually(180, [&] { return Contains(tool.Output(), kSetupPrompt); }))
      << tool.Output();

  std::optional<TopWindow> window = MappedWindow(screen, kLiveViewCaption);
  ASSERT_TRUE(window) << "no live-view window on the screen";
  // Placed at the top left, with the image's size plus the frame.
  EXPECT_EQ(window->x, 0);
  EXPECT_EQ(window->y, 0);
  EXPECT_GT(window->width, 640);
  EXPECT_GT(window->height, 480);

  // The starting light (32768) on the preset camera: each tap's flat grey, through the table.
  sim::SensorModel model(sim::DefaultSensorParameters());
  sim::Exposure exposure;
  exposure.light = 32768;
  const double expected[2] = {ShownGrey(model.ExpectedReading(0, exposure)),
                              ShownGrey(model.ExpectedReading(1, exposure))};
  TapPicture taps[2];
  bool shown = Eventually(60, [&] {
    for (int tap = 0; tap < 2; ++tap)
      taps[tap] = ReadTap(screen, *window, tap);
    for (int tap = 0; tap < 2; ++tap)
      if (taps[tap].notFromThePalette || taps[tap].red ||
          std::abs(taps[tap].meanGrey - expected[tap]) > 3.0)
        return false;
    return true;
  });
  for (int tap = 0; tap < 2; ++tap) {
    SCOPED_TRACE("tap " + std::to_string(tap));
    EXPECT_TRUE(shown);
    EXPECT_GT(taps[tap].pixels, 10000u);
    EXPECT_EQ(taps[tap].notFromThePalette, 0u);
    EXPECT_EQ(taps[tap].red, 0u);
    EXPECT_NEAR(taps[tap].meanGrey, expected[tap], 3.0);
  }

  // Key '0': full light, every pixel saturated, and saturated pixels show red.
  tool.SendKeys("0");
  bool red = Eventually(60, [&] {
    for (int tap = 0; tap < 2; ++tap) {
      taps[tap] = ReadTap(screen, *window, tap);
      if (taps[tap].red != taps[tap].pixels) return false;
    }
    return true;
  });
  EXPECT_TRUE(red) << "tap A: " << taps[0].red << " of " << taps[0].pixels << " red";

  tool.CloseInput();  // Escape: the calibration starts; the final key is Escape as well
  full_run::FullRun full;
  full.tool = tool.Wait(kFullRunTimeout);
  full.run = transcript::Parse(full.tool.out);
  full.state = full_run::StateAfterTheRun(bench);
  full_run::ExpectFourCalibratedModes(full, 0);

  // The key's level was written once, and every later mode starts with it.
  std::vector<int> levels = LightWrites(full.state);
  ASSERT_GE(levels.size(), 4u);
  EXPECT_EQ(levels[0], 32768);
  EXPECT_EQ(levels[1], 65535);
  int modeStarts = 0;
  for (size_t i = 0; i + 2 < levels.size(); ++i)
    modeStarts += levels[i] == 65535 && levels[i + 1] == 0 && levels[i + 2] == 0;
  EXPECT_EQ(modeStarts, 4) << "each mode starts at the set-up's level, then the calibration's 0";
  EXPECT_FALSE(MappedWindow(screen, kLiveViewCaption)) << "the last window was not destroyed";
}

// The reference search fails: the message box "Calibration failed: excess Vref" holds the
// procedure (no owner, the system's own caption "Error", OK only) until it is closed with Enter.
TEST(WineScenarios, ExcessVrefShowsTheMessageBoxAndEndsTheRun) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench(full_run::BenchArgs(0, {"black-stuck"}));
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));
  ASSERT_TRUE(host.Prepare(installation, bench));
  X11Screen screen(host.DisplayName());
  ASSERT_NE(screen.display(), nullptr);

  WineProcess tool(host, installation, bench);
  ASSERT_TRUE(tool.Started());
  tool.CloseInput();
  std::optional<TopWindow> box;
  ASSERT_TRUE(Eventually(180, [&] { return (box = MappedWindow(screen, "Error")).has_value(); }))
      << tool.Output();
  // Held: the procedure has not gone on past its failure.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(Contains(tool.Output(), kClosingLine));
  EXPECT_FALSE(Contains(tool.Output(), "Setting Vref A"));

  std::map<std::string, std::string> display{{"DISPLAY", host.DisplayName()}};
  std::string id = std::to_string(box->id);
  ToolRun key = testing_support::RunProgram(
      "/usr/bin/xdotool", {"windowfocus", "--sync", id, "key", "Return"}, display, "", "", 30);
  EXPECT_EQ(key.exitCode, 0) << key.err;

  full_run::FullRun full;
  full.tool = tool.Wait(120);
  full.run = transcript::Parse(full.tool.out);
  full.state = bench.State();
  EXPECT_FALSE(full.tool.timedOut) << "the box was not closed by Enter";
  EXPECT_EQ(full.tool.err.find("Calibration failed"), std::string::npos)
      << "the text belongs in the box";
  full_run::ExpectExcessVrefEndsTheRun(full);
}

// Mode 2's camera file is missing: modes 0 and 1 calibrate and save, then the failed session ends
// the run at once, with the servers still open and without the closing message or key wait.
TEST(WineScenarios, OpenSessionFailingInMode2EndsTheRunAtOnce) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench(full_run::BenchArgs(0));
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));
  ASSERT_TRUE(std::filesystem::remove(installation.WorkDir() + "/x64tm6740Nd_10_x.CCA"));
  ASSERT_TRUE(host.Prepare(installation, bench));

  ToolRun run = testing_support::RunWineTool(host, installation, bench, "", kFullRunTimeout);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  const std::string failure =
      "Loading .\\x64tm6740Nd_10_x.CCA\n"
      "CorCamLoad(hCam, CCA_FILE3)\n"
      "   Error in module 0x2 (status = 0x4, info = 0x0)\n"
      "   <File not found>\n";
  ASSERT_GE(run.out.size(), failure.size()) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - failure.size()), failure) << run.out;
  EXPECT_EQ(run.out.find(kClosingLine), std::string::npos);

  transcript::Run transcript =
      transcript::Parse(run.out.substr(0, run.out.size() - failure.size()));
  ASSERT_EQ(transcript.modes.size(), 2u);
  EXPECT_TRUE(transcript.unexpected.empty()) << testing::PrintToString(transcript.unexpected);
  json pages = bench.State()["camera"]["pages"];
  EXPECT_TRUE(pages["1"].is_object());
  EXPECT_TRUE(pages["2"].is_object());
  EXPECT_TRUE(pages["3"].is_null());
  EXPECT_TRUE(pages["4"].is_null());
}

}  // namespace
