// The live view's window system on Win32: a modeless dialog from the resource-only DLL, a thread
// with a message queue, a DIB section stretched onto the window with StretchBlt.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "platform/display.h"

static_assert(sizeof(BITMAPINFOHEADER) == sizeof(platform::BitmapInfoHeader));
static_assert(sizeof(RGBQUAD) == sizeof(platform::RgbQuad));

namespace platform {

namespace {

// Window handles are 32-bit values on 64-bit Windows too (sign-extended when widened).
DisplayWindow ToDisplayWindow(HWND window) {
  return static_cast<DisplayWindow>(reinterpret_cast<uintptr_t>(window));
}
HWND ToHwnd(DisplayWindow window) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(window)));
}

// Worked out when the dialog is initialised, on the thread that creates it.
thread_local int32_t frameExtraWidth = 0;
thread_local int32_t frameExtraHeight = 0;

INT_PTR CALLBACK DisplayDlgProc(HWND, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  frameExtraWidth = 2 * GetSystemMetrics(SM_CXFRAME);
  frameExtraHeight = 2 * GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYMENU) +
                     GetSystemMetrics(SM_CYCAPTION);
  return TRUE;
}

// The template used when the resource module or its template is missing: what
// DispResources.rc gives, a captioned, sizable popup without controls.
struct DefaultTemplate {
  DLGTEMPLATE header;
  WORD menu = 0;
  WORD windowClass = 0;
  wchar_t caption[17] = L"Camera live view";
};
static_assert(offsetof(DefaultTemplate, menu) == sizeof(DLGTEMPLATE));

HWND CreateDefaultDialog() {
  alignas(4) static DefaultTemplate dialog{};
  dialog.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
  dialog.header.cx = 320;
  dialog.header.cy = 240;
  return CreateDialogIndirectParamA(GetModuleHandleA(nullptr), &dialog.header, nullptr,
                                    DisplayDlgProc, 0);
}

}  // namespace

ResourceModule* LoadResourceModule(const char* name) {
  return reinterpret_cast<ResourceModule*>(LoadLibraryA(name));
}

void FreeResourceModule(ResourceModule* module) {
  if (module) FreeLibrary(reinterpret_cast<HMODULE>(module));
}

DisplayWindow CreateDisplayWindow(ResourceModule* module, int templateId, int32_t* extraWidth,
                                  int32_t* extraHeight) {
  HWND window = nullptr;
  if (module)
    window = CreateDialogParamA(reinterpret_cast<HINSTANCE>(module), MAKEINTRESOURCEA(templateId),
                                nullptr, DisplayDlgProc, 0);
  if (!window) window = CreateDefaultDialog();
  *extraWidth = frameExtraWidth;
  *extraHeight = frameExtraHeight;
  return ToDisplayWindow(window);
}

void PlaceDisplayWindow(DisplayWindow window, int32_t x, int32_t y, int32_t outerWidth,
                        int32_t outerHeight) {
  if (window)
    SetWindowPos(ToHwnd(window), HWND_NOTOPMOST, x, y, outerWidth, outerHeight, SWP_SHOWWINDOW);
}

void DestroyDisplayWindow(DisplayWindow window) {
  if (window) DestroyWindow(ToHwnd(window));
}

void PaintDisplayWindow(DisplayWindow handle, const BitmapInfo* info, const uint8_t* bits) {
  HWND window = ToHwnd(handle);
  // GetDC of no window is the whole screen: a paint without a window draws nothing.
  if (!handle || !IsWindow(window)) return;
  int32_t width = info->bmiHeader.biWidth;
  int32_t height =
      info->bmiHeader.biHeight < 0 ? -info->bmiHeader.biHeight : info->bmiHeader.biHeight;
  if (width <= 0 || height <= 0) return;

  RECT client;
  if (!GetClientRect(window, &client)) return;
  HDC windowDc = GetDC(window);
  if (!windowDc) return;
  HDC memoryDc = CreateCompatibleDC(windowDc);
  void* sectionBits = nullptr;
  HBITMAP section = CreateDIBSection(windowDc, reinterpret_cast<const BITMAPINFO*>(info),
                                     DIB_RGB_COLORS, &sectionBits, nullptr, 0);
  if (memoryDc && section && sectionBits) {
    HGDIOBJ previous = SelectObject(memoryDc, section);
    std::memcpy(sectionBits, bits, static_cast<size_t>(BitmapStride(width)) * height);
    SetStretchBltMode(windowDc, COLORONCOLOR);
    StretchBlt(windowDc, 0, 0, client.right, client.bottom, memoryDc, 0, 0, width, height, SRCCOPY);
    SelectObject(memoryDc, previous);
  }
  if (memoryDc) DeleteDC(memoryDc);
  if (section) DeleteObject(section);
  ReleaseDC(window, windowDc);
}

struct DisplayThread {
  HANDLE handle = nullptr;
  DWORD id = 0;
};

namespace {

DWORD WINAPI RunDisplayThread(LPVOID body) {
  reinterpret_cast<void (*)()>(body)();
  return 0;
}

}  // namespace

DisplayThread* StartDisplayThread(void (*body)()) {
  auto* thread = new DisplayThread;
  thread->handle =
      CreateThread(nullptr, 0, RunDisplayThread, reinterpret_cast<LPVOID>(body), 0, &thread->id);
  return thread;
}

void PumpDisplayEvents() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void PostDisplayQuit(DisplayThread* thread) {
  if (thread->handle) PostThreadMessageA(thread->id, WM_QUIT, 0, 0);
}

bool WaitDisplayThread(DisplayThread* thread, uint32_t timeoutMs) {
  return thread->handle && WaitForSingleObject(thread->handle, timeoutMs) == WAIT_OBJECT_0;
}

void TerminateDisplayThread(DisplayThread* thread) {
  if (thread->handle) TerminateThread(thread->handle, 0);
}

void CloseDisplayThread(DisplayThread* thread) {
  if (thread->handle) CloseHandle(thread->handle);
  delete thread;
}

}  // namespace platform
