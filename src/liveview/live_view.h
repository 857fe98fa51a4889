// The live-view window of each camera mode and the tables it paints with.
#pragma once

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
