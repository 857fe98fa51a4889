// The calibration procedure of one camera mode.
#pragma once

// 1 when the page for the mode has been saved, 0 when no tap-A reference voltage was found.
int CalibrateMode(int mode);
