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

}  // namespace

void ReduceFrame(const void* frame, int32_t bytesPerPixel, int32_t pixelCount, uint8_t* image) {
  if (bytesPerPixel == 1) {
    std::memcpy(image, frame, static_cast<size_t>(pixelCount));
    return;
  }
  const auto* samples = static_cast<const int16_t*>(frame);
  for (int32_t i = 0; i < pixelCount; ++i)
    image[i] = static_cast<uint8_t>(samples[i] >> 2);
}

namespace {

// The table's formula in integers, equal to it entry for entry: a compiler vectorises this, while
// a lookup per pixel costs more than the rest of the paint together.
uint8_t LutByFormula(uint8_t intensity) {
  return static_cast<uint8_t>(static_cast<uint16_t>(intensity * 237u) / 255u + 3u);
}

bool LutIsItsFormula() {
  for (int i = 0; i < 256; ++i)
    if (displayLut[i] != LutByFormula(static_cast<uint8_t>(i))) return false;
  return true;
}

}  // namespace

void MapThroughLut(const uint8_t* image, int32_t width, int32_t height, uint8_t* bits) {
  int32_t stride = platform::BitmapStride(width);
  bool byFormula = LutIsItsFormula();
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* source = image + static_cast<size_t>(y) * width;
    uint8_t* target = bits + static_cast<size_t>(y) * stride;
    if (byFormula) {
      for (int32_t x = 0; x < width; ++x)
        target[x] = LutByFormula(source[x]);
    } else {
      for (int32_t x = 0; x < width; ++x)
        target[x] = displayLut[source[x]];
    }
  }
}

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
      ReduceFrame(pbuf_addr, bytesPerPixel, pixelCount, displayImage.data());
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

  bitmapBits.resize(static_cast<size_t>(stride) * static_cast<size_t>(imageHeight));
  MapThroughLut(displayImage.data(), imageWidth, imageHeight, bitmapBits.data());
  platform::PaintDisplayWindow(window, &displayBitmapInfo, bitmapBits.data());
  return true;
}
