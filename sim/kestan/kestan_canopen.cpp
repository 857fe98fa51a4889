// Minimal until the bridge link is built: no bridge can be found or reached.
#include "vendor/kestan_canopen.h"

int CAN_EnumerateBridges(BridgeRecord*, int) {
  return -1;
}
int CAN_Connect(uint32_t) {
  return -1;
}
int CAN_SDORead(int, int, int, void*, int, void*) {
  return 0;
}
int CAN_SDOWrite(int, int, int, void*, int, void*) {
  return 0;
}
