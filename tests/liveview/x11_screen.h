// The X server as a test reads it back: the screen's pixels and the top-level windows.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct TopWindow {
  Window id = 0;
  int x = 0, y = 0, width = 0, height = 0;
  bool mapped = false;
  std::string name;
};

class X11Screen {
 public:
  explicit X11Screen(const std::string& displayName);
  ~X11Screen();
  X11Screen(const X11Screen&) = delete;
  X11Screen& operator=(const X11Screen&) = delete;

  Display* display() const { return display_; }
  // The screen's pixels in a rectangle, row by row, as 0xRRGGBB.
  std::vector<uint32_t> Grab(int x, int y, int width, int height) const;
  std::vector<TopWindow> TopWindows() const;
  std::vector<TopWindow> MappedTopWindows() const;

 private:
  Display* display_ = nullptr;
};

inline uint32_t Rgb(int red, int green, int blue) {
  return static_cast<uint32_t>(red << 16 | green << 8 | blue);
}

}  // namespace testing_support
