// A second program opening the camera port, as another tool would: exits with 0 when
// OpenCameraPort succeeded, 1 when it failed.
#include "camera/serial_port.h"

int main() {
  bool opened = OpenCameraPort();
  CloseCameraPort();
  return opened ? 0 : 1;
}
