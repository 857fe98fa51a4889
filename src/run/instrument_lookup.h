// Finding, connecting and checking the instrument's bridge through the host's CAL file.
#pragma once

#include <cstdint>
#include <cstdio>

enum class LookupResult { Connected, Skipped, Failed };

LookupResult ConnectInstrument();

// The first token line of the CAL file, as the lookup reads it (pieces of at most 199
// characters, upper-cased in place). False at the end of the file without one.
bool FindMacAddressLine(FILE* calFile, char line[200]);

// Parses the six MAC bytes that follow the 10-character token of `line`.
void ParseMacAddress(const char* line, uint8_t mac[6]);
