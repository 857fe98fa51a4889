// The live-view window of each camera mode and the tables it paints with.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/display.h"
#include "platform/sync.h"

// ---- Tables, built once at start-up and read-only afterwards (the worker alone sets the
// bitmap's size fields at each paint) ----

// The bitmap description: header, then displayPalette (grey, entry 240 red).
extern platform::BitmapInfo displayBitmapInfo;
extern platform::RgbQuad* const displayPalette;
// The palette index shown for each 8-bit intensity: 3..239, and 240 (red) for 255 alone.
extern uint8_t displayLut[256];

// Start-up: the bitmap description with its palette and the intensity lookup table.
void BuildDisplayTables();

// ---- Window thread ----

// Dialog template of the live-view window in the resource module.
inline constexpr int kDisplayDialogTemplate = 103;

// Set by the window thread once its window is shown; created at start-up.
extern platform::ManualResetEvent* hWindowReady;
// The resource module "DispResources"; null when it could not be loaded.
extern platform::ResourceModule* hDispResources;
// The latest live-view window; written by the window thread before it sets hWindowReady.
extern std::atomic<platform::DisplayWindow> hDisplayWindow;
// What the window system adds around the client area, worked out when the window is created.
extern std::atomic<int32_t> frameExtraWidth;
extern std::atomic<int32_t> frameExtraHeight;

// Start-up: the window-ready event, not signalled.
void CreateWindowReadyEvent();
// Start-up: loads the resource module "DispResources" that holds the window template.
void LoadDisplayResources();
// Per mode, after the session is open: starts the window thread and waits up to 10 s for its
// window ("Error creating display thread" when it does not come).
void StartWindowThread();
// Per mode, after the session is closed: asks the window thread to quit and waits up to 1 s
// ("Terminating window thread" when it does not end).
void EndWindowThread();
// The window thread: creates the window at the top left with the image's size, shows it, pumps
// its events until the quit request and destroys it.
void WindowThread();

// ---- Display worker ----

// Set by the session to make the display worker end; the worker looks after every wake-up.
extern std::atomic<bool> stopWorker;
// Cleared by the session before it starts the worker, set by the worker as its first action.
extern std::atomic<bool> workerStarted;

// The display worker's thread function: converts and paints every 21st frame signal. Returns 0
// after a stop request, or the status of a failed buffer-address request.
uint32_t DisplayWorker(void* parameter);
// The worker's reduction of a frame to 8 bits: a copy of 1-byte pixels, else each 16-bit sample
// taken as signed and shifted right by 2 (the top 8 bits of a 10-bit sample).
void ReduceFrame(const void* frame, int32_t bytesPerPixel, int32_t pixelCount, uint8_t* image);
// An 8-bit picture of width × height through displayLut into bitmap rows padded to BitmapStride.
void MapThroughLut(const uint8_t* image, int32_t width, int32_t height, uint8_t* bits);
// Draws the worker's latest picture through displayLut and the palette, stretched over the whole
// client area of the live-view window; nothing is drawn while there is no window. Returns true.
bool PaintFrame();
