// The tool's whole run: start-up, the four camera modes, the closing sequence. Returns 0.
#pragma once

int RunTapcal();
