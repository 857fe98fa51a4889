// A modal message box with no owner, the system's default caption and an OK button. Without a
// display the text goes to standard error.
#pragma once

namespace platform {

void ShowMessageBox(const char* text);

}  // namespace platform
