// The camera's replies as the command protocol reads them, through a scripted serial port: each
// write takes one script byte (odd: the write fails), each read one more (none left: the read
// times out). Whatever the camera says, a command is sent at most four times, its result is an
// 'o' seen, and the waits stay within their bounds.
#include <cstdint>
#include <cstdlib>

#include "camera/camera_protocol.h"
#include "camera/serial_port.h"
#include "fakes/virtual_clock.h"

namespace {

const uint8_t* script = nullptr;
size_t scriptLeft = 0;
int writes = 0;
int reads = 0;
bool sawAcknowledgement = false;

bool Take(uint8_t* byte) {
  if (scriptLeft == 0) return false;
  *byte = *script++;
  --scriptLeft;
  return true;
}

}  // namespace

bool OpenCameraPort() {
  return true;
}
void CloseCameraPort() {}
bool SerialWrite(const uint8_t*, uint32_t) {
  ++writes;
  uint8_t control = 0;
  return Take(&control) && (control & 1) == 0;
}
bool SerialRead(uint8_t* buffer, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    ++reads;
    if (!Take(&buffer[i])) return false;
    if (buffer[i] == 'o') sawAcknowledgement = true;
  }
  return true;
}
bool SerialFlush() {
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  script = data;
  scriptLeft = size;
  writes = reads = 0;
  sawAcknowledgement = false;
  fake::ResetVirtualClock();
  const char command[] = ":MGA=042\r";
  bool acknowledged = SendCameraCommand(command, sizeof command - 1);
  if (writes < 1 || writes > 4 || reads > 3 * writes) std::abort();
  if (acknowledged != sawAcknowledgement) std::abort();
  // Each sending waits for its reply once; the serial bounds are the port's own.
  if (fake::VirtualNowMs() > 4 * 1000) std::abort();
  return 0;
}
