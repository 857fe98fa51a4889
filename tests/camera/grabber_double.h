// The three grabber calls that loading a camera mode makes, standing in for the grabber library:
// loads are recorded and fail with the status a test gives; the status text is the test's.
#pragma once

#include <string>
#include <vector>

#include "vendor/corapi.h"

namespace grabber_double {

struct Load {
  std::string call;  // "CorCamLoad" or "CorVicLoad"
  CORHANDLE handle;
  std::string path;
};

// Clears the record; loads succeed and every status has `statusText` until a test says otherwise.
void Reset();
const std::vector<Load>& Loads();
void FailCameraLoad(CORSTATUS status);
void FailVicLoad(CORSTATUS status);
// The library's text for every status; none when empty (the text request then fails).
void SetStatusText(const std::string& text);

}  // namespace grabber_double
