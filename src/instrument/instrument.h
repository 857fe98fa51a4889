// The instrument's CANopen objects and the operations on them. Every access passes the caller's
// status block; values travel little-endian, as CANopen data does.
#pragma once

#include <cstdint>

struct InstrumentObject {
  int node;
  int index;
  int subindex;
  int size;  // bytes
};

inline constexpr InstrumentObject Node127Word{127, 0x2010, 2, 2};
inline constexpr InstrumentObject Node127Real{127, 0x2030, 0, 4};
inline constexpr InstrumentObject DiffuserControl{70, 0x2000, 0, 1};
inline constexpr InstrumentObject NdWheelCommand{64, 0x2020, 0, 1};
inline constexpr InstrumentObject InstrumentStatus{64, 0x2021, 0, 1};
inline constexpr InstrumentObject LightLevel{64, 0x2028, 0, 2};

inline constexpr uint8_t kStatusBusy = 0x02;
inline constexpr uint8_t kStatusHomed = 0x18;

// "Starting diffuser disk", then DiffuserControl <- 1; nothing waits for the disk.
void StartDiffuser();
// "Homing ND wheel", NdWheelCommand <- 3, then up to ten status reads a second apart.
void HomeNdWheel();
// LightLevel <- level; the result is not examined.
void SetLightLevel(uint16_t level);
// Sleeps a second before each of at most ten status reads; returns when the busy bit is clear.
void WaitInstrumentIdle();
// The calibration-start writes of the two node-127 objects.
void WriteNode127Real(float value);
void WriteNode127Word(uint16_t value);
