// What the rest of the tool reads while frames arrive: the open mode's geometry, the host buffers,
// the frame ring that the end-of-frame callback writes, and the frame semaphore it releases.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "vendor/corapi.h"

// Geometry of the open camera mode, set by OpenSession before any other thread reads it.
extern int32_t imageWidth;
extern int32_t imageHeight;
extern int32_t pixelDepth;
extern int32_t bytesPerPixel;
extern uint32_t dataFormat;

// The three host buffers of the open session; 0 when not held.
extern CORBUFFER hHostBufferMono[3];

// One record per host buffer; its address is the context registered for that buffer.
struct BufferStatus {
  std::atomic<uint32_t> index;
  std::atomic<uint32_t> lastEventValue;
  std::atomic<uint32_t> callbackCount;  // never reset: counts over all modes
  std::atomic<uint32_t> reserved;
};
extern BufferStatus bufferStatus[3];

// Indices of the last three completed buffers, and the slot the next end-of-frame writes (the
// oldest of the three). Written only by XferCallback; read without a lock.
extern std::atomic<uint32_t> frameRing[3];
extern std::atomic<uint32_t> frameRingHead;
extern std::atomic<uint32_t> frameCount;

// Released once per end-of-frame (count capped at 3); waited on only by the display worker.
// Created by OpenSession, deleted by CloseSession; null when no session is open.
extern std::atomic<platform::CountingSemaphore*> hFrameSemaphore;

// The end-of-frame callback; `context` is the BufferStatus of the buffer just filled.
CORSTATUS CORCALLBACK XferCallback(void* context, uint32_t eventType, uint32_t eventValue);

// The buffer index of the newest completed frame. The slot at the head names the buffer the
// grabber is refilling at this moment, so readers take the one written just before it.
inline uint32_t NewestFrameBuffer() {
  uint32_t head = frameRingHead.load(std::memory_order_acquire);
  return frameRing[(head + 2) % 3].load(std::memory_order_relaxed);
}
