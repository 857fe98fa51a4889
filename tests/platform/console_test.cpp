// The console is process-wide state on standard input, so each case runs in a child process.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

namespace {

// Runs `body` in a child whose standard input is `inputFd`; returns its exit code.
template <typename Body>
int InChild(int inputFd, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inputFd, STDIN_FILENO);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConsoleTest, PipeBytesAreKeysAndEndOfInputIsEscape) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "/*1", 3), 3);
  close(fds[1]);
  int code = InChild(fds[0], [] {
    if (!platform::KeyWaiting() || platform::ReadKey() != '/') return 1;
    if (platform::ReadKey() != '*' || platform::ReadKey() != '1') return 2;
    // At end of input a key is always waiting, and every read gives Escape.
    for (int i = 0; i < 3; ++i)
      if (!platform::KeyWaiting() || platform::ReadKey() != platform::kEscapeKey) return 3;
    return 0;
  });
  close(fds[0]);
  EXPECT_EQ(code, 0);
}

TEST(ConsoleTest, NoKeyWaitingOnAnOpenEmptyPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int code = InChild(fds[0], [] { return platform::KeyWaiting() ? 1 : 0; });
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(code, 0);
}

TEST(ConsoleTest, TerminalReadsWithoutEchoAndIsRestoredAtExit) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before;
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_TRUE(before.c_lflag & ECHO);
  ASSERT_EQ(write(master, "q", 1), 1);
  int code = InChild(slave, [] {
    if (platform::ReadKey() != 'q') return 1;  // no line end needed: not canonical
    termios during;
    tcgetattr(STDIN_FILENO, &during);
    if (during.c_lflag & (ECHO | ICANON)) return 2;
    std::exit(0);  // the mode is restored by the exit handler
  });
  EXPECT_EQ(code, 0);
  termios after;
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_TRUE(after.c_lflag & ECHO);
  EXPECT_TRUE(after.c_lflag & ICANON);
  close(master);
  close(slave);
}

}  // namespace
