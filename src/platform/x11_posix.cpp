#include "platform/x11_posix.h"

#include <poll.h>

#include <bit>
#include <chrono>
#include <mutex>

namespace platform::x11 {

namespace {

int IgnoreError(Display*, XErrorEvent*) {
  return 0;
}

// Called before the exit handler; Xlib's default one prints a fatal-error line.
int QuietIoError(Display*) {
  return 0;
}

void MarkBroken(Display*, void* broken) {
  if (broken) static_cast<std::atomic<bool>*>(broken)->store(true);
}

// The value of an 8-bit channel in a TrueColor mask.
unsigned long Channel(uint8_t value, unsigned long mask) {
  if (mask == 0) return 0;
  int shift = std::countr_zero(mask);
  unsigned long maximum = mask >> shift;
  return ((value * maximum + 127) / 255) << shift;
}

}  // namespace

Display* OpenDisplay(std::atomic<bool>* broken) {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(IgnoreError);
    XSetIOErrorHandler(QuietIoError);
  });
  Display* display = XOpenDisplay(nullptr);
  if (display) XSetIOErrorExitHandler(display, MarkBroken, broken);
  return display;
}

unsigned long PixelOf(Display* display, uint8_t red, uint8_t green, uint8_t blue) {
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  if (visual->c_class == TrueColor || visual->c_class == DirectColor)
    return Channel(red, visual->red_mask) | Channel(green, visual->green_mask) |
           Channel(blue, visual->blue_mask);
  XColor colour{};
  colour.red = static_cast<unsigned short>(red * 257);
  colour.green = static_cast<unsigned short>(green * 257);
  colour.blue = static_cast<unsigned short>(blue * 257);
  if (XAllocColor(display, DefaultColormap(display, DefaultScreen(display)), &colour))
    return colour.pixel;
  return red + green + blue >= 384 ? WhitePixel(display, DefaultScreen(display))
                                   : BlackPixel(display, DefaultScreen(display));
}

bool WaitForWindowEvent(Display* display, Window window, int type, int timeoutMs,
                        const std::atomic<bool>& broken, XEvent* event,
                        const std::function<bool(const XEvent&)>& match) {
  struct Wanted {
    Window window;
    int type;
    const std::function<bool(const XEvent&)>* match;
  } wanted{window, type, &match};
  auto predicate = [](Display*, XEvent* candidate, XPointer argument) -> Bool {
    auto* w = reinterpret_cast<Wanted*>(argument);
    return candidate->type == w->type && candidate->xany.window == w->window &&
           (!*w->match || (*w->match)(*candidate));
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (broken) return false;
    if (XCheckIfEvent(display, event, predicate, reinterpret_cast<XPointer>(&wanted))) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, static_cast<int>(left.count()));
  }
}

}  // namespace platform::x11
