// The two synchronisation objects the tool shares between threads: a counting semaphore with a cap
// (a release beyond it fails and is lost) and a manual-reset event. Portable, on the standard
// library's mutex and condition variable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

class CountingSemaphore {
 public:
  CountingSemaphore(int initialCount, int maximumCount);
  // Adds one to the count; false (and nothing changes) when the count is already at its maximum.
  bool Release();
  // Waits until the count is above zero, then takes one.
  void Wait();
  // As Wait, but gives up after `timeoutMs`; true when one was taken.
  bool WaitMs(uint32_t timeoutMs);
  int Count();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_;
  const int maximum_;
};

class ManualResetEvent {
 public:
  void Set();
  void Reset();
  // True when the event is (or becomes) set within `timeoutMs`.
  bool WaitMs(uint32_t timeoutMs);
  bool IsSet();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Making them and starting threads is where the system may refuse. These two live apart from the
// rest (sync_create.cpp, a library of its own) so that unit tests can link a version that refuses.

// A new semaphore, or null when none can be made.
CountingSemaphore* NewCountingSemaphore(int initialCount, int maximumCount);
// Runs `body` on a new thread held in `thread`; false, with `thread` untouched, when no thread can
// be started.
bool StartThread(std::thread& thread, std::function<void()> body);

}  // namespace platform
