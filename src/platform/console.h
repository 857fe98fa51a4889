// Console keys: a non-blocking test and an unbuffered read without echo.
//
// On a terminal the first call puts it in non-canonical mode without echo; the mode is restored at
// exit and on SIGINT/SIGTERM. When standard input is a pipe or a file its bytes are the keys, and
// at end of input a key is always waiting and reads as Escape (27), so a run without input ends.
#pragma once

namespace platform {

inline constexpr int kEscapeKey = 27;

// True when a key can be read without waiting.
bool KeyWaiting();

// Reads one key code (0..255); waits for one when none is waiting.
int ReadKey();

}  // namespace platform
