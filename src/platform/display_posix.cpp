// The live view's window system on Xlib.
//
// Each window has two connections: the one its own thread creates it on and pumps, and one for
// painting, so that a paint from the worker never competes with the pump for the same socket. The
// window manager's frame is not ours: the frame extras are its frame extents when it announces
// them (_NET_REQUEST_FRAME_EXTENTS), else 0, so that client size = outer size - extras holds.
#include "platform/bitmap_stretch.h"
#include "platform/display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/resource_script_posix.h"
#include "platform/sync.h"
#include "platform/x11_posix.h"

namespace platform {

// ---- Windows ----

namespace {

struct X11Window {
  // The connection of the thread that created the window: creation, events, expose, destroy.
  Display* events = nullptr;
  std::atomic<bool> eventsBroken{false};
  // The connection the painting thread uses.
  Display* painter = nullptr;
  std::atomic<bool> painterBroken{false};
  Window window = 0;
  Atom deleteWindow = 0;
  bool resizable = true;
  bool mapped = false;
  int32_t extraWidth = 0;
  int32_t extraHeight = 0;

  // The latest painted picture, at the client size of that paint; put again on Expose.
  std::mutex imageMutex;
  XImage* image = nullptr;
  GC eventsGc = nullptr;
  GC painterGc = nullptr;
  RgbQuad palette[256] = {};
  unsigned long pixels[256] = {};
  bool paletteKnown = false;

  // A broken connection is never touched again, not even to close it: Xlib may hold its lock
  // after the failure, and the next call on it would wait forever.
  ~X11Window() {
    if (image) XDestroyImage(image);
    if (painter && !painterBroken) {
      if (painterGc) XFreeGC(painter, painterGc);
      XCloseDisplay(painter);
    }
  }
};

// Handles to windows, so that a stale handle is harmless.
struct WindowTable {
  std::mutex mutex;
  std::map<DisplayWindow, std::shared_ptr<X11Window>> windows;
  DisplayWindow next = 1;
};
WindowTable& Windows() {
  static auto* table = new WindowTable;  // never destroyed: detached threads may outlive exit
  return *table;
}

std::shared_ptr<X11Window> Find(DisplayWindow handle) {
  WindowTable& table = Windows();
  std::lock_guard lock(table.mutex);
  auto found = table.windows.find(handle);
  return found == table.windows.end() ? nullptr : found->second;
}

// The quit request travels through a socket pair: the thread owns its read end and closes it when
// it ends, the handle owns the write end and closes it with the handle.
struct ThreadState {
  int quitRead = -1;
  int quitWrite = -1;
  ManualResetEvent ended;
};

thread_local std::shared_ptr<ThreadState> currentThread;
// The windows created on this thread: the ones its pump serves.
thread_local std::vector<std::shared_ptr<X11Window>> threadWindows;

Atom InternAtom(Display* display, const char* name) {
  return XInternAtom(display, name, False);
}

bool WindowManagerSupports(Display* display, Atom feature) {
  Atom type;
  int format;
  unsigned long count, remaining;
  unsigned char* data = nullptr;
  bool supported = false;
  if (XGetWindowProperty(display, DefaultRootWindow(display), InternAtom(display, "_NET_SUPPORTED"),
                         0, 4096, False, XA_ATOM, &type, &format, &count, &remaining,
                         &data) == Success &&
      data) {
    if (type == XA_ATOM && format == 32) {
      auto* atoms = reinterpret_cast<Atom*>(data);
      supported = std::find(atoms, atoms + count, feature) != atoms + count;
    }
    XFree(data);
  }
  return supported;
}

// Asks the window manager, before the window is shown, what frame it will put around it.
void QueryFrameExtents(X11Window& w) {
  Display* display = w.events;
  Atom request = InternAtom(display, "_NET_REQUEST_FRAME_EXTENTS");
  Atom extents = InternAtom(display, "_NET_FRAME_EXTENTS");
  if (!WindowManagerSupports(display, request)) return;

  XEvent message{};
  message.xclient.type = ClientMessage;
  message.xclient.window = w.window;
  message.xclient.message_type = request;
  message.xclient.format = 32;
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &message);
  XFlush(display);
  XEvent changed;
  if (!x11::WaitForWindowEvent(display, w.window, PropertyNotify, 500, w.eventsBroken, &changed,
                               [extents](const XEvent& e) { return e.xproperty.atom == extents; }))
    return;

  Atom type;
  int format;
  unsigned long count, remaining;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, w.window, extents, 0, 4, False, XA_CARDINAL, &type, &format,
                         &count, &remaining, &data) == Success &&
      data) {
    if (type == XA_CARDINAL && format == 32 && count == 4) {
      auto* values = reinterpret_cast<long*>(data);  // left, right, top, bottom
      w.extraWidth = static_cast<int32_t>(values[0] + values[1]);
      w.extraHeight = static_cast<int32_t>(values[2] + values[3]);
    }
    XFree(data);
  }
}

void SetCaption(Display* display, Window window, const std::string& caption) {
  XStoreName(display, window, caption.c_str());
  XChangeProperty(display, window, InternAtom(display, "_NET_WM_NAME"),
                  InternAtom(display, "UTF8_STRING"), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(caption.data()),
                  static_cast<int>(caption.size()));
  XClassHint hint{const_cast<char*>("tapcal"), const_cast<char*>("Tapcal")};
  XSetClassHint(display, window, &hint);
}

// A template without a caption asks for a window without decorations (Motif hints, which most
// window managers honour).
void SetDecorations(Display* display, Window window, bool decorated) {
  if (decorated) return;
  long hints[5] = {2 /* decorations given */, 0, 0 /* none */, 0, 0};
  Atom motif = InternAtom(display, "_MOTIF_WM_HINTS");
  XChangeProperty(display, window, motif, motif, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(hints), 5);
}

// Puts `image` (the window's latest picture) on the window through `display`.
void PutImage(Display* display, GC gc, Window window, XImage* image) {
  XPutImage(display, window, gc, image, 0, 0, 0, 0, image->width, image->height);
  XFlush(display);
}

void Repaint(X11Window& w) {
  std::lock_guard lock(w.imageMutex);
  if (w.image && !w.eventsBroken) PutImage(w.events, w.eventsGc, w.window, w.image);
}

void HandleEvent(X11Window& w, const XEvent& event) {
  // A close request from the window manager is ignored, as a dialog ignores it: the run control
  // ends the window. Without WM_DELETE_WINDOW the manager would kill the connection.
  if (event.type == Expose && event.xexpose.count == 0) Repaint(w);
}

}  // namespace

DisplayWindow CreateDisplayWindow(ResourceModule* module, int templateId, int32_t* frameExtraWidth,
                                  int32_t* frameExtraHeight) {
  DialogTemplate dialog = FindDialogTemplate(module, templateId);

  auto w = std::make_shared<X11Window>();
  w->events = x11::OpenDisplay(&w->eventsBroken);
  if (!w->events) return 0;
  w->painter = x11::OpenDisplay(&w->painterBroken);
  if (!w->painter) {
    XCloseDisplay(w->events);
    return 0;
  }
  Display* display = w->events;
  int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = x11::PixelOf(display, 0xF0, 0xF0, 0xF0);  // a dialog's face
  attributes.event_mask = ExposureMask | StructureNotifyMask | PropertyChangeMask;
  w->window = XCreateWindow(display, RootWindow(display, screen), 0, 0, 320, 240, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
  w->deleteWindow = InternAtom(display, "WM_DELETE_WINDOW");
  XSetWMProtocols(display, w->window, &w->deleteWindow, 1);
  SetCaption(display, w->window, dialog.caption);
  SetDecorations(display, w->window, dialog.captioned);
  w->resizable = dialog.resizable;
  w->eventsGc = XCreateGC(display, w->window, 0, nullptr);
  XSync(display, False);  // the painting connection must find the window on the server
  w->painterGc = XCreateGC(w->painter, w->window, 0, nullptr);
  QueryFrameExtents(*w);
  XFlush(display);

  *frameExtraWidth = w->extraWidth;
  *frameExtraHeight = w->extraHeight;
  threadWindows.push_back(w);
  WindowTable& table = Windows();
  std::lock_guard lock(table.mutex);
  DisplayWindow handle = table.next++;
  table.windows[handle] = w;
  return handle;
}

void PlaceDisplayWindow(DisplayWindow handle, int32_t x, int32_t y, int32_t outerWidth,
                        int32_t outerHeight) {
  std::shared_ptr<X11Window> w = Find(handle);
  if (!w) return;
  Display* display = w->events;
  unsigned width = static_cast<unsigned>(std::max(1, outerWidth - w->extraWidth));
  unsigned height = static_cast<unsigned>(std::max(1, outerHeight - w->extraHeight));

  // The position is the outer frame's top-left corner (north-west gravity), as asked for.
  XSizeHints* hints = XAllocSizeHints();
  hints->flags = USPosition | PPosition | USSize | PSize | PWinGravity;
  hints->x = x;
  hints->y = y;
  hints->width = static_cast<int>(width);
  hints->height = static_cast<int>(height);
  hints->win_gravity = NorthWestGravity;
  if (!w->resizable) {
    hints->flags |= PMinSize | PMaxSize;
    hints->min_width = hints->max_width = static_cast<int>(width);
    hints->min_height = hints->max_height = static_cast<int>(height);
  }
  XSetWMNormalHints(display, w->window, hints);
  XFree(hints);
  XMoveResizeWindow(display, w->window, x, y, width, height);
  if (!w->mapped) {
    XMapRaised(display, w->window);
    XFlush(display);
    // Shown means mapped: a window manager may take a moment to frame it.
    XEvent mapped;
    x11::WaitForWindowEvent(display, w->window, MapNotify, 2000, w->eventsBroken, &mapped);
    w->mapped = true;
  }
  XFlush(display);
}

void DestroyDisplayWindow(DisplayWindow handle) {
  std::shared_ptr<X11Window> w;
  {
    WindowTable& table = Windows();
    std::lock_guard lock(table.mutex);
    auto found = table.windows.find(handle);
    if (found == table.windows.end()) return;
    w = found->second;
    table.windows.erase(found);
  }
  std::erase(threadWindows, w);
  std::lock_guard lock(w->imageMutex);
  if (!w->eventsBroken) {
    XFreeGC(w->events, w->eventsGc);
    XDestroyWindow(w->events, w->window);
    XCloseDisplay(w->events);
  }
  w->eventsGc = nullptr;
  w->events = nullptr;
}

void PaintDisplayWindow(DisplayWindow handle, const BitmapInfo* info, const uint8_t* bits) {
  std::shared_ptr<X11Window> w = Find(handle);
  if (!w || w->painterBroken) return;
  int32_t width = info->bmiHeader.biWidth;
  int32_t height = std::abs(info->bmiHeader.biHeight);
  bool topDown = info->bmiHeader.biHeight < 0;
  if (width <= 0 || height <= 0) return;
  int32_t stride = BitmapStride(width);
  Display* display = w->painter;

  Window root;
  int at;
  unsigned clientWidth, clientHeight, border, depth;
  if (!XGetGeometry(display, w->window, &root, &at, &at, &clientWidth, &clientHeight, &border,
                    &depth) ||
      w->painterBroken)
    return;

  std::lock_guard lock(w->imageMutex);
  if (!w->paletteKnown || std::memcmp(w->palette, info->bmiColors, sizeof w->palette) != 0) {
    std::memcpy(w->palette, info->bmiColors, sizeof w->palette);
    for (int i = 0; i < 256; ++i)
      w->pixels[i] = x11::PixelOf(display, w->palette[i].rgbRed, w->palette[i].rgbGreen,
                                  w->palette[i].rgbBlue);
    w->paletteKnown = true;
  }
  if (!w->image || w->image->width != static_cast<int>(clientWidth) ||
      w->image->height != static_cast<int>(clientHeight)) {
    if (w->image) XDestroyImage(w->image);
    int screen = DefaultScreen(display);
    w->image = XCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen),
                            ZPixmap, 0, nullptr, clientWidth, clientHeight, 32, 0);
    if (!w->image) return;
    w->image->data = static_cast<char*>(std::malloc(static_cast<size_t>(w->image->bytes_per_line) *
                                                    static_cast<size_t>(clientHeight)));
    if (!w->image->data) {
      XDestroyImage(w->image);
      w->image = nullptr;
      return;
    }
  }

  XImage* image = w->image;
  if (image->bits_per_pixel == 32 &&
      image->byte_order == (std::endian::native == std::endian::little ? LSBFirst : MSBFirst)) {
    StretchBitmap(*info, bits, w->pixels, reinterpret_cast<uint32_t*>(image->data), clientWidth,
                  clientHeight, static_cast<size_t>(image->bytes_per_line));
  } else {
    for (unsigned y = 0; y < clientHeight; ++y) {
      int32_t row = NearestSource(y, height, clientHeight);
      const uint8_t* source = bits + static_cast<size_t>(topDown ? row : height - 1 - row) * stride;
      for (unsigned x = 0; x < clientWidth; ++x) {
        XPutPixel(image, static_cast<int>(x), static_cast<int>(y),
                  w->pixels[source[NearestSource(x, width, clientWidth)]]);
      }
    }
  }
  if (!w->painterBroken) PutImage(display, w->painterGc, w->window, image);
}

// ---- Display threads ----

struct DisplayThread {
  std::shared_ptr<ThreadState> state;
};

DisplayThread* StartDisplayThread(void (*body)()) {
  auto state = std::make_shared<ThreadState>();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) == 0) {
    state->quitRead = ends[0];
    state->quitWrite = ends[1];
  }
  auto run = [state, body] {
    currentThread = state;
    body();
    threadWindows.clear();
    currentThread.reset();
    if (state->quitRead >= 0) close(state->quitRead);
    state->ended.Set();
  };
  // Detached at once: a thread that does not end is left alone, and no joinable thread can be
  // left behind at exit on any path. A thread that cannot be started never ends its wait.
  try {
    std::thread(run).detach();
  } catch (const std::system_error&) {
    if (state->quitRead >= 0) close(state->quitRead);
  }
  return new DisplayThread{state};
}

void PumpDisplayEvents() {
  std::shared_ptr<ThreadState> state = currentThread;
  if (!state) return;
  for (;;) {
    std::vector<pollfd> waits{{state->quitRead, POLLIN, 0}};
    for (const auto& w : threadWindows) {
      if (w->eventsBroken) continue;
      while (!w->eventsBroken && XPending(w->events) > 0 && !w->eventsBroken) {
        XEvent event;
        XNextEvent(w->events, &event);
        HandleEvent(*w, event);
      }
      if (w->eventsBroken) continue;
      waits.push_back({ConnectionNumber(w->events), POLLIN, 0});
    }
    if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) return;
    if (waits[0].revents) {
      // The quit request, or the handle closed (end of stream): no quit can come any more.
      char request;
      if (read(state->quitRead, &request, 1) >= 0) return;
      if (waits[0].revents & (POLLERR | POLLNVAL)) return;
    }
  }
}

void PostDisplayQuit(DisplayThread* thread) {
  char request = 'q';
  // No SIGPIPE when the thread has already ended and closed its end.
  if (thread->state->quitWrite >= 0) send(thread->state->quitWrite, &request, 1, MSG_NOSIGNAL);
}

bool WaitDisplayThread(DisplayThread* thread, uint32_t timeoutMs) {
  return thread->state->ended.WaitMs(timeoutMs);
}

void TerminateDisplayThread(DisplayThread*) {
  // Nothing can end a POSIX thread safely from outside: it keeps running detached, and its
  // state stays alive through its own reference.
}

void CloseDisplayThread(DisplayThread* thread) {
  // A thread still pumping sees its end close: no quit request can come any more.
  if (thread->state->quitWrite >= 0) close(thread->state->quitWrite);
  delete thread;
}

}  // namespace platform
