#include "fakes/virtual_clock.h"

#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace {
std::mutex mutex;
uint64_t nowMs = 0;
std::vector<uint32_t> sleeps;
std::function<void(uint64_t)> hook;
}  // namespace

namespace fake {

void ResetVirtualClock() {
  std::lock_guard lock(mutex);
  nowMs = 0;
  sleeps.clear();
  hook = nullptr;
}

uint64_t VirtualNowMs() {
  std::lock_guard lock(mutex);
  return nowMs;
}

std::vector<uint32_t> Sleeps() {
  std::lock_guard lock(mutex);
  return sleeps;
}

void OnVirtualSleep(std::function<void(uint64_t)> newHook) {
  std::lock_guard lock(mutex);
  hook = std::move(newHook);
}

}  // namespace fake

namespace platform {

void SleepMs(uint32_t ms) {
  std::function<void(uint64_t)> callHook;
  uint64_t now;
  {
    std::lock_guard lock(mutex);
    nowMs += ms;
    sleeps.push_back(ms);
    now = nowMs;
    callHook = hook;
  }
  if (callHook) callHook(now);
  // Lets other threads of a test (a grabber fake delivering frames) run between sleeps.
  std::this_thread::yield();
}

uint64_t NowMs() {
  return fake::VirtualNowMs();
}

}  // namespace platform
