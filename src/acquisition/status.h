// The one way a failed frame-grabber call is reported on the console.
#pragma once

#include "vendor/corapi.h"

// Prints nothing for status 0. Otherwise prints `text` on its own line, then the decoded status
// (module, status and info fields) with the library's text for it when the library has one.
// Returns `status` unchanged.
CORSTATUS CheckStatus(const char* text, CORSTATUS status);
