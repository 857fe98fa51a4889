// The window system as the live view uses it: a resource module with window templates, a thread
// that creates a window and pumps its events until another thread posts it the quit request, and
// painting an 8-bit palette-indexed bitmap stretched over a window's whole client area.
//
// POSIX (display_posix.cpp): Xlib. A window exists only when a display can be opened (DISPLAY set
// and reachable); otherwise creating one gives 0 and painting 0 draws nothing, as when a dialog
// cannot be created. The resource module is a resource script (.rc) read for its dialog templates.
// Win32: a resource-only DLL, a modeless dialog, a DIB section and StretchBlt.
#pragma once

#include <cstdint>

namespace platform {

// The bitmap description, laid out as the Win32 one: a 40-byte header and 256 palette entries.
struct BitmapInfoHeader {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;  // negative: rows run top-down
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;
};
struct RgbQuad {
  uint8_t rgbBlue;
  uint8_t rgbGreen;
  uint8_t rgbRed;
  uint8_t rgbReserved;
};
struct BitmapInfo {
  BitmapInfoHeader bmiHeader;
  RgbQuad bmiColors[256];
};
static_assert(sizeof(BitmapInfoHeader) == 40 && sizeof(BitmapInfo) == 1064);

// Rows of an 8-bit bitmap are padded to a multiple of 4 bytes.
inline int32_t BitmapStride(int32_t width) {
  return (width + 3) & ~3;
}

// A loaded resource module; null when it cannot be found. Kept for the whole run.
struct ResourceModule;
// POSIX: `name` + ".rc", looked for at the path in TAPCAL_DISPRESOURCES, else beside the
// executable, else in the working directory.
ResourceModule* LoadResourceModule(const char* name);
void FreeResourceModule(ResourceModule* module);

// A window handle as the window system gives it; 0 is no window. Like a Win32 handle it stays a
// harmless value after the window is destroyed: painting it draws nothing.
using DisplayWindow = uint32_t;

// Creates, on the calling thread and hidden, the window of dialog template `templateId` of
// `module`. Without the module or the template the window still comes, with a default caption
// and style. Returns 0 when the window system cannot make one. The frame extras are what the
// window system adds around the client area (borders, title, menu), so that a window placed with
// outer size client + extras has that client size; they are 0 when nothing is added.
DisplayWindow CreateDisplayWindow(ResourceModule* module, int templateId, int32_t* frameExtraWidth,
                                  int32_t* frameExtraHeight);
// Moves the window's outer top-left corner to (x, y), gives it that outer size and shows it.
void PlaceDisplayWindow(DisplayWindow window, int32_t x, int32_t y, int32_t outerWidth,
                        int32_t outerHeight);
// Destroys a window created on the calling thread.
void DestroyDisplayWindow(DisplayWindow window);

// Draws `bits` (8-bit palette indices, `info`'s width and height, rows padded to BitmapStride)
// through `info`'s palette, stretched nearest-neighbour to the window's whole client area. Safe
// from any one thread other than the window's while the window lives; nothing is drawn for 0 or a
// destroyed window.
void PaintDisplayWindow(DisplayWindow window, const BitmapInfo* info, const uint8_t* bits);

// A thread that creates windows and pumps their events.
struct DisplayThread;
// Starts `body` on a new thread at once. Never null.
DisplayThread* StartDisplayThread(void (*body)());
// On a display thread: handles the events of the thread's windows until the quit request comes.
void PumpDisplayEvents();
// Posts the quit request to the thread; it stays queued until the thread pumps.
void PostDisplayQuit(DisplayThread* thread);
// True when the thread has ended within `timeoutMs`.
bool WaitDisplayThread(DisplayThread* thread, uint32_t timeoutMs);
// Gives up on a thread that did not end. Win32 terminates it; on POSIX it is left running on its
// own and never touched again.
void TerminateDisplayThread(DisplayThread* thread);
// Releases the caller's hold on the thread; `thread` is invalid afterwards. No quit request can
// be posted after it; on POSIX a thread still pumping then ends its pump.
void CloseDisplayThread(DisplayThread* thread);

}  // namespace platform
