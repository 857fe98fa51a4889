// Xlib connections shared by the POSIX window-system seams (live view, message box).
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <functional>

namespace platform::x11 {

// Opens a connection to the display named by DISPLAY; null when it is unset or unreachable.
// Protocol errors on any connection are ignored (a window destroyed under a paint is no fault),
// and a connection that breaks sets `*broken` (when given) instead of ending the process; Xlib
// turns every later call on it into a no-op.
Display* OpenDisplay(std::atomic<bool>* broken);

// The pixel value of an 8-bit colour in the default visual of `display`'s default screen.
unsigned long PixelOf(Display* display, uint8_t red, uint8_t green, uint8_t blue);

// Waits up to `timeoutMs` for an event of `type` on `window` that `match` accepts (any, when
// empty) and takes it from the queue; other events stay queued. False on time-out or when the
// connection is broken.
bool WaitForWindowEvent(Display* display, Window window, int type, int timeoutMs,
                        const std::atomic<bool>& broken, XEvent* event,
                        const std::function<bool(const XEvent&)>& match = {});

}  // namespace platform::x11
