// Minimal until the acquisition session is built: no grabber is opened and no session can open.
#include "acquisition/session.h"

#include <cstdio>

CORCAM hCam = 0;
CORVIC hVic = 0;

CORSTATUS OpenServers() {
  return 0;
}
void ReleaseServers() {}
bool OpenSession(int) {
  std::printf("Acquisition session not available in this build\n");
  return false;
}
bool StartGrab() {
  return false;
}
bool StopGrab() {
  return true;
}
void CloseSession() {}
