#include "acquisition/status.h"

#include <cstdio>

namespace {
char statusText[256];
char statusMessage[257];
}  // namespace

CORSTATUS CheckStatus(const char* text, CORSTATUS status) {
  if (status == 0) return 0;
  std::printf("%s\n", text);
  unsigned long module = (status >> 22) & 0x3F;
  unsigned long code = status & 0xFF;
  unsigned long info = (status >> 8) & 0xFFF;
  statusText[0] = '\0';
  if (CorManGetStatusText(status, statusText, sizeof statusText, nullptr, 0) == 0) {
    statusText[sizeof statusText - 1] = '\0';  // never trust the library to terminate it
    int head = std::snprintf(statusMessage, sizeof statusMessage,
                             "   Error in module 0x%lX (status = 0x%lX, info = 0x%lX)\n   <",
                             module, code, info);
    // A text too long for the line is cut short, so that the line still closes with ">\n".
    int room = static_cast<int>(sizeof statusMessage) - head - 3;
    std::snprintf(statusMessage + head, sizeof statusMessage - static_cast<size_t>(head), "%.*s>\n",
                  room, statusText);
  } else {
    std::snprintf(statusMessage, sizeof statusMessage,
                  "   Error in module 0x%lX (status = 0x%lX, info = 0x%lX)\n", module, code, info);
  }
  std::fputs(statusMessage, stdout);
  return status;
}
