#include <windows.h>

#include "platform/message_box.h"

namespace platform {

// No owner window and no caption: the system's default caption, OK only.
void ShowMessageBox(const char* text) {
  MessageBoxA(nullptr, text, nullptr, MB_OK);
}

}  // namespace platform
