#include <windows.h>

#include "platform/clock.h"

namespace platform {

void SleepMs(uint32_t ms) {
  Sleep(ms);
}

uint64_t NowMs() {
  return GetTickCount64();
}

}  // namespace platform
