// The live-view window of each camera mode and the tables it paints with.
#pragma once

#include <atomic>
#include <cstdint>

// Start-up: the bitmap description with its palette and the intensity lookup table.
void BuildDisplayTables();
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

// Set by the session to make the display worker end; the worker looks after every wake-up.
extern std::atomic<bool> stopWorker;
// Cleared by the session before it starts the worker, set by the worker as its first action.
extern std::atomic<bool> workerStarted;

// The display worker's thread function: converts and paints every 21st frame signal. Returns 0
// after a stop request, or the status of a failed buffer-address request.
uint32_t DisplayWorker(void* parameter);
