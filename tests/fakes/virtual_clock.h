// The virtual clock that unit tests link in place of the real one: SleepMs advances it at once.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace fake {

void ResetVirtualClock();
uint64_t VirtualNowMs();
// Every SleepMs since the last reset, in order.
std::vector<uint32_t> Sleeps();
// Called after every virtual sleep with the new time (for fakes whose state changes over time).
void OnVirtualSleep(std::function<void(uint64_t nowMs)> hook);

}  // namespace fake
