// The live view's Win32 window system under Wine, through a small Windows program: the modeless
// dialog 103 of DispResources.dll placed at the top left, the DIB section stretched over its client
// area with COLORONCOLOR and read back from the X server, the window gone after the quit request
// (paints then return without a window), and a window thread that does not end terminated.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "liveview/x11_screen.h"
#include "wine_host.h"
#include "wine_run.h"

namespace {

using testing_support::Rgb;
using testing_support::ToolRun;
using testing_support::WineProcess;
using testing_support::X11Screen;
using Clock = std::chrono::steady_clock;

bool Eventually(double seconds, const std::function<bool()>& done) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (done()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The value after `key` on its own line of `out` ("" when there is none).
std::string Value(const std::string& out, const std::string& key) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

struct Client {
  int x = 0, y = 0, width = 0, height = 0;
};

// The 3 x 2 bitmap the program paints, as the screen must show it: palette greys, entry 240 red.
const uint32_t kShown[2][3] = {{Rgb(10, 10, 10), Rgb(240, 0, 0), Rgb(200, 200, 200)},
                               {Rgb(100, 100, 100), Rgb(50, 50, 50), Rgb(240, 0, 0)}};

// The pixels around the centre of each bitmap pixel's block on the screen: how many differ from
// `expected(row, column)`.
template <typename Expected>
int Mismatches(const X11Screen& screen, const Client& client, Expected expected) {
  int mismatches = 0;
  for (int row = 0; row < 2; ++row)
    for (int column = 0; column < 3; ++column) {
      int x = client.x + (2 * column + 1) * client.width / 6;
      int y = client.y + (2 * row + 1) * client.height / 4;
      for (uint32_t pixel : screen.Grab(x - 5, y - 5, 11, 11))
        mismatches += pixel != expected(row, column);
    }
  return mismatches;
}

class WineDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(wine_run::Host().Ready()) << wine_run::Host().Failure();
    screen_ = std::make_unique<X11Screen>(wine_run::Host().DisplayName());
    ASSERT_NE(screen_->display(), nullptr);
  }

  // Starts the program's window case and waits for its window; the client area it reports.
  Client StartWindow(WineProcess& check) {
    Client client;
    EXPECT_TRUE(check.Started());
    EXPECT_TRUE(Eventually(60, [&] { return !Value(check.Output(), "caption").empty(); }))
        << check.Output();
    std::istringstream(Value(check.Output(), "client")) >> client.x >> client.y >> client.width >>
        client.height;
    return client;
  }

  std::unique_ptr<X11Screen> screen_;
};

TEST_F(WineDisplay, TheDialogShowsTheBitmapStretchedOverItsClientArea) {
  WineProcess check(wine_run::Host(),
                    {testing_support::WindowsProgram("display_check.exe"), "window"});
  Client client = StartWindow(check);
  std::string out = check.Output();
  EXPECT_EQ(Value(out, "module"), "1");
  EXPECT_EQ(Value(out, "ready"), "1");
  EXPECT_EQ(Value(out, "caption"), "Camera live view");  // the template's, from DispResources.rc
  // Outer size = 300 x 200 plus the frame extras: the width's extras are the frame's exactly; the
  // height's also count a menu bar the dialog does not have.
  EXPECT_EQ(client.width, 300);
  EXPECT_GE(client.height, 200);
  EXPECT_GE(client.x, 0);
  EXPECT_GE(client.y, 0);
  EXPECT_LT(client.x, 20);
  EXPECT_LT(client.y, 60);

  int mismatches = -1;
  EXPECT_TRUE(Eventually(20,
                         [&] {
                           mismatches = Mismatches(*screen_, client, [](int row, int column) {
                             return kShown[row][column];
                           });
                           return mismatches == 0;
                         }))
      << mismatches << " pixels differ from the stretched bitmap";

  check.SendKeys("\n");
  ASSERT_TRUE(Eventually(30, [&] { return check.Output().find("painted\n") != std::string::npos; }))
      << check.Output();
  EXPECT_EQ(Value(check.Output(), "ended"), "1");
  // The window is gone: the bare (black) root shows where it was. (A paint onto the desktop's own
  // device context would not show here: Wine's desktop is not the root window.)
  EXPECT_TRUE(Eventually(10, [&] {
    return Mismatches(*screen_, client, [](int, int) { return Rgb(0, 0, 0); }) == 0;
  }));
  check.CloseInput();
  ToolRun end = check.Wait(30);
  EXPECT_EQ(end.exitCode, 0);
}

TEST_F(WineDisplay, WithoutTheResourceModuleTheWindowStillComes) {
  WineProcess check(wine_run::Host(), {testing_support::WindowsProgram("display_check.exe"),
                                       "window", "NoSuchModule"});
  Client client = StartWindow(check);
  std::string out = check.Output();
  EXPECT_EQ(Value(out, "module"), "0");
  EXPECT_EQ(Value(out, "ready"), "1");
  EXPECT_EQ(Value(out, "caption"), "Camera live view");
  EXPECT_EQ(client.width, 300);
  check.CloseInput();
  ToolRun end = check.Wait(30);
  EXPECT_EQ(end.exitCode, 0);
  EXPECT_EQ(Value(end.out, "ended"), "1");
}

TEST_F(WineDisplay, AWindowThreadThatDoesNotEndIsTerminated) {
  ToolRun run =
      wine_run::Host().Run({testing_support::WindowsProgram("display_check.exe"), "terminate"}, 60);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "ended 0\nterminated 1\n");
}

}  // namespace
