#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "platform/console.h"

namespace {

bool initialised = false;
bool terminal = false;
bool endOfInput = false;
termios savedMode;

void RestoreTerminal() {
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

void RestoreAndReraise(int signalNumber) {
  RestoreTerminal();
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

// Keys are read one at a time without echo; Ctrl-C still interrupts, after the mode is restored.
void Initialise() {
  if (initialised) return;
  initialised = true;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedMode) != 0) return;
  termios raw = savedMode;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  terminal = true;
  std::atexit(RestoreTerminal);
  std::signal(SIGINT, RestoreAndReraise);
  std::signal(SIGTERM, RestoreAndReraise);
}

}  // namespace

namespace platform {

bool KeyWaiting() {
  Initialise();
  if (endOfInput) return true;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  // End of input, a hang-up or a closed descriptor all count: the read then gives Escape.
  return poll(&input, 1, 0) > 0 && input.revents != 0;
}

int ReadKey() {
  Initialise();
  while (!endOfInput) {
    unsigned char key;
    ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got == 1) return key;
    if (got < 0 && errno == EINTR) continue;
    endOfInput = true;
  }
  return kEscapeKey;
}

}  // namespace platform
