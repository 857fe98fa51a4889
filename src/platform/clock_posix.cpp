#include <chrono>
#include <thread>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform/clock.h"

namespace platform {

void SleepMs(uint32_t ms) {
#ifdef __linux__
  // The default slack lets each wake-up come up to 50 µs late, and a measurement sleeps a
  // thousand times: ask once per sleeping thread for wake-ups on time.
  thread_local const bool onTime = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
  (void)onTime;
#endif
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace platform
