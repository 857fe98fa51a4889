// An X server of the test's own: Xvfb on the display number it picks itself (-displayfd), so no
// test depends on a fixed number. Stopped by its pid when the object ends.
#pragma once

#include <sys/types.h>

#include <string>

namespace testing_support {

class XvfbServer {
 public:
  // `screen` as Xvfb's -screen option takes it; the root window is black.
  explicit XvfbServer(const std::string& screen = "1024x768x24");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool Ready() const { return !name_.empty(); }
  // ":N", for DISPLAY.
  const std::string& Name() const { return name_; }
  pid_t Pid() const { return pid_; }
  // Freezes and thaws the server (SIGSTOP, SIGCONT): its clients block on it meanwhile.
  void Pause();
  void Resume();
  // Ends the server (SIGTERM, SIGKILL after 5 s) and waits for it.
  void Stop();

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace testing_support
