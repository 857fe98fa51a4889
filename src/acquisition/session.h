// The frame grabber's servers for the run, and one acquisition session per camera mode.
#pragma once

#include "vendor/corapi.h"

CORSTATUS OpenServers();
void ReleaseServers();
bool OpenSession(int mode);
bool StartGrab();
bool StopGrab();
void CloseSession();
