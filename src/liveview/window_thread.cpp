#include <cstdio>

#include "acquisition/frame_ring.h"
#include "liveview/live_view.h"

platform::ManualResetEvent* hWindowReady = nullptr;
platform::ResourceModule* hDispResources = nullptr;
std::atomic<platform::DisplayWindow> hDisplayWindow{0};
std::atomic<int32_t> frameExtraWidth{0};
std::atomic<int32_t> frameExtraHeight{0};

namespace {
platform::DisplayThread* hWindowThread = nullptr;
}

void CreateWindowReadyEvent() {
  if (hWindowReady)
    hWindowReady->Reset();
  else
    hWindowReady = new platform::ManualResetEvent;  // kept for the whole run
}

void LoadDisplayResources() {
  if (hDispResources) platform::FreeResourceModule(hDispResources);
  hDispResources = platform::LoadResourceModule("DispResources");
}

void WindowThread() {
  int32_t extraWidth = 0;
  int32_t extraHeight = 0;
  platform::DisplayWindow window = platform::CreateDisplayWindow(
      hDispResources, kDisplayDialogTemplate, &extraWidth, &extraHeight);
  if (window) {
    frameExtraWidth = extraWidth;
    frameExtraHeight = extraHeight;
  }
  hDisplayWindow = window;
  platform::PlaceDisplayWindow(window, 0, 0, imageWidth + frameExtraWidth,
                               imageHeight + frameExtraHeight);
  hWindowReady->Set();
  platform::PumpDisplayEvents();
  platform::DestroyDisplayWindow(window);
}

void StartWindowThread() {
  if (!hWindowReady) CreateWindowReadyEvent();
  if (hWindowThread) platform::CloseDisplayThread(hWindowThread);
  hWindowReady->Reset();
  hWindowThread = platform::StartDisplayThread(WindowThread);
  if (!hWindowReady->WaitMs(10000)) std::printf("Error creating display thread\n");
}

void EndWindowThread() {
  if (!hWindowThread) return;
  platform::PostDisplayQuit(hWindowThread);
  if (!platform::WaitDisplayThread(hWindowThread, 1000)) {
    std::printf("Terminating window thread\n");
    platform::TerminateDisplayThread(hWindowThread);
  }
  platform::CloseDisplayThread(hWindowThread);
  hWindowThread = nullptr;
}
