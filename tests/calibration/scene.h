// The camera and instrument as the calibration sees them in unit tests: the grabber fake's three
// buffers refilled as virtual time passes, the bridge fake's light writes and the camera commands
// (through a stand-in of the command protocol) changing what the frames show.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sensor_model.h"

namespace scene {

// What a frame shows: the two taps' values (sensor units: 0..255 or 0..1023) for the camera's
// settings, the light level and the virtual time.
using TapValues = std::function<std::pair<int, int>(const sim::Exposure& exposure)>;

// The grabber fake's session as the acquisition session makes it: geometry, three host buffers,
// the transfer and one callback registration per buffer.
void OpenFakeSession(int width, int height, int depth);

// Sets up the fakes for camera mode `mode` (geometry, buffers, transfer, callbacks) and delivers
// a new frame at the end of every virtual sleep of the calibration. Frames come
// from `values` (uniform per tap) or, when `model` is given, from the sensor model.
void Start(int mode, TapValues values);
void Start(int mode, sim::SensorModel* model);
void Stop();

// No frame comes any more once a command starting with `prefix` has been sent (call after Start).
void StopFramesAtCommand(const std::string& prefix);

// The commands the calibration sent, in order, as text.
std::vector<std::string> CameraCommands();
// The levels sent to the light, in order, failed writes included.
std::vector<int> LightWrites();
// The camera settings and light as they stand.
sim::Exposure Current();

}  // namespace scene
