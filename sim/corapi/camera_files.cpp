#include "camera_files.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <map>

#include "vendor/corapi.h"

namespace corapi_sim {

namespace {

struct Entry {
  std::string value;
  uint32_t line;
};
using Sections = std::map<std::string, std::map<std::string, Entry>>;

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

FileResult ReadSections(const std::string& path, Sections* sections) {
  std::ifstream in(NativePath(path), std::ios::binary);
  if (!in) return {FileError::cannotOpen, 0};
  std::string section;
  uint32_t number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return {FileError::badFormat, number};
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos || section.empty()) return {FileError::badFormat, number};
    std::string key = Lower(Trim(line.substr(0, equals)));
    if (key.empty()) return {FileError::badFormat, number};
    (*sections)[section][key] = {Trim(line.substr(equals + 1)), number};
  }
  return {};
}

// A decimal number within [low, high] from `section`/`key`.
FileResult Number(const Sections& sections, const char* section, const char* key, uint32_t low,
                  uint32_t high, uint32_t* out) {
  auto s = sections.find(section);
  if (s == sections.end()) return {FileError::missingKey, 0};
  auto k = s->second.find(key);
  if (k == s->second.end()) return {FileError::missingKey, 0};
  const std::string& text = k->second.value;
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return {FileError::badValue, k->second.line};
  *out = value;
  return {};
}

constexpr uint32_t kMaxSide = 8192;

}  // namespace

std::string NativePath(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

FileResult LoadCameraFile(const std::string& path, CameraDescription* out) {
  Sections sections;
  FileResult result = ReadSections(path, &sections);
  CameraDescription camera;
  if (result.error == FileError::none)
    result = Number(sections, "camera", "width", 1, kMaxSide, &camera.width);
  if (result.error == FileError::none)
    result = Number(sections, "camera", "height", 1, kMaxSide, &camera.height);
  if (result.error == FileError::none)
    result = Number(sections, "camera", "pixeldepth", 8, 16, &camera.pixelDepth);
  if (result.error == FileError::none) *out = camera;
  return result;
}

FileResult LoadVicFile(const std::string& path, VicDescription* out) {
  Sections sections;
  FileResult result = ReadSections(path, &sections);
  VicDescription vic;
  if (result.error == FileError::none)
    result = Number(sections, "acquisition", "width", 1, kMaxSide, &vic.width);
  if (result.error == FileError::none)
    result = Number(sections, "acquisition", "height", 1, kMaxSide, &vic.height);
  if (result.error != FileError::none) return result;
  auto s = sections.find("acquisition");
  auto k = s->second.find("outputformat");
  if (k == s->second.end()) return {FileError::missingKey, 0};
  std::string format = Lower(k->second.value);
  if (format == "mono8")
    vic.outputFormat = CORDATA_FORMAT_MONO8;
  else if (format == "mono16")
    vic.outputFormat = CORDATA_FORMAT_MONO16;
  else
    return {FileError::badValue, k->second.line};
  *out = vic;
  return {};
}

}  // namespace corapi_sim
