// The camera link where no camera answers: a missing port, a port that takes no line mode, and
// the load failures of a camera mode. The virtual clock shows whether a command ever got as far
// as waiting for its reply.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "acquisition/session.h"
#include "camera/camera_protocol.h"
#include "camera/serial_port.h"
#include "fakes/virtual_clock.h"
#include "grabber_double.h"
#include "support/bench_process.h"

namespace {

using testing_support::TempDir;

class CameraPortTest : public testing::Test {
 protected:
  void SetUp() override {
    fake::ResetVirtualClock();
    grabber_double::Reset();
  }
  void TearDown() override {
    CloseCameraPort();
    unsetenv("TAPCAL_COM3");
  }
  void UsePort(const std::string& path) { setenv("TAPCAL_COM3", path.c_str(), 1); }

  TempDir dir_;
};

TEST_F(CameraPortTest, NoDeviceForCom3IsReportedOnceAndTheOpenFails) {
  UsePort(dir_.File("no-such-port"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OpenCameraPort());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open communications port\n");

  uint8_t byte = ':';
  EXPECT_FALSE(SerialWrite(&byte, 1));
  EXPECT_FALSE(SerialRead(&byte, 1));
  EXPECT_FALSE(SerialFlush());
}

// A path that is not a terminal opens but takes no line mode: given up without a word, and from
// then on every transfer fails at once, so no command ever waits for a reply or goes out again.
TEST_F(CameraPortTest, PortThatRefusesTheLineModeIsGivenUpSilently) {
  std::string path = dir_.Write("not-a-terminal", "");
  UsePort(path);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(OpenCameraPort());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const uint8_t command[] = ":SMDA\r";
  uint8_t reply = 0;
  EXPECT_FALSE(SerialWrite(command, 6));
  EXPECT_TRUE(SerialWrite(command, 0));
  EXPECT_FALSE(SerialRead(&reply, 1));
  EXPECT_FALSE(SerialFlush());

  EXPECT_FALSE(SendCameraCommand(":MGA=042\r", 9));
  EXPECT_FALSE(SendModePreset(3));
  EXPECT_TRUE(fake::Sleeps().empty()) << "a command waited for a reply on a port given up";

  // The mode still loads: the failed preset does not count.
  testing::internal::CaptureStdout();
  EXPECT_EQ(LoadCameraMode(2), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Loading .\\x64tm6740Nd_10_x.CCA\n");
  EXPECT_EQ(grabber_double::Loads().size(), 2u);

  CloseCameraPort();
  CloseCameraPort();  // closing twice, or a port given up, touches nothing
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  EXPECT_EQ(contents.str(), "") << "bytes reached a port that was given up";
}

struct LoadFailure {
  int mode;
  bool vicFails;  // else the camera file fails
  CORSTATUS status;
  std::string statusText;
  std::vector<std::string> expectedPaths;  // loads attempted, in order
  std::string expectedOutput;
};

void PrintTo(const LoadFailure& c, std::ostream* out) {
  *out << "mode " << c.mode << (c.vicFails ? ", VIC file fails" : ", camera file fails");
}

class LoadFailureTest : public CameraPortTest, public testing::WithParamInterface<LoadFailure> {};

// The mode's file names reach the grabber; the failed load is reported in the status form with
// the table's constant name and ends the load, before any command.
TEST_P(LoadFailureTest, IsReportedWithItsFileConstantAndEndsTheLoad) {
  const LoadFailure& c = GetParam();
  hCam = 0x51;
  hVic = 0x52;
  if (c.vicFails)
    grabber_double::FailVicLoad(c.status);
  else
    grabber_double::FailCameraLoad(c.status);
  grabber_double::SetStatusText(c.statusText);

  testing::internal::CaptureStdout();
  EXPECT_EQ(LoadCameraMode(c.mode), c.status);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expectedOutput);

  const auto& loads = grabber_double::Loads();
  ASSERT_EQ(loads.size(), c.expectedPaths.size());
  for (size_t i = 0; i < loads.size(); ++i) {
    EXPECT_EQ(loads[i].path, c.expectedPaths[i]);
    EXPECT_EQ(loads[i].call, i == 0 ? "CorCamLoad" : "CorVicLoad");
    EXPECT_EQ(loads[i].handle, i == 0 ? 0x51u : 0x52u);
  }
  EXPECT_TRUE(fake::Sleeps().empty()) << "a command was sent after a failed load";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LoadFailureTest,
    testing::Values(LoadFailure{0,
                                false,
                                0x01401207,
                                "Camera file not found",
                                {".\\x64tm6740Nd_8_x.CCA"},
                                "Loading .\\x64tm6740Nd_8_x.CCA\n"
                                "CorCamLoad(hCam, CCA_FILE1)\n"
                                "   Error in module 0x5 (status = 0x7, info = 0x12)\n"
                                "   <Camera file not found>\n"},
                    LoadFailure{1,
                                true,
                                0x00000009,
                                "",
                                {".\\x64tm6740b2d_8_x.CCA", ".\\x64tm6740b2d_8_x.CVI"},
                                "Loading .\\x64tm6740b2d_8_x.CCA\n"
                                "CorVicLoad(hVic, CVI_FILE2)\n"
                                "   Error in module 0x0 (status = 0x9, info = 0x0)\n"},
                    LoadFailure{2,
                                false,
                                0xF0300000,
                                "Bits the decoder does not show",
                                {".\\x64tm6740Nd_10_x.CCA"},
                                "Loading .\\x64tm6740Nd_10_x.CCA\n"
                                "CorCamLoad(hCam, CCA_FILE3)\n"
                                "   Error in module 0x0 (status = 0x0, info = 0x0)\n"
                                "   <Bits the decoder does not show>\n"},
                    LoadFailure{3,
                                true,
                                0x0FCFFFFF,
                                "Invalid VIC file",
                                {".\\x64tm6740b2d_10_x.CCA", ".\\x64tm6740b2d_10_x.CVI"},
                                "Loading .\\x64tm6740b2d_10_x.CCA\n"
                                "CorVicLoad(hVic, CVI_FILE4)\n"
                                "   Error in module 0x3F (status = 0xFF, info = 0xFFF)\n"
                                "   <Invalid VIC file>\n"}));

TEST_F(CameraPortTest, ModeOutsideTheFourLoadsAndPrintsNothing) {
  for (int mode : {-1, 4, 1000}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadCameraMode(mode), 0u) << mode;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << mode;
    EXPECT_FALSE(SendModePreset(mode)) << mode;
  }
  EXPECT_TRUE(grabber_double::Loads().empty());
}

}  // namespace
