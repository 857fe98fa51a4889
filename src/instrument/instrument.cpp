#include "instrument/instrument.h"

void StartDiffuser() {}
void HomeNdWheel() {}
void SetLightLevel(uint16_t) {}
void WaitInstrumentIdle() {}
void WriteNode127Real(float) {}
void WriteNode127Word(uint16_t) {}
