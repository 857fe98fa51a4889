// A Windows program for the live view's window-system checks under Wine. Prints one line per
// step; the test reads the screen in between.
//   display_check window [module]  the window of dialog 103 of `module` (default DispResources)
//                                  at the top left, painted with a 3 x 2 bitmap; a line on
//                                  standard input ends it, then a paint of the ended window
//   display_check terminate        a display thread that never pumps: quit, wait, terminate
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/display.h"

namespace {

using namespace platform;

ResourceModule* module = nullptr;
HANDLE windowReady = nullptr;
std::atomic<DisplayWindow> window{0};
int32_t extraWidth = 0, extraHeight = 0;

// Three columns (not a multiple of 4: the rows are padded), two rows, palette entry 240 red.
constexpr int32_t kWidth = 3, kHeight = 2;
const uint8_t kBits[] = {10, 240, 200, 0, 100, 50, 240, 0};

void WindowBody() {
  DisplayWindow created = CreateDisplayWindow(module, 103, &extraWidth, &extraHeight);
  window = created;
  PlaceDisplayWindow(created, 0, 0, 300 + extraWidth, 200 + extraHeight);
  SetEvent(windowReady);
  PumpDisplayEvents();
  DestroyDisplayWindow(created);
}

void NeverPumps() {
  for (;;)
    Sleep(1000);
}

void Window(const char* moduleName) {
  static BitmapInfo info{};
  info.bmiHeader = {sizeof(BitmapInfoHeader), kWidth, -kHeight, 1, 8, 0, 0, 0, 0, 256, 0};
  for (int i = 0; i < 256; ++i)
    info.bmiColors[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i),
                         0};
  info.bmiColors[240] = {0, 0, 240, 0};

  module = LoadResourceModule(moduleName);
  windowReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DisplayThread* thread = StartDisplayThread(WindowBody);
  bool ready = WaitForSingleObject(windowReady, 10000) == WAIT_OBJECT_0;
  HWND hwnd = reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(window.load())));
  RECT client{};
  GetClientRect(hwnd, &client);
  POINT origin{0, 0};
  ClientToScreen(hwnd, &origin);
  char caption[64] = {};
  GetWindowTextA(hwnd, caption, sizeof caption);
  std::printf("module %d\nready %d\nclient %ld %ld %ld %ld\ncaption %s\n", module != nullptr, ready,
              origin.x, origin.y, client.right, client.bottom, caption);
  std::fflush(stdout);

  // Painted again and again, as the worker does, until the test has read the screen: the
  // dialog's own erasing may come after any one paint.
  std::atomic<bool> lineRead{false};
  std::thread reader([&] {
    char line[16];
    std::fgets(line, sizeof line, stdin);
    lineRead = true;
  });
  while (!lineRead) {
    PaintDisplayWindow(window, &info, kBits);
    Sleep(50);
  }
  reader.join();
  PostDisplayQuit(thread);
  std::printf("ended %d\n", WaitDisplayThread(thread, 1000));
  CloseDisplayThread(thread);
  // The window is gone: these paints must return without drawing anywhere.
  PaintDisplayWindow(window, &info, kBits);
  PaintDisplayWindow(0, &info, kBits);
  std::printf("painted\n");
  std::fflush(stdout);
  char line[16];
  std::fgets(line, sizeof line, stdin);
}

void Terminate() {
  DisplayThread* thread = StartDisplayThread(NeverPumps);
  PostDisplayQuit(thread);
  std::printf("ended %d\n", WaitDisplayThread(thread, 1000));
  TerminateDisplayThread(thread);
  std::printf("terminated %d\n", WaitDisplayThread(thread, 1000));
  CloseDisplayThread(thread);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "terminate") == 0)
    Terminate();
  else
    Window(argc > 2 ? argv[2] : "DispResources");
  return 0;
}
