// The Win32 camera port (overlapped I/O on "COM3") under Wine, call by call, through a small
// Windows program: against the bench's camera on its pseudo-terminal, on a COM3 that is not a
// terminal, and on a host without COM3.
#include <gtest/gtest.h>

#include <sstream>

#include "support/bench_process.h"
#include "wine_host.h"
#include "wine_run.h"

namespace {

using testing_support::BenchProcess;
using testing_support::ToolRun;

struct Call {
  bool result = false;
  unsigned milliseconds = 0;
};

// The program's "name result milliseconds" lines.
std::map<std::string, Call> Calls(const std::string& out) {
  std::map<std::string, Call> calls;
  std::istringstream lines(out);
  std::string name;
  int result;
  unsigned milliseconds;
  while (lines >> name >> result >> milliseconds)
    calls[name] = {result == 1, milliseconds};
  return calls;
}

ToolRun RunCheck(const std::string& which) {
  return wine_run::Host().Run({testing_support::WindowsProgram("serial_port_check.exe"), which},
                              60);
}

TEST(WineSerialPort, WritesReadsAndBoundsEveryWaitOnTheBenchCamera) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench;
  ASSERT_TRUE(bench.Ready());
  host.SetCom3(bench.ReadyValue("COM3"));

  ToolRun run = RunCheck("camera");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  auto calls = Calls(run.out);
  for (const char* name :
       {"open", "write-nothing", "write", "read-reply", "flush", "read-waiting", "read-rest",
        "write-refused", "read-refusal", "reopen", "write-again", "read-again"}) {
    ASSERT_TRUE(calls.count(name)) << name << "\n" << run.out;
    EXPECT_TRUE(calls[name].result) << name;
  }
  // A byte already waiting is no wait; a read of nothing waits out its bound, then fails.
  EXPECT_LT(calls["read-waiting"].milliseconds, 900u);
  ASSERT_TRUE(calls.count("read-silent"));
  EXPECT_FALSE(calls["read-silent"].result);
  EXPECT_GE(calls["read-silent"].milliseconds, 900u);
  EXPECT_LT(calls["read-silent"].milliseconds, 5000u);

  // Writing nothing sent nothing: the camera saw exactly the three commands, whole.
  nlohmann::json state = bench.State();
  std::vector<std::string> received;
  for (const auto& entry : state["camera"]["received"])
    received.push_back(entry["command"]);
  EXPECT_EQ(received,
            (std::vector<std::string>{":SMB=4\r", ":VRA=001\r", ":VRA=zz\r", ":SMB=0\r"}));
}

// A COM3 that is no serial port takes no line mode: given up without a word, every transfer then
// fails at once.
TEST(WineSerialPort, APortThatRefusesTheLineModeIsGivenUp) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  host.SetCom3("/dev/null");
  ToolRun run = RunCheck("other");
  host.SetCom3("");
  ASSERT_EQ(run.exitCode, 0);
  auto calls = Calls(run.out);
  ASSERT_EQ(calls.size(), 4u) << run.out;
  EXPECT_TRUE(calls["open"].result);
  for (const char* name : {"write", "read", "flush"}) {
    EXPECT_FALSE(calls[name].result) << name;
    EXPECT_LT(calls[name].milliseconds, 900u) << name;
  }
  EXPECT_EQ(run.out.find("Cannot"), std::string::npos);
}

TEST(WineSerialPort, WithoutCom3TheOpenFailsWithItsMessage) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  host.SetCom3("");
  ToolRun run = RunCheck("other");
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), "Cannot open communications port\n");
  auto calls = Calls(run.out.substr(run.out.find('\n') + 1));
  EXPECT_FALSE(calls["open"].result);
  EXPECT_FALSE(calls["write"].result);
  EXPECT_FALSE(calls["read"].result);
}

}  // namespace
