#include "fakes/fake_sync_create.h"

#include <mutex>
#include <new>

#include "platform/sync.h"

namespace {
std::mutex mutex;
int semaphores = 0, threads = 0;
int refusedSemaphore = 0, refusedThread = 0;
}  // namespace

namespace fake {

void ResetSyncCreate() {
  std::lock_guard lock(mutex);
  semaphores = threads = refusedSemaphore = refusedThread = 0;
}

void RefuseSemaphore(int nth) {
  std::lock_guard lock(mutex);
  refusedSemaphore = nth;
}

void RefuseThread(int nth) {
  std::lock_guard lock(mutex);
  refusedThread = nth;
}

int SemaphoresAskedFor() {
  std::lock_guard lock(mutex);
  return semaphores;
}

int ThreadsAskedFor() {
  std::lock_guard lock(mutex);
  return threads;
}

}  // namespace fake

namespace platform {

CountingSemaphore* NewCountingSemaphore(int initialCount, int maximumCount) {
  {
    std::lock_guard lock(mutex);
    if (++semaphores == refusedSemaphore) return nullptr;
  }
  return new (std::nothrow) CountingSemaphore(initialCount, maximumCount);
}

bool StartThread(std::thread& thread, std::function<void()> body) {
  {
    std::lock_guard lock(mutex);
    if (++threads == refusedThread) return false;
  }
  thread = std::thread(std::move(body));
  return true;
}

}  // namespace platform
