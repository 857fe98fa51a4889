#include "platform/text_file.h"

namespace platform {

FILE* OpenTextFile(const char* path) {
  return std::fopen(path, "r");
}

char* ReadTextLine(char* buffer, int size, FILE* file) {
  return std::fgets(buffer, size, file);
}

}  // namespace platform
