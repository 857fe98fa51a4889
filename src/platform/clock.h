// The one seam for sleeping and reading the clock, so that tests can run the tool's waits on a
// virtual clock. The tool links clock_posix.cpp (or clock_win32.cpp); unit tests link a virtual
// one.
#pragma once

#include <cstdint>

namespace platform {

// Sleeps at least `ms` milliseconds.
void SleepMs(uint32_t ms);

// Monotonic milliseconds since an arbitrary start.
uint64_t NowMs();

}  // namespace platform
