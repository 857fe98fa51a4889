// Text files opened for reading as Windows text mode reads them.
#pragma once

#include <cstdio>

namespace platform {

// Opens `path` for reading in text mode; on POSIX every '\' of the path becomes '/'.
// Returns nullptr when the file cannot be opened. Close with fclose.
FILE* OpenTextFile(const char* path);

// fgets in text mode: reads at most size - 1 characters up to and including a line end, with
// CR LF read as LF. Returns nullptr at end of file.
char* ReadTextLine(char* buffer, int size, FILE* file);

}  // namespace platform
