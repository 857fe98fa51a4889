// The CAL file as the lookup reads it: any bytes, found line and parsed MAC within their bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/instrument_lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  FILE* calFile = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!calFile) return 0;
  char line[200];
  if (FindMacAddressLine(calFile, line)) {
    if (std::memchr(line, '\0', sizeof line) == nullptr) std::abort();
    uint8_t mac[6];
    ParseMacAddress(line, mac);
  }
  std::fclose(calFile);
  return 0;
}
