// The frame grabber's servers for the run, and one acquisition session per camera mode.
#pragma once

#include "vendor/corapi.h"

// The servers, open from OpenServers to ReleaseServers; 0 when not held.
extern CORSERVER hHostServer;
extern CORSERVER hX64Server;
// Session handles, one set reused for every camera mode; 0 when not held, and kept when their
// release fails. The camera files are loaded into hCam and hVic.
extern CORCAM hCam;
extern CORVIC hVic;
extern CORACQ hAcq;
extern CORXFER hXferAcqToHost;

// 0, or the status of the failed board-server lookup (already reported).
CORSTATUS OpenServers();
// Board server first, then host server; a failure is reported and the other is still released.
void ReleaseServers();
// Opens the camera port, loads the mode's files and preset, sets the geometry, creates the three
// host buffers, the transfer with one callback per buffer, the frame semaphore and the display
// worker. False at the first failure (reported), with everything opened so far left in place.
bool OpenSession(int mode);
// Continuous grabbing; false when it could not start (reported).
bool StartGrab();
// Stops grabbing, waiting up to 2000 ms and aborting after that; false only when the stop request
// itself failed.
bool StopGrab();
// Closes the camera port, ends the worker, then releases everything the session holds; reports
// each failure and goes on.
void CloseSession();
