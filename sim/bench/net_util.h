// Small socket helpers for the bench's devices; everything listens on loopback only.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// A listening TCP socket on 127.0.0.1:port (0: any free port); the bound port in *boundPort.
// Returns the fd, or -1.
int ListenTcpLoopback(int port, int* boundPort);
// A UDP socket bound to 127.0.0.1:port (0: any free port); the bound port in *boundPort.
int BindUdpLoopback(int port, int* boundPort);
// Writes all bytes, retrying on short writes; false on error.
bool WriteAll(int fd, const void* data, size_t size);

}  // namespace sim
