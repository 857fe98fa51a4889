#include <cstdio>
#include <cstring>
#include <vector>

#include "acquisition/frame_ring.h"
#include "acquisition/status.h"
#include "liveview/live_view.h"

std::atomic<bool> stopWorker{false};
std::atomic<bool> workerStarted{false};

namespace {

// Touched only by the worker.
std::vector<uint8_t> displayImage;
int32_t pixelCount = 0;
uint32_t bufferIndex = 0;
void* pbuf_addr = nullptr;
// The bitmap's pixels: palette indices, rows padded to a multiple of 4 bytes.
std::vector<uint8_t> bitmapBits;

// Paints at the 21st, 42nd ... wake-up.
constexpr int kWakeUpsBetweenPaints = 20;

void ReleaseDisplayImage() {
  std::vector<uint8_t>().swap(displayImage);
}

// Reduces the frame at pbuf_addr to 8 bits: a copy, or the top 8 bits of 10-bit samples.
void ConvertFrame() {
  if (bytesPerPixel == 1) {
    std::memcpy(displayImage.data(), pbuf_addr, static_cast<size_t>(pixelCount));
    return;
  }
  const auto* samples = static_cast<const int16_t*>(pbuf_addr);
  for (int32_t i = 0; i < pixelCount; ++i)
    displayImage[i] = static_cast<uint8_t>(samples[i] >> 2);
}

}  // namespace

uint32_t DisplayWorker(void*) {
  workerStarted = true;
  pixelCount = imageWidth * imageHeight;
  displayImage.assign(static_cast<size_t>(pixelCount), 0);  // a null first frame shows black
  int wakeUps = 0;
  for (;;) {
    platform::CountingSemaphore* semaphore = hFrameSemaphore;
    if (!semaphore) break;  // no session to wait on
    semaphore->Wait();
    if (stopWorker) break;
    if (wakeUps != kWakeUpsBetweenPaints) {
      ++wakeUps;
      continue;
    }
    wakeUps = 0;

    bufferIndex = NewestFrameBuffer();
    pbuf_addr = nullptr;  // a library that reports success without an address leaves it null
    if (CORSTATUS status =
            CorBufferGetPrm(hHostBufferMono[bufferIndex], CORBUFFER_PRM_ADDRESS, &pbuf_addr)) {
      CheckStatus(
          "CorBufferGetPrm(hHostBufferMono[bufferIndex], CORBUFFER_PRM_ADDRESS, &pbuf_addr)",
          status);
      ReleaseDisplayImage();
      return status;
    }
    if (!pbuf_addr)
      std::printf("pbuf_addr is NULL!\n");
    else
      ConvertFrame();
    PaintFrame();
  }
  ReleaseDisplayImage();
  return 0;
}

bool PaintFrame() {
  platform::DisplayWindow window = hDisplayWindow;
  if (!window) return true;  // no window: nothing may be drawn anywhere
  if (displayImage.size() < static_cast<size_t>(imageWidth) * static_cast<size_t>(imageHeight))
    return true;  // no picture of this size (no worker running)

  int32_t stride = platform::BitmapStride(imageWidth);
  platform::BitmapInfoHeader& header = displayBitmapInfo.bmiHeader;
  header.biWidth = imageWidth;
  header.biHeight = -imageHeight;  // top-down
  header.biSizeImage = static_cast<uint32_t>(stride * imageHeight);

  bitmapBits.assign(static_cast<size_t>(stride) * static_cast<size_t>(imageHeight), 0);
  for (int32_t y = 0; y < imageHeight; ++y) {
    const uint8_t* source = displayImage.data() + static_cast<size_t>(y) * imageWidth;
    uint8_t* target = bitmapBits.data() + static_cast<size_t>(y) * stride;
    for (int32_t x = 0; x < imageWidth; ++x)
      target[x] = displayLut[source[x]];
  }
  platform::PaintDisplayWindow(window, &displayBitmapInfo, bitmapBits.data());
  return true;
}
