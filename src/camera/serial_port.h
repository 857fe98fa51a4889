// The camera's serial port "COM3": 9600 baud 8N1, no flow control, opened exclusively, with
// one-second bounds on every wait. Only the main thread uses it, one call at a time.
// POSIX: the terminal device named by TAPCAL_COM3, else /dev/ttyS2.
#pragma once

#include <cstdint>

// False (after "Cannot open communications port") only when the port cannot be opened, also
// because another program holds it. A port that opens but refuses the line mode is given up
// silently and the result is still true; every later write and read then fails at once.
bool OpenCameraPort();
// Closes the port if one is open; the next session opens it anew.
void CloseCameraPort();
// True when all `count` bytes were written, one byte per system write, each within one second.
// A `count` of 0 is true and sends nothing.
bool SerialWrite(const uint8_t* data, uint32_t count);
// True when exactly `count` bytes arrived within one second; what did arrive is in `buffer`
// either way. A byte already waiting is returned without a wait.
bool SerialRead(uint8_t* buffer, uint32_t count);
// Drains the output; true when that succeeded.
bool SerialFlush();
