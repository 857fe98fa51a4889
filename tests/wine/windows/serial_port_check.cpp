// A Windows program for the serial port's checks under Wine: runs one of the port's cases on
// "COM3" and prints what each call gave, one "name result milliseconds" line per call.
//   serial_port_check camera   COM3 is the bench's camera
//   serial_port_check other    COM3 is whatever the test made of it (no port, not a terminal)
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "camera/serial_port.h"

namespace {

// Runs `call` and prints its result and how long it took.
template <typename Call>
void Time(const char* name, Call call) {
  DWORD started = GetTickCount();
  bool result = call();
  std::printf("%s %d %lu\n", name, result ? 1 : 0, GetTickCount() - started);
  std::fflush(stdout);
}

bool WriteText(const char* text) {
  return SerialWrite(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

void Camera() {
  uint8_t reply[3] = {};
  Time("open", [&] { return OpenCameraPort(); });
  Time("write-nothing", [&] { return SerialWrite(nullptr, 0); });
  Time("write", [&] { return WriteText(":SMB=4\r"); });
  Time("read-reply", [&] { return SerialRead(reply, 3) && std::memcmp(reply, "o\r\n", 3) == 0; });
  Time("flush", [&] { return SerialFlush(); });
  // A reply already waiting is read at once.
  WriteText(":VRA=001\r");
  Sleep(500);
  Time("read-waiting", [&] { return SerialRead(reply, 1) && reply[0] == 'o'; });
  Time("read-rest", [&] { return SerialRead(reply, 2); });
  // Nothing comes: false after the one-second bound, and the port works on.
  Time("read-silent", [&] { return SerialRead(reply, 1); });
  Time("write-refused", [&] { return WriteText(":VRA=zz\r"); });
  Time("read-refusal", [&] { return SerialRead(reply, 3) && reply[0] == 'e'; });
  CloseCameraPort();
  // Every session opens the port anew.
  Time("reopen", [&] { return OpenCameraPort(); });
  Time("write-again", [&] { return WriteText(":SMB=0\r"); });
  Time("read-again", [&] { return SerialRead(reply, 3) && reply[0] == 'o'; });
  CloseCameraPort();
  CloseCameraPort();
}

void Other() {
  uint8_t reply[3] = {};
  Time("open", [&] { return OpenCameraPort(); });
  Time("write", [&] { return WriteText(":SMB=4\r"); });
  Time("read", [&] { return SerialRead(reply, 3); });
  Time("flush", [&] { return SerialFlush(); });
  CloseCameraPort();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "camera") == 0)
    Camera();
  else
    Other();
  return 0;
}
