// The grabber's camera (.CCA) and VIC (.CVI) files, in our own INI-style format:
//
//   ; comment (also #)
//   [Camera]                      in a .CCA file: what the camera sends
//   Width=640                     pixels per line
//   Height=480                    lines per frame
//   PixelDepth=8                  bits per pixel, 8..16
//
//   [Acquisition]                 in a .CVI file: what the acquisition delivers
//   Width=640                     must match the camera's when the two are applied together
//   Height=480
//   OutputFormat=Mono8            Mono8 or Mono16
//
// Section and key names are case-insensitive, spaces around names and values are ignored, CR LF
// line ends are accepted. A file names its path Windows-style (".\x64tm6740Nd_8_x.CCA"): each
// backslash is a separator.
#pragma once

#include <cstdint>
#include <string>

namespace corapi_sim {

struct CameraDescription {
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t pixelDepth = 8;
};

struct VicDescription {
  uint32_t width = 640;
  uint32_t height = 480;
  uint32_t outputFormat = 0;  // a CORDATA_FORMAT_ value
};

enum class FileError {
  none,
  cannotOpen,  // no such file, or not readable
  badFormat,   // a line that is neither comment, section nor key=value
  missingKey,  // a required key is missing from its section
  badValue,    // a value out of range or of the wrong kind
};

struct FileResult {
  FileError error = FileError::none;
  uint32_t line = 0;  // the offending line, 0 when the problem is not on one line
};

// Fills `out` only when the whole file is valid.
FileResult LoadCameraFile(const std::string& path, CameraDescription* out);
FileResult LoadVicFile(const std::string& path, VicDescription* out);

// A Windows-style path as this system opens it: every backslash a slash.
std::string NativePath(const std::string& path);

}  // namespace corapi_sim
