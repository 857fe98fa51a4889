#include <gtest/gtest.h>

#include <thread>

#include "platform/sync.h"

namespace {

TEST(SyncTest, SemaphoreCountStopsAtItsMaximum) {
  platform::CountingSemaphore semaphore(0, 3);
  EXPECT_TRUE(semaphore.Release());
  EXPECT_TRUE(semaphore.Release());
  EXPECT_TRUE(semaphore.Release());
  EXPECT_FALSE(semaphore.Release());  // the surplus signal is lost
  EXPECT_EQ(semaphore.Count(), 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(semaphore.WaitMs(0));
  EXPECT_FALSE(semaphore.WaitMs(10));
}

TEST(SyncTest, SemaphoreWakesAWaiterOnAnotherThread) {
  platform::CountingSemaphore semaphore(0, 3);
  std::thread waiter([&] { semaphore.Wait(); });
  semaphore.Release();
  waiter.join();
  EXPECT_EQ(semaphore.Count(), 0);
}

TEST(SyncTest, ManualResetEventStaysSetUntilReset) {
  platform::ManualResetEvent event;
  EXPECT_FALSE(event.WaitMs(10));
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.WaitMs(5000));
  setter.join();
  EXPECT_TRUE(event.WaitMs(0));
  EXPECT_TRUE(event.WaitMs(0));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
