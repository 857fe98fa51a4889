// The message box on Xlib: a small window with the text and an OK button, centred on the screen,
// that holds the calling thread until Enter, Escape, Space, a click on OK or the window's close.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/x11_posix.h"

namespace platform {

namespace {

constexpr int kMargin = 16;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 26;

struct Layout {
  std::vector<std::string> lines;
  int lineHeight = 0;
  int width = 0;
  int height = 0;
  XRectangle button{};
};

Layout Arrange(XFontStruct* font, const char* text) {
  Layout layout;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    layout.lines.push_back(line);
  if (layout.lines.empty()) layout.lines.emplace_back();
  layout.lineHeight = font->ascent + font->descent;
  int textWidth = 0;
  for (const std::string& line : layout.lines)
    textWidth = std::max(textWidth, XTextWidth(font, line.c_str(), static_cast<int>(line.size())));
  layout.width = std::max({textWidth + 2 * kMargin, kButtonWidth + 2 * kMargin, 200});
  int textHeight = static_cast<int>(layout.lines.size()) * layout.lineHeight;
  layout.height = kMargin + textHeight + kMargin + kButtonHeight + kMargin;
  layout.button = {static_cast<short>((layout.width - kButtonWidth) / 2),
                   static_cast<short>(layout.height - kMargin - kButtonHeight), kButtonWidth,
                   kButtonHeight};
  return layout;
}

void Draw(Display* display, Window window, GC gc, XFontStruct* font, const Layout& layout) {
  XClearWindow(display, window);
  int y = kMargin + font->ascent;
  for (const std::string& line : layout.lines) {
    XDrawString(display, window, gc, kMargin, y, line.c_str(), static_cast<int>(line.size()));
    y += layout.lineHeight;
  }
  const XRectangle& b = layout.button;
  XDrawRectangle(display, window, gc, b.x, b.y, b.width - 1, b.height - 1);
  const char* ok = "OK";
  int okWidth = XTextWidth(font, ok, 2);
  XDrawString(display, window, gc, b.x + (b.width - okWidth) / 2,
              b.y + (b.height + font->ascent - font->descent) / 2, ok, 2);
  XFlush(display);
}

bool Inside(const XRectangle& r, int x, int y) {
  return x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height;
}

// Handles one event; true when it dismisses the box.
bool Dismisses(Display* display, Window window, GC gc, XFontStruct* font, const Layout& layout,
               Atom deleteWindow, XEvent& event) {
  switch (event.type) {
    case Expose:
      if (event.xexpose.count == 0) Draw(display, window, gc, font, layout);
      return false;
    case MapNotify:
      XSetInputFocus(display, window, RevertToParent, CurrentTime);
      return false;
    case KeyPress: {
      KeySym key = XLookupKeysym(&event.xkey, 0);
      return key == XK_Return || key == XK_KP_Enter || key == XK_Escape || key == XK_space;
    }
    case ButtonRelease:
      return event.xbutton.button == Button1 &&
             Inside(layout.button, event.xbutton.x, event.xbutton.y);
    case ClientMessage:
      return static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow;
    default:
      return false;
  }
}

}  // namespace

void ShowMessageBox(const char* text) {
  std::atomic<bool> broken{false};
  Display* display = x11::OpenDisplay(&broken);
  XFontStruct* font = display ? XLoadQueryFont(display, "fixed") : nullptr;
  if (!font) {
    if (display) XCloseDisplay(display);
    std::fprintf(stderr, "%s\n", text);
    return;
  }

  Layout layout = Arrange(font, text);
  int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = x11::PixelOf(display, 0xF0, 0xF0, 0xF0);
  attributes.event_mask =
      ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
  int x = (DisplayWidth(display, screen) - layout.width) / 2;
  int y = (DisplayHeight(display, screen) - layout.height) / 2;
  Window window =
      XCreateWindow(display, RootWindow(display, screen), x, y, static_cast<unsigned>(layout.width),
                    static_cast<unsigned>(layout.height), 0, CopyFromParent, InputOutput,
                    CopyFromParent, CWBackPixel | CWEventMask, &attributes);
  XStoreName(display, window, "Error");  // the caption a box without one gets
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &deleteWindow, 1);
  Atom windowType = XInternAtom(display, "_NET_WM_WINDOW_TYPE", False);
  Atom dialogType = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
  XChangeProperty(display, window, windowType, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&dialogType), 1);
  XSizeHints* hints = XAllocSizeHints();
  hints->flags = PPosition | PMinSize | PMaxSize;
  hints->x = x;
  hints->y = y;
  hints->min_width = hints->max_width = layout.width;
  hints->min_height = hints->max_height = layout.height;
  XSetWMNormalHints(display, window, hints);
  XFree(hints);
  XGCValues values{};
  values.foreground = BlackPixel(display, screen);
  values.font = font->fid;
  GC gc = XCreateGC(display, window, GCForeground | GCFont, &values);
  XMapRaised(display, window);
  XFlush(display);

  bool dismissed = false;
  while (!dismissed && !broken) {
    while (!dismissed && !broken && XPending(display) > 0 && !broken) {
      XEvent event;
      XNextEvent(display, &event);
      dismissed = Dismisses(display, window, gc, font, layout, deleteWindow, event);
    }
    if (dismissed || broken) break;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, -1);
  }

  if (broken) {
    // The display went away under the box. The connection is left alone: Xlib may still hold
    // its lock.
    std::fprintf(stderr, "%s\n", text);
    return;
  }
  XFreeGC(display, gc);
  XFreeFont(display, font);
  XDestroyWindow(display, window);
  XCloseDisplay(display);
}

}  // namespace platform
