// Camera commands with their 'o'/'e' acknowledgement, and the four camera modes' files and presets.
#pragma once

#include <cstdint>

#include "vendor/corapi.h"

// True when the camera acknowledged the command with 'o'; at most four sendings. Prints nothing.
bool SendCameraCommand(const char* text, uint32_t length);
// Loads the mode's camera and VIC files and sends its preset; 0, or the failed load's status
// (already reported). A mode outside 0..3 prints, loads and sends nothing and gives 0.
CORSTATUS LoadCameraMode(int mode);
// Sends the mode's preset chain, stopping at the first command not acknowledged; true when every
// command was acknowledged.
bool SendModePreset(int mode);
