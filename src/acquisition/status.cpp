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
    // snprintf truncates a text that would not fit the line instead of writing past it.
    std::snprintf(statusMessage, sizeof statusMessage,
                  "   Error in module 0x%lX (status = 0x%lX, info = 0x%lX)\n   <%s>\n", module,
                  code, info, statusText);
  } else {
    std::snprintf(statusMessage, sizeof statusMessage,
                  "   Error in module 0x%lX (status = 0x%lX, info = 0x%lX)\n", module, code, info);
  }
  std::fputs(statusMessage, stdout);
  return status;
}
