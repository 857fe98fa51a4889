// Parsing of option and fault values.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace sim {

// A whole decimal, 0x-hexadecimal or 0-octal number no larger than `max`.
inline bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || number > max) return false;
  *value = number;
  return true;
}

inline bool ParseInt(const std::string& text, int max, int* value) {
  uint64_t number;
  if (!ParseUnsigned(text, static_cast<uint64_t>(max), &number)) return false;
  *value = static_cast<int>(number);
  return true;
}

}  // namespace sim
