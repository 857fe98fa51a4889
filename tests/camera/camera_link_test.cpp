// The camera link against the bench's camera over a real pseudo-terminal: the serial port, the
// command protocol under each way a camera can answer, the mode presets, and the camera itself.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "acquisition/session.h"
#include "camera/camera_protocol.h"
#include "camera/serial_port.h"
#include "grabber_double.h"
#include "support/bench_process.h"

namespace {

using testing_support::BenchProcess;
using Clock = std::chrono::steady_clock;

// One second is the bound of every serial wait.
constexpr double kTimeOutMs = 1000;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<std::string> Received(const BenchProcess& bench) {
  std::vector<std::string> commands;
  nlohmann::json state = bench.State();
  for (const auto& entry : state["camera"]["received"])
    commands.push_back(entry["command"].get<std::string>());
  return commands;
}

nlohmann::json Registers(const BenchProcess& bench) {
  return bench.State()["camera"]["registers"];
}

// The bench with its camera's link as COM3, and the port closed after each test.
class CameraLinkTest : public testing::Test {
 protected:
  void TearDown() override {
    CloseCameraPort();
    unsetenv("TAPCAL_COM3");
  }

  // Starts the bench with `args` and opens the port on its camera.
  BenchProcess& StartBench(std::vector<std::string> args = {}, const std::string& stateFile = "") {
    bench_ = std::make_unique<BenchProcess>(std::move(args), stateFile);
    EXPECT_TRUE(bench_->Ready());
    setenv("TAPCAL_COM3", bench_->ReadyValue("COM3").c_str(), 1);
    return *bench_;
  }
  BenchProcess& StartAndOpen(std::vector<std::string> args = {}) {
    StartBench(std::move(args));
    EXPECT_TRUE(OpenCameraPort());
    return *bench_;
  }

  testing_support::TempDir dir_;  // outlives the bench, which writes its state file at exit
  std::unique_ptr<BenchProcess> bench_;
};

struct ReplyCase {
  std::string name;
  std::string fault;  // as the control channel takes it; empty for a healthy camera
  bool acknowledged;
  size_t sendings;
  bool timesOut;  // the call waits out one read time-out
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class ReplyTest : public CameraLinkTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, CommandResultSendingsAndWait) {
  const ReplyCase& c = GetParam();
  BenchProcess& bench = StartAndOpen();
  if (!c.fault.empty()) {
    ASSERT_EQ(bench.Control("fault " + c.fault), "ok");
  }

  auto start = Clock::now();
  bool result = SendCameraCommand(":MGA=051\r", 9);
  double elapsed = MillisecondsSince(start);

  EXPECT_EQ(result, c.acknowledged);
  EXPECT_EQ(Received(bench), std::vector<std::string>(c.sendings, ":MGA=051\r"));
  if (c.timesOut) {
    EXPECT_GE(elapsed, kTimeOutMs);
    EXPECT_LT(elapsed, 5 * kTimeOutMs);  // one time-out, not one per byte or per sending
  } else {
    EXPECT_LT(elapsed, kTimeOutMs) << "a reply read timed out";
  }
}

INSTANTIATE_TEST_SUITE_P(Camera, ReplyTest,
                         testing::Values(
                             // o\r\n: three bytes, one of them o, none e.
                             ReplyCase{"Healthy", "", true, 1, false},
                             ReplyCase{"Silent", "silent", false, 1, true},
                             ReplyCase{"AckThenNothing", "ack-then-silent", true, 1, true},
                             ReplyCase{"AlwaysRefuses", "refuse", false, 4, false},
                             // An e repeats the command even after an o, and the o still counts.
                             ReplyCase{"AckAndRefuseInOneReply", "ack-and-refuse", true, 4, false},
                             // Three bytes examined, none o or e: not acknowledged, not repeated.
                             ReplyCase{"GarbageBeforeTheReply", "garbage 3", false, 1, false},
                             ReplyCase{"LateWithinTheSecond", "late 300", true, 1, false},
                             ReplyCase{"LaterThanTheSecond", "late 1500", false, 1, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(CameraLinkTest, PresetStopsAtTheFirstCommandNotAcknowledged) {
  BenchProcess& bench = StartAndOpen({"--fault", "silent"});
  EXPECT_FALSE(SendModePreset(1));
  EXPECT_EQ(Received(bench), std::vector<std::string>{":SMDA\r"});

  ASSERT_EQ(bench.Control("fault refuse"), "ok");
  EXPECT_FALSE(SendModePreset(1));
  EXPECT_EQ(Received(bench), std::vector<std::string>(5, ":SMDA\r"));
}

struct ModeCase {
  int mode;
  std::string cameraFile;
  std::string vicFile;
  std::vector<std::string> preset;
  nlohmann::json registers;
};

void PrintTo(const ModeCase& c, std::ostream* out) {
  *out << "mode " << c.mode;
}

class ModeTest : public CameraLinkTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(ModeTest, LoadsBothFilesAndSendsThePresetInOrder) {
  const ModeCase& c = GetParam();
  BenchProcess& bench = StartAndOpen();
  // Registers the preset must overwrite, as a previous mode's calibration leaves them.
  for (const char* command : {":SMB=4\r", ":DDP=1\r", ":VRA=013\r", ":MGB=04A\r"})
    ASSERT_TRUE(SendCameraCommand(command, static_cast<uint32_t>(strlen(command))));
  std::vector<std::string> expected = Received(bench);
  expected.insert(expected.end(), c.preset.begin(), c.preset.end());

  grabber_double::Reset();
  hCam = 7;
  hVic = 8;
  testing::internal::CaptureStdout();
  EXPECT_EQ(LoadCameraMode(c.mode), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Loading " + c.cameraFile + "\n");

  const auto& loads = grabber_double::Loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].call, "CorCamLoad");
  EXPECT_EQ(loads[0].handle, 7u);
  EXPECT_EQ(loads[0].path, c.cameraFile);
  EXPECT_EQ(loads[1].call, "CorVicLoad");
  EXPECT_EQ(loads[1].handle, 8u);
  EXPECT_EQ(loads[1].path, c.vicFile);

  EXPECT_EQ(Received(bench), expected);
  EXPECT_EQ(Registers(bench), c.registers);
  EXPECT_TRUE(SendModePreset(c.mode));
}

const std::vector<std::string> kLastFour = {":MGA=042\r", ":MGB=042\r", ":VRA=000\r", ":VRB=000\r"};

std::vector<std::string> Preset(std::vector<std::string> first) {
  first.insert(first.end(), kLastFour.begin(), kLastFour.end());
  return first;
}

INSTANTIATE_TEST_SUITE_P(
    FourModes, ModeTest,
    testing::Values(ModeCase{0,
                             ".\\x64tm6740Nd_8_x.CCA",
                             ".\\x64tm6740Nd_8_x.CVI",
                             Preset({":SMDA\r", ":SMB=0\r", ":DDP=0\r", ":ADS=1E0\r"}),
                             {{"SMB", 0},
                              {"DDP", 0},
                              {"ADS", 0x1E0},
                              {"MGA", 0x42},
                              {"MGB", 0x42},
                              {"VRA", 0},
                              {"VRB", 0}}},
                    ModeCase{1,
                             ".\\x64tm6740b2d_8_x.CCA",
                             ".\\x64tm6740b2d_8_x.CVI",
                             Preset({":SMDA\r", ":SMB=4\r", ":DDP=0\r", ":ADS=0F0\r"}),
                             {{"SMB", 4},
                              {"DDP", 0},
                              {"ADS", 0xF0},
                              {"MGA", 0x42},
                              {"MGB", 0x42},
                              {"VRA", 0},
                              {"VRB", 0}}},
                    ModeCase{2,
                             ".\\x64tm6740Nd_10_x.CCA",
                             ".\\x64tm6740Nd_10_x.CVI",
                             Preset({":SMDA\r", ":SMB=0\r", ":DDP=1\r", ":ADS=1E0\r"}),
                             {{"SMB", 0},
                              {"DDP", 1},
                              {"ADS", 0x1E0},
                              {"MGA", 0x42},
                              {"MGB", 0x42},
                              {"VRA", 0},
                              {"VRB", 0}}},
                    ModeCase{3,
                             ".\\x64tm6740b2d_10_x.CCA",
                             ".\\x64tm6740b2d_10_x.CVI",
                             Preset({":SMDA\r", ":SMB=4\r", ":DDP=1\r", ":ADS=0F0\r"}),
                             {{"SMB", 4},
                              {"DDP", 1},
                              {"ADS", 0xF0},
                              {"MGA", 0x42},
                              {"MGB", 0x42},
                              {"VRA", 0},
                              {"VRB", 0}}}));

TEST_F(CameraLinkTest, ModeOutsideTheFourSendsNothing) {
  BenchProcess& bench = StartAndOpen();
  grabber_double::Reset();
  testing::internal::CaptureStdout();
  EXPECT_EQ(LoadCameraMode(4), 0u);
  EXPECT_EQ(LoadCameraMode(-1), 0u);
  EXPECT_FALSE(SendModePreset(4));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(grabber_double::Loads().empty());
  EXPECT_TRUE(Received(bench).empty());
}

TEST_F(CameraLinkTest, CountZeroAndAByteAlreadyWaiting) {
  BenchProcess& bench = StartAndOpen();
  uint8_t byte = 0;
  EXPECT_TRUE(SerialWrite(&byte, 0));
  EXPECT_TRUE(SerialRead(&byte, 0));
  EXPECT_TRUE(Received(bench).empty());

  const uint8_t command[] = ":SMDA\r";
  ASSERT_TRUE(SerialWrite(command, 6));
  EXPECT_TRUE(SerialFlush());
  // The reply is written before the bench answers the control channel; give the terminal a
  // moment to pass it on.
  ASSERT_EQ(Received(bench), std::vector<std::string>{":SMDA\r"});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  auto start = Clock::now();
  uint8_t reply[3] = {};
  EXPECT_TRUE(SerialRead(reply, 1));
  EXPECT_LT(MillisecondsSince(start), kTimeOutMs);
  EXPECT_TRUE(SerialRead(reply + 1, 2));
  EXPECT_EQ(std::string(reply, reply + 3), "o\r\n");

  // Nothing more comes: a read ends after the second with nothing, and fails.
  start = Clock::now();
  EXPECT_FALSE(SerialRead(reply, 1));
  EXPECT_GE(MillisecondsSince(start), kTimeOutMs);
}

// A read that times out with part of what it asked for keeps what came and fails.
TEST_F(CameraLinkTest, ShortReadFailsAfterTheSecond) {
  StartAndOpen();
  const uint8_t command[] = ":MGB=100\r";
  ASSERT_TRUE(SerialWrite(command, 9));
  uint8_t reply[4] = {};
  auto start = Clock::now();
  EXPECT_FALSE(SerialRead(reply, 4));
  EXPECT_GE(MillisecondsSince(start), kTimeOutMs);
  EXPECT_EQ(std::string(reply, reply + 3), "o\r\n");
}

// Opens the port from a second program, as another tool would, optionally as a user without
// privileges; returns its result and what it printed.
std::pair<bool, std::string> OpenFromAnotherProgram(const std::string& port, bool unprivileged) {
  int out[2];
  if (pipe(out) != 0) return {false, "pipe"};
  std::string program = testing_support::BuildPath("tests/camera/open_port_tool");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(3);
    setenv("TAPCAL_COM3", port.c_str(), 1);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(4);
  }
  close(out[1]);
  std::string printed;
  char chunk[256];
  for (ssize_t got; (got = read(out[0], chunk, sizeof chunk)) > 0;)
    printed.append(chunk, static_cast<size_t>(got));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << "the second program did not run";
  return {WIFEXITED(status) && WEXITSTATUS(status) == 0, printed};
}

// The port is exclusive while a session holds it, and free again once the session closes it:
// also for a user without privileges, whom the terminal's exclusive mode alone would keep out
// if it outlived the close.
TEST_F(CameraLinkTest, SecondOpenFailsWhileTheFirstHoldsThePort) {
  BenchProcess& bench = StartBench();
  std::string pty = bench.State()["camera"]["pty"];
  std::vector<bool> users{false};
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(pty.c_str(), 0666), 0);
    users.push_back(true);
  }
  for (bool unprivileged : users) {
    SCOPED_TRACE(unprivileged ? "unprivileged" : "same user");
    ASSERT_TRUE(OpenCameraPort());
    EXPECT_EQ(OpenFromAnotherProgram(pty, unprivileged),
              std::make_pair(false, std::string("Cannot open communications port\n")));
    CloseCameraPort();
    EXPECT_EQ(OpenFromAnotherProgram(pty, unprivileged), std::make_pair(true, std::string()));
    // The next mode's session opens it again, and the camera still answers.
    ASSERT_TRUE(OpenCameraPort());
    EXPECT_TRUE(SendCameraCommand(":SMDA\r", 6));
    CloseCameraPort();
  }
}

TEST_F(CameraLinkTest, UnpluggedMidRunThenPluggedBackBehindTheSameLink) {
  BenchProcess& bench = StartAndOpen();
  ASSERT_TRUE(SendCameraCommand(":MGA=0AB\r", 9));
  ASSERT_TRUE(SendCameraCommand(":WRPG3\r", 7));

  ASSERT_EQ(bench.Control("fault unplugged"), "ok");
  EXPECT_FALSE(SendCameraCommand(":MGB=0AB\r", 9));
  CloseCameraPort();

  // The link is gone with the pty, so the next mode finds no port at all.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OpenCameraPort());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open communications port\n");
  EXPECT_FALSE(bench.State()["camera"]["linked"].get<bool>());

  ASSERT_EQ(bench.Control("fault unplugged off"), "ok");
  ASSERT_TRUE(OpenCameraPort());
  EXPECT_TRUE(SendCameraCommand(":SMDA\r", 6));
  auto camera = bench.State()["camera"];
  EXPECT_TRUE(camera["linked"].get<bool>());
  EXPECT_EQ(camera["registers"]["MGA"], 0xAB);
  EXPECT_EQ(camera["registers"]["MGB"], 0x42);
  EXPECT_EQ(camera["pages"]["3"]["MGA"], 0xAB);
}

// Switched on at start with a count: the cable comes out as the fourth command of the preset
// begins, so the preset fails there and nothing after it arrives.
TEST_F(CameraLinkTest, UnplugAfterCommandsFromTheCommandLine) {
  BenchProcess& bench = StartAndOpen({"--fault", "unplugged=3"});
  EXPECT_FALSE(SendModePreset(0));
  EXPECT_EQ(Received(bench), (std::vector<std::string>{":SMDA\r", ":SMB=0\r", ":DDP=0\r"}));
  EXPECT_FALSE(bench.State()["camera"]["linked"].get<bool>());
}

struct CameraCase {
  std::string command;
  std::string reply;
  std::string changed;  // the register the command sets, if it is accepted
  int value;
};

void PrintTo(const CameraCase& c, std::ostream* out) {
  *out << testing::PrintToString(c.command);
}

class CameraCommandTest : public CameraLinkTest, public testing::WithParamInterface<CameraCase> {};

// The camera takes only commands of the exact form: anything else is refused and changes nothing.
TEST_P(CameraCommandTest, RepliesAndRegisters) {
  const CameraCase& c = GetParam();
  BenchProcess& bench = StartAndOpen();
  nlohmann::json expected = Registers(bench);
  if (!c.changed.empty()) expected[c.changed] = c.value;

  ASSERT_TRUE(SerialWrite(reinterpret_cast<const uint8_t*>(c.command.data()),
                          static_cast<uint32_t>(c.command.size())));
  uint8_t reply[3] = {};
  EXPECT_TRUE(SerialRead(reply, 3));
  EXPECT_EQ(std::string(reply, reply + 3), c.reply);
  EXPECT_EQ(Registers(bench), expected);
  EXPECT_EQ(Received(bench), std::vector<std::string>{c.command});
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CameraCommandTest,
    testing::Values(
        CameraCase{":SMDA\r", "o\r\n", "", 0}, CameraCase{":SMB=4\r", "o\r\n", "SMB", 4},
        CameraCase{":DDP=1\r", "o\r\n", "DDP", 1}, CameraCase{":ADS=0F0\r", "o\r\n", "ADS", 0xF0},
        CameraCase{":MGA=FFF\r", "o\r\n", "MGA", 0xFFF},
        CameraCase{":VRB=013\r", "o\r\n", "VRB", 0x13}, CameraCase{":WRPG4\r", "o\r\n", "", 0},
        CameraCase{":MGA=04a\r", "e\r\n", "", 0},    // lower-case hex
        CameraCase{":mga=042\r", "e\r\n", "", 0},    // lower-case mnemonic
        CameraCase{":MGA=42\r", "e\r\n", "", 0},     // too few digits
        CameraCase{":VRA=0042\r", "e\r\n", "", 0},   // too many digits
        CameraCase{":SMB=2\r", "e\r\n", "", 0},      // out of range
        CameraCase{":DDP=01\r", "e\r\n", "", 0},     // wrong length
        CameraCase{":ADS=1E1\r", "e\r\n", "", 0},    // more lines than the sensor
        CameraCase{":ADS=000\r", "e\r\n", "", 0},    // no lines
        CameraCase{":WRPG5\r", "e\r\n", "", 0},      // no such page
        CameraCase{":WRPG=1\r", "e\r\n", "", 0},     // page without "="
        CameraCase{":SMDA=1\r", "e\r\n", "", 0},     // SMDA takes no value
        CameraCase{":XYZ=000\r", "e\r\n", "", 0},    // unknown mnemonic
        CameraCase{"MGA=042\r", "e\r\n", "", 0},     // no colon
        CameraCase{":MGA=-42\r", "e\r\n", "", 0}));  // not hex

// Pages hold the registers at the time of the write and outlive the run through the state file.
TEST_F(CameraLinkTest, PagesSurviveIntoTheNextRun) {
  std::string stateFile = dir_.File("bench-state.json");
  {
    StartBench({}, stateFile);
    ASSERT_TRUE(OpenCameraPort());
    for (const char* command : {":VRA=005\r", ":MGB=047\r", ":WRPG2\r", ":VRA=009\r"})
      ASSERT_TRUE(SendCameraCommand(command, static_cast<uint32_t>(strlen(command))));
    CloseCameraPort();
    auto page = bench_->State()["camera"]["pages"]["2"];
    EXPECT_EQ(page["VRA"], 5);
    EXPECT_EQ(page["MGB"], 0x47);
    EXPECT_FALSE(page["written_at"].get<std::string>().empty());
    EXPECT_TRUE(bench_->Stop());
  }
  StartBench({}, stateFile);
  auto camera = bench_->State()["camera"];
  EXPECT_EQ(camera["pages"]["2"]["VRA"], 5);
  EXPECT_EQ(camera["pages"]["2"]["MGB"], 0x47);
  EXPECT_EQ(camera["pages"]["2"]["MGA"], 0x42);
  EXPECT_TRUE(camera["pages"]["1"].is_null());
  EXPECT_TRUE(camera["pages"]["3"].is_null());
  EXPECT_TRUE(camera["pages"]["4"].is_null());
  EXPECT_EQ(camera["registers"]["VRA"], 0) << "a new run starts from the camera's defaults";
  EXPECT_TRUE(camera["received"].empty());
}

// A bench that runs for many tool runs keeps only the latest commands; the rest are counted.
TEST_F(CameraLinkTest, CommandLogKeepsTheLatest) {
  StartAndOpen({"--camera-log", "2"});
  for (const char* command : {":VRA=001\r", ":VRA=002\r", ":VRA=003\r"})
    ASSERT_TRUE(SendCameraCommand(command, static_cast<uint32_t>(strlen(command))));
  EXPECT_EQ(Received(*bench_), (std::vector<std::string>{":VRA=002\r", ":VRA=003\r"}));
  EXPECT_EQ(bench_->State()["camera"]["received_dropped"], 1);
}

TEST(CameraBenchHelpTest, DescribesTheCameraAndItsFaults) {
  auto run = testing_support::RunProgram(testing_support::BuildPath("sim/bench/tapcal-sim"),
                                         {"--help"}, {}, "", "", 10);
  ASSERT_EQ(run.exitCode, 0);
  for (const char* word : {"--camera-link", "COM3=", "silent", "refuse", "ack-then-silent",
                           "ack-and-refuse", "late=MS", "garbage=N", "unplugged"})
    EXPECT_NE(run.out.find(word), std::string::npos) << word;
}

}  // namespace
