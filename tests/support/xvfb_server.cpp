#include "support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testing_support {

XvfbServer::XvfbServer(const std::string& screen) {
  constexpr int kReadyFd = 100;  // where the child puts the pipe for Xvfb
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls until exec: the test process has threads.
    dup2(ready[1], kReadyFd);  // the copy is inherited across exec
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execlp("Xvfb", "Xvfb", "-displayfd", "100", "-screen", "0", screen.c_str(), "-br", "-nolisten",
           "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  // Xvfb writes its display number once it accepts connections.
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd wait{ready[0], POLLIN, 0};
    if (poll(&wait, 1, 100) <= 0) continue;
    char c;
    if (read(ready[0], &c, 1) != 1) break;
    if (c == '\n') {
      name_ = ":" + number;
      break;
    }
    number += c;
  }
  close(ready[0]);
  if (name_.empty()) Stop();
}

XvfbServer::~XvfbServer() {
  Stop();
}

void XvfbServer::Pause() {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

void XvfbServer::Resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

void XvfbServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGCONT);
  kill(pid_, SIGTERM);
  int status;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

}  // namespace testing_support
