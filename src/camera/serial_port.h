// The camera's serial port "COM3": 9600 baud 8N1, no flow control, one-second bounds on every
// wait. Only the main thread uses it. The POSIX side finds the device through TAPCAL_COM3.
#pragma once

#include <cstdint>

// False (after "Cannot open communications port") only when the port cannot be opened; a port
// that opens but refuses the line mode is given up silently and the result is still true.
bool OpenCameraPort();
void CloseCameraPort();
// True when all `count` bytes were written, one byte per system write.
bool SerialWrite(const uint8_t* data, uint32_t count);
// True when exactly `count` bytes arrived within the one-second bound.
bool SerialRead(uint8_t* buffer, uint32_t count);
// Drains the output; true when that succeeded.
bool SerialFlush();
