#include "acquisition/status.h"

#include <cstdio>
#include <cstring>

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
    // A text that would not fit the line is cut short, never written past it.
    int length = std::snprintf(statusMessage, sizeof statusMessage,
                               "   Error in module 0x%lX (status = 0x%lX, info = 0x%lX)\n   <%s>\n",
                               module, code, info, statusText);
    if (length >= static_cast<int>(sizeof statusMessage)) {
      // Keep the closing bracket and line end so the console stays readable.
      std::memcpy(statusMessage + sizeof statusMessage - 3, ">\n", 3);
    }
  } else {
    std::snprintf(statusMessage, sizeof statusMessage,
                  "   Error in module 0x%lX (status = 0x%lX, info = 0x%lX)\n", module, code, info);
  }
  std::fputs(statusMessage, stdout);
  return status;
}
