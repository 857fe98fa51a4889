#include "grabber_double.h"

#include <cstring>

#include "acquisition/session.h"

// The session's handles, which the camera files load into; the session itself is not linked.
CORCAM hCam = 0;
CORVIC hVic = 0;

namespace {
std::vector<grabber_double::Load> loads;
CORSTATUS cameraLoadStatus = 0;
CORSTATUS vicLoadStatus = 0;
std::string statusText;
}  // namespace

namespace grabber_double {

void Reset() {
  loads.clear();
  cameraLoadStatus = vicLoadStatus = 0;
  statusText = "No such file";
}

const std::vector<Load>& Loads() {
  return loads;
}

void FailCameraLoad(CORSTATUS status) {
  cameraLoadStatus = status;
}

void FailVicLoad(CORSTATUS status) {
  vicLoadStatus = status;
}

void SetStatusText(const std::string& text) {
  statusText = text;
}

}  // namespace grabber_double

CORSTATUS CorCamLoad(CORCAM cam, const char* path) {
  loads.push_back({"CorCamLoad", cam, path});
  return cameraLoadStatus;
}

CORSTATUS CorVicLoad(CORVIC vic, const char* path) {
  loads.push_back({"CorVicLoad", vic, path});
  return vicLoadStatus;
}

CORSTATUS CorManGetStatusText(CORSTATUS, char* text, uint32_t size, char*, uint32_t) {
  if (statusText.empty() || size == 0) return 1;
  std::strncpy(text, statusText.c_str(), size - 1);
  text[size - 1] = '\0';
  return 0;
}
