// The message box on a real X server: shown with its text, held until the operator dismisses it
// in any of the usual ways; on standard error where there is no display.
// gtest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/message_box.h"
#include "support/xvfb_server.h"
#include "x11_screen.h"

namespace {

using namespace std::chrono_literals;
using testing_support::TopWindow;
using testing_support::X11Screen;
using testing_support::XvfbServer;

// How the operator answers the box, as the X server would deliver it.
enum class Answer { kEnter, kEscape, kClickOk, kClose };

void Send(Display* display, const TopWindow& box, Answer answer) {
  XEvent event{};
  switch (answer) {
    case Answer::kEnter:
    case Answer::kEscape:
      event.xkey.type = KeyPress;
      event.xkey.window = box.id;
      event.xkey.keycode =
          XKeysymToKeycode(display, answer == Answer::kEnter ? XK_Return : XK_Escape);
      XSendEvent(display, box.id, False, KeyPressMask, &event);
      break;
    case Answer::kClickOk:
      // The OK button sits centred at the bottom of the box.
      event.xbutton.window = box.id;
      event.xbutton.button = Button1;
      event.xbutton.x = box.width / 2;
      event.xbutton.y = box.height - 16 - 13;
      event.xbutton.type = ButtonPress;
      XSendEvent(display, box.id, False, ButtonPressMask, &event);
      event.xbutton.type = ButtonRelease;
      XSendEvent(display, box.id, False, ButtonReleaseMask, &event);
      break;
    case Answer::kClose:
      event.xclient.type = ClientMessage;
      event.xclient.window = box.id;
      event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
      event.xclient.format = 32;
      event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
      XSendEvent(display, box.id, False, NoEventMask, &event);
      break;
  }
  XSync(display, False);
}

TEST(MessageBoxX11, ShowsTheTextUntilTheOperatorAnswers) {
  XvfbServer server("800x600x24");
  ASSERT_TRUE(server.Ready());
  setenv("DISPLAY", server.Name().c_str(), 1);
  X11Screen screen(server.Name());
  ASSERT_NE(screen.display(), nullptr);

  for (Answer answer : {Answer::kEnter, Answer::kEscape, Answer::kClickOk, Answer::kClose}) {
    SCOPED_TRACE(static_cast<int>(answer));
    auto shown = std::async(std::launch::async,
                            [] { platform::ShowMessageBox("Calibration failed: excess Vref"); });
    TopWindow box;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (box.id == 0 && std::chrono::steady_clock::now() < deadline) {
      for (const TopWindow& window : screen.MappedTopWindows())
        if (window.name == "Error") box = window;
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(box.id, 0u) << "no box shown";
    EXPECT_EQ(shown.wait_for(100ms), std::future_status::timeout) << "did not wait for an answer";
    EXPECT_NEAR(box.x + box.width / 2, 400, 1) << "not centred";
    EXPECT_NEAR(box.y + box.height / 2, 300, 1);
    int ink = 0;  // the text and the button's outline, black on the box's face
    for (uint32_t pixel : screen.Grab(box.x, box.y, box.width, box.height))
      ink += pixel == 0;
    EXPECT_GT(ink, 100);

    Send(screen.display(), box, answer);
    ASSERT_EQ(shown.wait_for(5s), std::future_status::ready) << "the answer did not end the box";
    EXPECT_TRUE(screen.MappedTopWindows().empty());
  }
}

TEST(MessageBoxWithoutDisplay, WritesTheTextOnStandardError) {
  unsetenv("DISPLAY");
  testing::internal::CaptureStderr();
  platform::ShowMessageBox("Calibration failed: excess Vref");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Calibration failed: excess Vref\n");
}

}  // namespace
