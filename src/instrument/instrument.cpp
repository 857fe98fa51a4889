#include "instrument/instrument.h"

#include <bit>
#include <cstdio>

#include "platform/clock.h"
#include "vendor/kestan_canopen.h"

namespace {

// The status block every access hands the library; nothing reads it.
unsigned char canStatus[kCanStatusBlockSize];

int Write(const InstrumentObject& object, uint8_t* bytes) {
  return CAN_SDOWrite(object.node, object.index, object.subindex, bytes, object.size, canStatus);
}

int Read(const InstrumentObject& object, uint8_t* bytes) {
  return CAN_SDORead(object.node, object.index, object.subindex, bytes, object.size, canStatus);
}

}  // namespace

void StartDiffuser() {
  std::printf("Starting diffuser disk\n");
  uint8_t start = 1;
  Write(DiffuserControl, &start);
}

void HomeNdWheel() {
  std::printf("Homing ND wheel\n");
  // The byte keeps the command value until the first read; 3 does not read as homed, and a
  // failed read leaves it so.
  uint8_t status = 3;
  Write(NdWheelCommand, &status);
  for (int read = 0; read < 10; ++read) {
    Read(InstrumentStatus, &status);
    if ((status & kStatusHomed) == kStatusHomed) return;
    platform::SleepMs(1000);
  }
}

void SetLightLevel(uint16_t level) {
  uint8_t bytes[2] = {static_cast<uint8_t>(level & 0xFF), static_cast<uint8_t>(level >> 8)};
  Write(LightLevel, bytes);
}

void WaitInstrumentIdle() {
  uint8_t status = 1;  // bit 1 clear: a read that fails before any success counts as idle
  for (int read = 0; read < 10; ++read) {
    platform::SleepMs(1000);
    Read(InstrumentStatus, &status);
    if (!(status & kStatusBusy)) return;
  }
}

void WriteNode127Real(float value) {
  uint32_t bits = std::bit_cast<uint32_t>(value);
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  Write(Node127Real, bytes);
}

void WriteNode127Word(uint16_t value) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
  Write(Node127Word, bytes);
}
