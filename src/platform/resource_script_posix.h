// The resource module on POSIX: a resource script (.rc, the source the Windows build compiles
// into the module) read for its dialog templates.
#pragma once

#include <string>

#include "platform/display.h"

namespace platform {

// What a dialog template asks of its window here.
struct DialogTemplate {
  std::string caption = "Camera live view";
  bool captioned = true;  // a title bar (WS_CAPTION)
  bool resizable = true;  // a sizing frame (WS_THICKFRAME)
};

// Template `id` of `module`; the defaults above when the module or the template is missing.
DialogTemplate FindDialogTemplate(const ResourceModule* module, int id);

}  // namespace platform
