#include "platform/sync.h"

#include <chrono>

namespace platform {

CountingSemaphore::CountingSemaphore(int initialCount, int maximumCount)
    : count_(initialCount), maximum_(maximumCount) {}

bool CountingSemaphore::Release() {
  {
    std::lock_guard lock(mutex_);
    if (count_ >= maximum_) return false;
    ++count_;
  }
  changed_.notify_one();
  return true;
}

void CountingSemaphore::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool CountingSemaphore::WaitMs(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return count_ > 0; }))
    return false;
  --count_;
  return true;
}

int CountingSemaphore::Count() {
  std::lock_guard lock(mutex_);
  return count_;
}

void ManualResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::WaitMs(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

bool ManualResetEvent::IsSet() {
  std::lock_guard lock(mutex_);
  return set_;
}

}  // namespace platform
