// The display worker on the grabber fake, without a display: when it paints, what it reads, and
// how it ends.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "acquisition/frame_ring.h"
#include "fakes/fake_corapi.h"
#include "liveview/live_view.h"

namespace {

using namespace std::chrono_literals;

class DisplayWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    fake::ResetGrabber();
    BuildDisplayTables();
    imageWidth = 8;
    imageHeight = 4;
    bytesPerPixel = 1;
    CORSERVER server = CorManGetLocalServer();
    for (CORBUFFER& buffer : hHostBufferMono)
      ASSERT_EQ(
          CorBufferNew(server, 8, 4, CORDATA_FORMAT_MONO8, CORBUFFER_VAL_TYPE_CONTIGUOUS, &buffer),
          0u);
    semaphore_ = std::make_unique<platform::CountingSemaphore>(0, 3);
    hFrameSemaphore = semaphore_.get();
    stopWorker = false;
    workerStarted = false;
    worker_ = std::async(std::launch::async, [] { return DisplayWorker(nullptr); });
    while (!workerStarted)
      std::this_thread::yield();
  }

  void TearDown() override {
    if (worker_.valid()) Stop();
    hFrameSemaphore = nullptr;
  }

  // One frame signal, returned once the worker has taken it. Since the worker takes the next
  // signal only after it is done with the one before, every earlier signal is then handled.
  void Signal() {
    ASSERT_TRUE(semaphore_->Release());
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (semaphore_->Count() > 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker stopped taking signals";
      std::this_thread::yield();
    }
  }
  void Signals(int count) {
    for (int i = 0; i < count; ++i)
      Signal();
  }
  // The stop request as the session makes it; the worker's exit code.
  uint32_t Stop() {
    stopWorker = true;
    semaphore_->Release();
    return Finished();
  }
  uint32_t Finished() {
    EXPECT_EQ(worker_.wait_for(5s), std::future_status::ready);
    return worker_.get();
  }
  static size_t AddressRequests() { return fake::CorCallsOf("CorBufferGetPrm").size(); }

  std::unique_ptr<platform::CountingSemaphore> semaphore_;
  std::future<uint32_t> worker_;
};

TEST_F(DisplayWorkerTest, StopAfterTwentySignalsEndsWithoutAPaint) {
  Signals(20);
  EXPECT_EQ(Stop(), 0u);
  EXPECT_EQ(AddressRequests(), 0u);
}

TEST_F(DisplayWorkerTest, StopWhileWaitingEndsAtTheNextWakeUp) {
  EXPECT_EQ(worker_.wait_for(50ms), std::future_status::timeout) << "ended without a signal";
  EXPECT_EQ(Stop(), 0u);
  EXPECT_EQ(AddressRequests(), 0u);
}

TEST_F(DisplayWorkerTest, PaintsAtThe21stAnd42ndSignalFromTheNewestFrame) {
  // The ring after frames into buffers 0, 1, 2, 0: the head's slot names buffer 1, which the
  // grabber is refilling; the newest complete frame is in buffer 0.
  frameRing[0] = 0;
  frameRing[1] = 1;
  frameRing[2] = 2;
  frameRingHead = 1;
  Signals(20);
  Signal();  // 21st
  Signal();  // taken only after the 21st is painted
  ASSERT_EQ(AddressRequests(), 1u);
  fake::CorCall request = fake::CorCallsOf("CorBufferGetPrm")[0];
  EXPECT_EQ(request.args[0], hHostBufferMono[0]);
  EXPECT_EQ(request.args[1], CORBUFFER_PRM_ADDRESS);

  Signals(19);  // up to the 41st
  EXPECT_EQ(AddressRequests(), 1u);
  Signals(2);  // the 42nd, and one more to know it is done
  EXPECT_EQ(AddressRequests(), 2u);
  EXPECT_EQ(Stop(), 0u);
}

TEST_F(DisplayWorkerTest, NullAddressIsReportedAndTheWorkerGoesOn) {
  fake::FailCorCall("CorBufferGetPrm", 1, 0);  // success without an address
  testing::internal::CaptureStdout();
  Signals(22);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "pbuf_addr is NULL!\n");
  Signals(21);
  EXPECT_EQ(AddressRequests(), 2u);
  EXPECT_EQ(Stop(), 0u);
}

TEST_F(DisplayWorkerTest, FailedAddressRequestIsReportedAndEndsTheWorkerWithItsStatus) {
  const CORSTATUS status = (5u << 22) | (0x12u << 8) | 0x07;
  fake::FailCorCall("CorBufferGetPrm", 1, status);
  fake::SetStatusText(status, "No such buffer");
  testing::internal::CaptureStdout();
  Signals(21);
  EXPECT_EQ(Finished(), status);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "CorBufferGetPrm(hHostBufferMono[bufferIndex], CORBUFFER_PRM_ADDRESS, &pbuf_addr)\n"
            "   Error in module 0x5 (status = 0x7, info = 0x12)\n"
            "   <No such buffer>\n");
}

}  // namespace
