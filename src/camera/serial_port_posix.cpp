// "COM3" on POSIX: the terminal device named by TAPCAL_COM3, else /dev/ttyS2, driven through
// termios. The descriptor is non-blocking and every wait is a poll bounded by one second, so
// nothing is ever left outstanding after a wait ends.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "camera/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kInvalidPort = -1;
constexpr auto kWaitBound = std::chrono::milliseconds(1000);
constexpr const char* kDefaultDevice = "/dev/ttyS2";

int hSerialPort = kInvalidPort;

const char* PortPath() {
  const char* path = std::getenv("TAPCAL_COM3");
  return path && *path ? path : kDefaultDevice;
}

// Releases the terminal's exclusive mode before the close: on a pseudo-terminal whose other side
// stays open, the mode outlives the descriptor and would keep the next session (of a user without
// privileges) from opening the port.
void ReleasePort(int fd) {
  ioctl(fd, TIOCNXCL);
  close(fd);
}

// 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw bytes both ways.
bool ApplyLineMode(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) return false;
  cfmakeraw(&mode);
  mode.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  mode.c_cflag |= CS8 | CLOCAL | CREAD;
  mode.c_iflag &= ~(IXON | IXOFF | IXANY);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (cfsetispeed(&mode, B9600) != 0 || cfsetospeed(&mode, B9600) != 0) return false;
  return tcsetattr(fd, TCSANOW, &mode) == 0;
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on the port until `deadline`; false on time-out or a broken descriptor.
bool WaitFor(short events, Clock::time_point deadline) {
  for (;;) {
    pollfd port{hSerialPort, events, 0};
    int ready = poll(&port, 1, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && !(port.revents & POLLNVAL);
  }
}

bool WriteByte(uint8_t byte) {
  auto deadline = Clock::now() + kWaitBound;
  for (;;) {
    ssize_t written = write(hSerialPort, &byte, 1);
    if (written == 1) return true;
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) return false;
    if (!WaitFor(POLLOUT, deadline)) return false;
  }
}

}  // namespace

bool OpenCameraPort() {
  // A port left open by a session that was never closed would hold the lock against this open.
  if (hSerialPort != kInvalidPort) ReleasePort(hSerialPort);
  hSerialPort = kInvalidPort;

  int fd = open(PortPath(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Exclusive, as the port is opened without sharing: the lock keeps out any other opener
  // (privileged or not) until this descriptor closes; the terminal's exclusive mode keeps out
  // programs that do not take the lock, unless they are privileged.
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    std::printf("Cannot open communications port\n");
    return false;
  }
  ioctl(fd, TIOCEXCL);  // fails on what is not a terminal, which the line mode then gives up

  // A port that opens but takes no line mode is given up without a word; the session goes on and
  // every transfer fails at once.
  if (!ApplyLineMode(fd)) {
    ReleasePort(fd);
    return true;
  }
  hSerialPort = fd;
  return true;
}

void CloseCameraPort() {
  if (hSerialPort != kInvalidPort) ReleasePort(hSerialPort);
  hSerialPort = kInvalidPort;
}

bool SerialWrite(const uint8_t* data, uint32_t count) {
  uint32_t i = 0;
  while (i < count && hSerialPort != kInvalidPort && WriteByte(data[i]))
    ++i;
  return i == count;
}

bool SerialRead(uint8_t* buffer, uint32_t count) {
  // As on a port given up: nothing can arrive, so only a read of nothing succeeds.
  if (hSerialPort == kInvalidPort) return count == 0;
  // Line errors do not latch on a POSIX terminal, so there is nothing to clear before reading.
  auto deadline = Clock::now() + kWaitBound;
  uint32_t got = 0;
  while (got < count) {
    ssize_t n = read(hSerialPort, buffer + got, count - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // End of file or an error other than "nothing yet": the line is gone (a hang-up).
    if (n == 0 || errno != EAGAIN) break;
    if (!WaitFor(POLLIN, deadline)) break;
  }
  return got == count;
}

bool SerialFlush() {
  return hSerialPort != kInvalidPort && tcdrain(hSerialPort) == 0;
}
