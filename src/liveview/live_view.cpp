// Minimal until the live view is built: no tables, no window.
#include "liveview/live_view.h"

void BuildDisplayTables() {}
void CreateWindowReadyEvent() {}
void LoadDisplayResources() {}
void StartWindowThread() {}
void EndWindowThread() {}
