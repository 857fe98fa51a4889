// The frame grabber's servers for the run, and one acquisition session per camera mode.
#pragma once

#include "vendor/corapi.h"

// Session handles that the camera files are loaded into; 0 when not held.
extern CORCAM hCam;
extern CORVIC hVic;

CORSTATUS OpenServers();
void ReleaseServers();
bool OpenSession(int mode);
bool StartGrab();
bool StopGrab();
void CloseSession();
