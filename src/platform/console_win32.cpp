// Keys on Win32: _kbhit and _getch on a console. When standard input is not a console (a pipe or
// a file) its bytes are the keys: _kbhit never sees them, and a pipe cannot be tested without
// blocking everywhere (Wine does not support PeekNamedPipe on an anonymous pipe), so a reader
// thread takes them as they come. At end of input a key is always waiting and reads as Escape.
#include <conio.h>
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/console.h"

namespace {

struct InputBytes {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<unsigned char> keys;
  bool ended = false;
};

bool initialised = false;
bool console = false;
InputBytes* input = nullptr;  // never freed: the reader may still wait in ReadFile at exit

void ReadInput(HANDLE handle, InputBytes* bytes) {
  for (;;) {
    unsigned char key;
    DWORD got = 0;
    // A closed pipe ends with ERROR_BROKEN_PIPE on Windows and with 0 bytes under Wine; a file
    // ends with 0 bytes on both.
    bool read = ReadFile(handle, &key, 1, &got, nullptr) && got == 1;
    std::lock_guard lock(bytes->mutex);
    if (read)
      bytes->keys.push_back(key);
    else
      bytes->ended = true;
    bytes->arrived.notify_all();
    if (!read) return;
  }
}

void Initialise() {
  if (initialised) return;
  initialised = true;
  HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  console = handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
  if (console) return;
  input = new InputBytes;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    input->ended = true;
    return;
  }
  try {
    std::thread(ReadInput, handle, input).detach();
  } catch (const std::system_error&) {
    input->ended = true;
  }
}

}  // namespace

namespace platform {

bool KeyWaiting() {
  Initialise();
  if (console) return _kbhit() != 0;
  std::lock_guard lock(input->mutex);
  return input->ended || !input->keys.empty();
}

int ReadKey() {
  Initialise();
  if (console) return _getch() & 0xFF;
  std::unique_lock lock(input->mutex);
  input->arrived.wait(lock, [] { return input->ended || !input->keys.empty(); });
  if (input->keys.empty()) return kEscapeKey;
  int key = input->keys.front();
  input->keys.pop_front();
  return key;
}

}  // namespace platform
