#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace {

// A measurement sleeps a thousand times; the kernel's default slack would add up to 50 ms to it.
TEST(Clock, SleepsAtLeastTheirTimeWithoutTimerSlack) {
  std::thread sleeper([] {
    auto start = std::chrono::steady_clock::now();
    platform::SleepMs(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK), 1);
  });
  sleeper.join();
}

}  // namespace
