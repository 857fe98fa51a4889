// "COM3" on Win32: overlapped I/O with a manual-reset event per direction, every wait bounded by
// one second. A read still outstanding when its wait ends is cancelled and waited for, so that it
// never delivers bytes into a buffer its caller no longer owns.
#include <windows.h>

#include <cstdio>

#include "camera/serial_port.h"

namespace {

constexpr DWORD kWaitBoundMs = 1000;
constexpr int kBaudRate = 9600;

HANDLE hSerialPort = INVALID_HANDLE_VALUE;
OVERLAPPED writeOverlapped{};
OVERLAPPED readOverlapped{};
DCB serialDcb{};

void CloseIfOpen(HANDLE& handle, HANDLE closed) {
  if (handle != closed) CloseHandle(handle);
  handle = closed;
}

// Zeroed offsets and an unnamed manual-reset event, not signalled.
void PrepareOverlapped(OVERLAPPED& overlapped) {
  overlapped = OVERLAPPED{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

bool OpenCameraPort() {
  // A port left open by a session that was never closed would refuse this open (no sharing).
  CloseCameraPort();

  PrepareOverlapped(writeOverlapped);
  PrepareOverlapped(readOverlapped);
  hSerialPort = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (hSerialPort == INVALID_HANDLE_VALUE) {
    std::printf("Cannot open communications port\n");
    return false;
  }

  char lineMode[100];
  std::snprintf(lineMode, sizeof lineMode, "Baud=%d parity=N data=8 stop=1", kBaudRate);
  serialDcb = DCB{};
  serialDcb.DCBlength = sizeof serialDcb;
  GetCommState(hSerialPort, &serialDcb);
  serialDcb.fTXContinueOnXoff = FALSE;
  // No handshaking named: XON/XOFF and hardware flow control stay off.
  if (!BuildCommDCBA(lineMode, &serialDcb) || !SetCommState(hSerialPort, &serialDcb))
    CloseIfOpen(hSerialPort, INVALID_HANDLE_VALUE);  // given up without a word
  return true;
}

void CloseCameraPort() {
  CloseIfOpen(hSerialPort, INVALID_HANDLE_VALUE);
  CloseIfOpen(writeOverlapped.hEvent, nullptr);
  CloseIfOpen(readOverlapped.hEvent, nullptr);
}

bool SerialWrite(const uint8_t* data, uint32_t count) {
  uint32_t i = 0;
  for (; i < count; ++i) {
    DWORD written = 0;
    if (!WriteFile(hSerialPort, &data[i], 1, &written, &writeOverlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
      WaitForSingleObject(writeOverlapped.hEvent, kWaitBoundMs);
      GetOverlappedResult(hSerialPort, &writeOverlapped, &written, TRUE);
      ResetEvent(writeOverlapped.hEvent);
    }
    if (written != 1) break;
  }
  return i == count;
}

bool SerialRead(uint8_t* buffer, uint32_t count) {
  COMMTIMEOUTS timeouts{};
  GetCommTimeouts(hSerialPort, &timeouts);
  DWORD savedConstant = timeouts.ReadTotalTimeoutConstant;
  timeouts.ReadTotalTimeoutConstant = kWaitBoundMs;
  SetCommTimeouts(hSerialPort, &timeouts);

  DWORD errors;
  COMSTAT status;
  ClearCommError(hSerialPort, &errors, &status);

  DWORD got = 0;
  if (!ReadFile(hSerialPort, buffer, count, &got, &readOverlapped) &&
      GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(readOverlapped.hEvent, kWaitBoundMs) == WAIT_OBJECT_0) {
      GetOverlappedResult(hSerialPort, &readOverlapped, &got, TRUE);
    } else {
      // Still outstanding: cancel it and wait until it has ended. Nothing counts as read.
      DWORD late = 0;
      CancelIoEx(hSerialPort, &readOverlapped);
      GetOverlappedResult(hSerialPort, &readOverlapped, &late, TRUE);
      got = 0;
    }
    ResetEvent(readOverlapped.hEvent);
  }

  timeouts.ReadTotalTimeoutConstant = savedConstant;
  SetCommTimeouts(hSerialPort, &timeouts);
  return got == count;
}

bool SerialFlush() {
  return FlushFileBuffers(hSerialPort) != 0;
}
