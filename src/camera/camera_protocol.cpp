// Minimal until the camera link is built: no command reaches a camera.
#include "camera/camera_protocol.h"

bool SendCameraCommand(const char*, uint32_t) {
  return false;
}
CORSTATUS LoadCameraMode(int) {
  return 0;
}
bool SendModePreset(int) {
  return false;
}
