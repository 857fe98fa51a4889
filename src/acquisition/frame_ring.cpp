#include "acquisition/frame_ring.h"

int32_t imageWidth = 0;
int32_t imageHeight = 0;
int32_t pixelDepth = 0;
int32_t bytesPerPixel = 0;
uint32_t dataFormat = 0;

CORBUFFER hHostBufferMono[3] = {0, 0, 0};
BufferStatus bufferStatus[3];

std::atomic<uint32_t> frameRing[3];
std::atomic<uint32_t> frameRingHead{0};
std::atomic<uint32_t> frameCount{0};
std::atomic<platform::CountingSemaphore*> hFrameSemaphore{nullptr};

CORSTATUS CORCALLBACK XferCallback(void* context, uint32_t, uint32_t eventValue) {
  auto* record = static_cast<BufferStatus*>(context);
  record->lastEventValue.store(eventValue, std::memory_order_relaxed);
  record->callbackCount.fetch_add(1, std::memory_order_relaxed);
  frameCount.fetch_add(1, std::memory_order_relaxed);

  uint32_t head = frameRingHead.load(std::memory_order_relaxed);
  frameRing[head].store(record->index.load(std::memory_order_relaxed), std::memory_order_relaxed);
  // The new head is worked out first and stored in one write: a reader never sees it out of 0..2.
  uint32_t next = head + 1 == 3 ? 0 : head + 1;
  frameRingHead.store(next, std::memory_order_release);

  if (platform::CountingSemaphore* semaphore = hFrameSemaphore.load(std::memory_order_acquire))
    semaphore->Release();  // beyond the cap of 3 the signal is lost, by design
  return 0;
}
