#include <winsock2.h>

#include <cstring>

#include "platform/host_name.h"

namespace platform {

bool GetLocalHostName(char* buffer, size_t size) {
  if (size == 0) return false;
  // Windows Sockets 2.2, started once and kept for the run (the bridge library uses it too).
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return false;
  // A name that does not fit is an error (WSAEFAULT), never cut short; the NUL check guards the
  // rest.
  if (gethostname(buffer, static_cast<int>(size)) != 0) return false;
  return std::memchr(buffer, '\0', size) != nullptr;
}

}  // namespace platform
