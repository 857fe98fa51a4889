// A run of the tool on a real X server without the resource module "DispResources" anywhere it
// looks: the start-up goes on, and the live-view window still opens, with the default template,
// and shows the camera's picture. The camera's black level never rises, so that the run ends
// early: mode 0's reference search fails and its message box is answered.
// gtest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "full_run_checks.h"
#include "liveview/x11_screen.h"
#include "support/installation.h"
#include "support/xvfb_server.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::RunningProgram;
using testing_support::TopWindow;
using testing_support::X11Screen;
using testing_support::XvfbServer;

std::optional<TopWindow> MappedWindow(const X11Screen& screen, const std::string& name) {
  for (const TopWindow& window : screen.MappedTopWindows())
    if (window.name == name) return window;
  return std::nullopt;
}

template <typename Condition>
bool Eventually(double seconds, Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// The share of the window's pixels that show a grey of the live view's palette (3..239).
double ShareOfGrey(const X11Screen& screen, const TopWindow& window) {
  std::vector<uint32_t> pixels = screen.Grab(window.x, window.y, window.width, window.height);
  size_t grey = 0;
  for (uint32_t pixel : pixels) {
    uint32_t red = pixel >> 16 & 0xFF, green = pixel >> 8 & 0xFF, blue = pixel & 0xFF;
    grey += red == green && green == blue && red >= 3 && red <= 239;
  }
  return pixels.empty() ? 0.0 : static_cast<double>(grey) / static_cast<double>(pixels.size());
}

TEST(RunWithoutDispResources, StartsUpAndShowsTheLiveViewWithTheDefaultWindow) {
  XvfbServer server("1280x1024x24");
  ASSERT_TRUE(server.Ready());
  X11Screen screen(server.Name());
  ASSERT_NE(screen.display(), nullptr);
  BenchProcess bench(full_run::BenchArgs(0, {"black-stuck"}));
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));

  // The tool alone in a directory of its own: the build puts the module beside it.
  testing_support::TempDir bin;
  const std::string tool = bin.File("tapcal");
  fs::copy_file(testing_support::BuildPath("src/tapcal"), tool);
  ASSERT_FALSE(fs::exists(installation.WorkDir() + "/DispResources.rc"));
  auto env = installation.Environment(bench);
  env["DISPLAY"] = server.Name();
  env["TAPCAL_DISPRESOURCES"] = "";

  RunningProgram run(tool, {}, env, installation.WorkDir());
  ASSERT_TRUE(run.Started());
  ASSERT_TRUE(
      run.WaitForOutput("Use '/' and '*' keys to change light. Press 'ESC' to start.\n", 120))
      << run.Output();

  // Mode 0's window, as the default template makes it: captioned, at the top left, the image's
  // size with its frame, showing the picture of the set-up's light.
  std::optional<TopWindow> window = MappedWindow(screen, "Camera live view");
  ASSERT_TRUE(window) << "no live-view window";
  EXPECT_EQ(window->x, 0);
  EXPECT_EQ(window->y, 0);
  EXPECT_GE(window->width, 640);
  EXPECT_GE(window->height, 480);
  double grey = 0;
  EXPECT_TRUE(Eventually(30, [&] { return (grey = ShareOfGrey(screen, *window)) > 0.9; })) << grey;

  // Escape: the calibration starts, fails its reference search, and its box waits for Enter.
  run.CloseInput();
  std::optional<TopWindow> box;
  ASSERT_TRUE(Eventually(60, [&] { return (box = MappedWindow(screen, "Error")).has_value(); }))
      << run.Output();
  XEvent enter{};
  enter.xkey.type = KeyPress;
  enter.xkey.window = box->id;
  enter.xkey.keycode = XKeysymToKeycode(screen.display(), XK_Return);
  XSendEvent(screen.display(), box->id, False, KeyPressMask, &enter);
  XSync(screen.display(), False);

  testing_support::ToolRun ended = run.Finish(60);
  EXPECT_FALSE(ended.timedOut);
  EXPECT_EQ(ended.exitCode, 0);
  EXPECT_EQ(ended.err, "") << "the box's text belongs on the screen";
  transcript::Run transcript = transcript::Parse(ended.out);
  EXPECT_EQ(transcript.startUp,
            (std::vector<std::string>{"Starting diffuser disk", "Homing ND wheel"}));
  EXPECT_TRUE(transcript.unexpected.empty()) << testing::PrintToString(transcript.unexpected);
  ASSERT_EQ(transcript.modes.size(), 1u);
  EXPECT_EQ(transcript.modes[0].averages.size(), 20u);
  EXPECT_TRUE(transcript.closingLine);
  EXPECT_FALSE(MappedWindow(screen, "Camera live view")) << "the window was not destroyed";
}

}  // namespace
