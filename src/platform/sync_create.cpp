#include <new>

#include "platform/sync.h"

namespace platform {

CountingSemaphore* NewCountingSemaphore(int initialCount, int maximumCount) {
  return new (std::nothrow) CountingSemaphore(initialCount, maximumCount);
}

bool StartThread(std::thread& thread, std::function<void()> body) {
  // A refused thread is a system_error; no memory for its start-up, a bad_alloc.
  try {
    thread = std::thread(std::move(body));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace platform
