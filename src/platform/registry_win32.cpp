#include <windows.h>

#include "platform/registry.h"

namespace platform {

bool ReadMachineRegistryString(const char* keyPath, const char* valueName, char* buffer,
                               size_t size) {
  if (size == 0 || size > MAXDWORD) return false;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD length = static_cast<DWORD>(size);
  // The value's type is not looked at. A value that does not fit is ERROR_MORE_DATA.
  LONG result =
      RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  // A value stored without its terminating NUL comes back without one; it must still fit.
  if (length > 0 && buffer[length - 1] == '\0') return true;
  if (length >= size) return false;
  buffer[length] = '\0';
  return true;
}

}  // namespace platform
