#include "x11_screen.h"

#include <X11/Xutil.h>

#include <bit>

namespace testing_support {

namespace {

int Channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  int shift = std::countr_zero(mask);
  unsigned long maximum = mask >> shift;
  return static_cast<int>(((pixel & mask) >> shift) * 255 / maximum);
}

}  // namespace

X11Screen::X11Screen(const std::string& displayName) {
  display_ = XOpenDisplay(displayName.c_str());
}

X11Screen::~X11Screen() {
  if (display_) XCloseDisplay(display_);
}

std::vector<uint32_t> X11Screen::Grab(int x, int y, int width, int height) const {
  std::vector<uint32_t> pixels;
  XImage* image =
      XGetImage(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return pixels;
  Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
  pixels.reserve(static_cast<size_t>(width) * height);
  for (int row = 0; row < height; ++row)
    for (int column = 0; column < width; ++column) {
      unsigned long pixel = XGetPixel(image, column, row);
      pixels.push_back(Rgb(Channel(pixel, visual->red_mask), Channel(pixel, visual->green_mask),
                           Channel(pixel, visual->blue_mask)));
    }
  XDestroyImage(image);
  return pixels;
}

std::vector<TopWindow> X11Screen::TopWindows() const {
  std::vector<TopWindow> windows;
  Window root, parent;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
    return windows;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, children[i], &attributes)) continue;
    TopWindow window{children[i],
                     attributes.x,
                     attributes.y,
                     attributes.width,
                     attributes.height,
                     attributes.map_state == IsViewable,
                     ""};
    char* name = nullptr;
    if (XFetchName(display_, children[i], &name) && name) {
      window.name = name;
      XFree(name);
    }
    windows.push_back(window);
  }
  if (children) XFree(children);
  return windows;
}

std::vector<TopWindow> X11Screen::MappedTopWindows() const {
  std::vector<TopWindow> mapped;
  for (const TopWindow& window : TopWindows())
    if (window.mapped) mapped.push_back(window);
  return mapped;
}

}  // namespace testing_support
