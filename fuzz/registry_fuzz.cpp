// The registry export file: any bytes as the file, the installation value read into the lookup's
// 100-byte buffer. A value must come back NUL-terminated inside the buffer or not at all.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/registry.h"

namespace {

// A plain array, so the exit handler that removes the file never sees a destroyed string.
char registryPath[64];

const char* RegistryPath() {
  if (!registryPath[0]) {
    std::snprintf(registryPath, sizeof registryPath, "/tmp/tapcal-registry-fuzz-%d.reg",
                  static_cast<int>(getpid()));
    setenv("TAPCAL_REGISTRY", registryPath, 1);
    std::atexit([] { std::remove(registryPath); });
  }
  return registryPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(RegistryPath(), "wb");
  if (!file) std::abort();
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  char value[100];
  std::memset(value, 'x', sizeof value);
  if (platform::ReadMachineRegistryString("SOFTWARE\\Kestan Corporation\\Install Data\\Norvale",
                                          "TargetDir", value, sizeof value) &&
      std::memchr(value, '\0', sizeof value) == nullptr)
    std::abort();
  return 0;
}
