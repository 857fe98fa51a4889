// Registry values under HKEY_LOCAL_MACHINE. On POSIX they come from a registry export file in the
// .reg text format, named by TAPCAL_REGISTRY (default /etc/tapcal/registry.reg).
#pragma once

#include <cstddef>

namespace platform {

// Reads the string value `valueName` of key `keyPath` (e.g. "SOFTWARE\\Vendor\\App") into `buffer`,
// NUL-terminated. Key and value names are compared without regard to case. False when the key or
// value is missing, or when the value and its terminating NUL do not fit in `size` bytes.
bool ReadMachineRegistryString(const char* keyPath, const char* valueName, char* buffer,
                               size_t size);

}  // namespace platform
