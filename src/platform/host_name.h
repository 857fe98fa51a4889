// The local host name, as the network stack reports it.
#pragma once

#include <cstddef>

namespace platform {

// Writes the host name, NUL-terminated, into `buffer`. False when the name cannot be had or does
// not fit in `size` bytes; the buffer then holds no usable name.
bool GetLocalHostName(char* buffer, size_t size);

}  // namespace platform
