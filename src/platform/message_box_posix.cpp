#include <cstdio>

#include "platform/message_box.h"

namespace platform {

// Without a display there is nobody to click OK: the text goes where an operator's log goes.
void ShowMessageBox(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace platform
