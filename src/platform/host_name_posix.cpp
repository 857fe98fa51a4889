#include <unistd.h>

#include <cstring>

#include "platform/host_name.h"

namespace platform {

bool GetLocalHostName(char* buffer, size_t size) {
  if (size == 0) return false;
  // gethostname may truncate silently; a name that fills the whole buffer may not be whole.
  if (gethostname(buffer, size) != 0) return false;
  return std::memchr(buffer, '\0', size - 1) != nullptr;
}

}  // namespace platform
