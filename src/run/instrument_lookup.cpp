#include "run/instrument_lookup.h"

#include <cstring>

#include "instrument/instrument.h"
#include "platform/host_name.h"
#include "platform/registry.h"
#include "platform/text_file.h"
#include "vendor/kestan_canopen.h"

namespace {

constexpr char kInstallKey[] = "SOFTWARE\\Kestan Corporation\\Install Data\\Norvale";
constexpr char kToken[] = "MACADDRESS";
constexpr int kTokenLength = 10;
constexpr int kBridgeCapacity = 127;
// The CAL file name (host name and ".1") lives in a 50-byte buffer, its path in a 100-byte one.
constexpr size_t kCalNameSize = 50;
constexpr size_t kCalPathSize = 100;
constexpr char kCommunicationError[] =
    "Error communicating to instrument. Check network connection. Exiting.\n";

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A hexadecimal number as "%x" reads it (optional 0x prefix); its low 8 bits. A field with no
// hexadecimal digit (one that starts with G..Z) gives 0.
uint8_t ReadHexByte(const char* text) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && HexDigit(text[2]) >= 0) text += 2;
  uint32_t value = 0;
  for (int digit; (digit = HexDigit(*text)) >= 0; ++text)
    value = (value << 4) | digit;
  return static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

bool FindMacAddressLine(FILE* calFile, char line[200]) {
  while (platform::ReadTextLine(line, 200, calFile)) {
    if (line[0] == '\0') continue;
    for (char* c = line; *c; ++c)
      if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    int i = 0;
    while (i < kTokenLength && line[i] == kToken[i])
      ++i;
    if (i == kTokenLength) return true;
  }
  return false;
}

void ParseMacAddress(const char* line, uint8_t mac[6]) {
  const char* position = line + kTokenLength;
  for (int k = 0; k < 6; ++k) {
    while (*position && !IsAsciiAlnum(*position))
      ++position;
    mac[k] = ReadHexByte(position);  // 0 once the line has ended
    if (k < 5)
      while (IsAsciiAlnum(*position))
        ++position;
  }
}

LookupResult ConnectInstrument() {
  char targetDir[100];
  if (!platform::ReadMachineRegistryString(kInstallKey, "TargetDir", targetDir, sizeof targetDir))
    return LookupResult::Skipped;

  // Never go on with an undefined host name; never cut a name or path short to make it fit.
  char hostName[256];
  if (!platform::GetLocalHostName(hostName, sizeof hostName)) {
    std::printf("Cannot get host name\n");
    return LookupResult::Failed;
  }
  char calPath[kCalPathSize];
  size_t nameLength = std::strlen(hostName) + 2;
  int pathLength = std::snprintf(calPath, sizeof calPath, "%s\\cfg\\%s.1", targetDir, hostName);
  FILE* calFile = nullptr;
  if (nameLength < kCalNameSize && pathLength >= 0 &&
      static_cast<size_t>(pathLength) < sizeof calPath)
    calFile = platform::OpenTextFile(calPath);
  if (!calFile) {
    std::printf("Cannot open CAL file\n");
    return LookupResult::Failed;
  }

  char line[200];
  bool found = FindMacAddressLine(calFile, line);
  std::fclose(calFile);
  if (!found) {
    std::printf("CAL file does not contain MACADDRESS token\n");
    return LookupResult::Failed;
  }
  uint8_t mac[6];
  ParseMacAddress(line, mac);

  BridgeRecord bridges[kBridgeCapacity];
  int count = CAN_EnumerateBridges(bridges, kBridgeCapacity);
  if (count == -1) {
    std::printf("Error scanning for bridges\n");
    return LookupResult::Failed;
  }
  if (count == 0) {
    std::printf("No bridges found on the local network\n");
    return LookupResult::Failed;
  }
  const BridgeRecord* chosen = nullptr;
  for (int i = 0; i < count && i < kBridgeCapacity; ++i)
    if (std::memcmp(bridges[i].macAddress, mac, sizeof bridges[i].macAddress) == 0)
      chosen = &bridges[i];  // the last match wins
  if (!chosen) {
    std::printf("Bridge with MAC: %2.2X-%2.2X-%2.2X-%2.2X-%2.2X-%2.2X not found", mac[0], mac[1],
                mac[2], mac[3], mac[4], mac[5]);
    return LookupResult::Failed;
  }

  if (CAN_Connect(chosen->bridgeId) == -1) {
    std::printf("%s", kCommunicationError);
    return LookupResult::Failed;
  }
  uint8_t checkWord[2];
  unsigned char status[kCanStatusBlockSize];
  if (CAN_SDORead(Node127Word.node, Node127Word.index, Node127Word.subindex, checkWord,
                  Node127Word.size, status) != 1) {
    std::printf("%s", kCommunicationError);
    return LookupResult::Failed;
  }
  return LookupResult::Connected;
}
