// Minimal until the live view is built: no tables, no window.
#include "liveview/live_view.h"

void BuildDisplayTables() {}
void CreateWindowReadyEvent() {}
void LoadDisplayResources() {}
void StartWindowThread() {}
void EndWindowThread() {}

std::atomic<bool> stopWorker{false};
std::atomic<bool> workerStarted{false};

uint32_t DisplayWorker(void*) {
  workerStarted = true;
  return 0;
}
