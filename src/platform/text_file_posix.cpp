#include <string>

#include "platform/text_file.h"

namespace platform {

FILE* OpenTextFile(const char* path) {
  std::string posixPath(path);
  for (char& c : posixPath)
    if (c == '\\') c = '/';
  return std::fopen(posixPath.c_str(), "r");
}

char* ReadTextLine(char* buffer, int size, FILE* file) {
  if (size <= 0) return nullptr;
  int length = 0;
  while (length < size - 1) {
    int c = std::getc(file);
    if (c == EOF) break;
    if (c == '\r') {
      int next = std::getc(file);
      if (next == '\n')
        c = '\n';
      else if (next != EOF)
        std::ungetc(next, file);
    }
    buffer[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (length == 0) return nullptr;
  buffer[length] = '\0';
  return buffer;
}

}  // namespace platform
