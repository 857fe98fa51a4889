#include "camera/camera_protocol.h"

#include <cstdio>
#include <initializer_list>

#include "acquisition/session.h"
#include "acquisition/status.h"
#include "camera/serial_port.h"
#include "platform/clock.h"

namespace {

// The camera files of the four modes, named relative to the working directory.
constexpr const char* CCA_FILE1 = ".\\x64tm6740Nd_8_x.CCA";
constexpr const char* CVI_FILE1 = ".\\x64tm6740Nd_8_x.CVI";
constexpr const char* CCA_FILE2 = ".\\x64tm6740b2d_8_x.CCA";
constexpr const char* CVI_FILE2 = ".\\x64tm6740b2d_8_x.CVI";
constexpr const char* CCA_FILE3 = ".\\x64tm6740Nd_10_x.CCA";
constexpr const char* CVI_FILE3 = ".\\x64tm6740Nd_10_x.CVI";
constexpr const char* CCA_FILE4 = ".\\x64tm6740b2d_10_x.CCA";
constexpr const char* CVI_FILE4 = ".\\x64tm6740b2d_10_x.CVI";

struct Command {
  const char* text;
  uint32_t length;  // sent exactly, without a terminator
};

constexpr uint32_t TextLength(const char* text) {
  uint32_t length = 0;
  while (text[length])
    ++length;
  return length;
}

constexpr Command kSelectMode{":SMDA\r", 6};
constexpr Command kFullFrame{":SMB=0\r", 7};
constexpr Command kBinned{":SMB=4\r", 7};
constexpr Command kDepth8{":DDP=0\r", 7};
constexpr Command kDepth10{":DDP=1\r", 7};
constexpr Command kLinesFullFrame{":ADS=1E0\r", 9};
constexpr Command kLinesBinned{":ADS=0F0\r", 9};
constexpr Command kGainA{":MGA=042\r", 9};
constexpr Command kGainB{":MGB=042\r", 9};
constexpr Command kVrefA{":VRA=000\r", 9};
constexpr Command kVrefB{":VRB=000\r", 9};

constexpr bool LengthsMatch(std::initializer_list<Command> commands) {
  for (const Command& command : commands)
    if (TextLength(command.text) != command.length) return false;
  return true;
}
static_assert(LengthsMatch({kSelectMode, kFullFrame, kBinned, kDepth8, kDepth10, kLinesFullFrame,
                            kLinesBinned, kGainA, kGainB, kVrefA, kVrefB}));

struct CameraMode {
  const char* cameraFile;
  const char* vicFile;
  const char* cameraLoadText;
  const char* vicLoadText;
  Command readout;  // SMB
  Command depth;    // DDP
  Command lines;    // ADS
};

// Modes 0 and 2 are the full-frame (Nd) modes, 1 and 3 the binned (b2d) ones; 0 and 1 give 8
// bits, 2 and 3 give 10.
constexpr CameraMode kModes[] = {
    {CCA_FILE1, CVI_FILE1, "CorCamLoad(hCam, CCA_FILE1)", "CorVicLoad(hVic, CVI_FILE1)", kFullFrame,
     kDepth8, kLinesFullFrame},
    {CCA_FILE2, CVI_FILE2, "CorCamLoad(hCam, CCA_FILE2)", "CorVicLoad(hVic, CVI_FILE2)", kBinned,
     kDepth8, kLinesBinned},
    {CCA_FILE3, CVI_FILE3, "CorCamLoad(hCam, CCA_FILE3)", "CorVicLoad(hVic, CVI_FILE3)", kFullFrame,
     kDepth10, kLinesFullFrame},
    {CCA_FILE4, CVI_FILE4, "CorCamLoad(hCam, CCA_FILE4)", "CorVicLoad(hVic, CVI_FILE4)", kBinned,
     kDepth10, kLinesBinned},
};

constexpr int kModeCount = sizeof kModes / sizeof kModes[0];
constexpr int kMaxRepeats = 3;
constexpr int kReplyBytes = 3;
constexpr uint32_t kReplyDelayMs = 20;

bool ValidMode(int mode) {
  return mode >= 0 && mode < kModeCount;
}

bool Send(const Command& command) {
  return SendCameraCommand(command.text, command.length);
}

}  // namespace

bool SendCameraCommand(const char* text, uint32_t length) {
  bool acknowledged = false;
  bool refused = false;
  int repeats = 0;
  for (;;) {
    // A write that fails keeps the refusal of the sending before, so a repeat still follows.
    if (SerialWrite(reinterpret_cast<const uint8_t*>(text), length)) {
      platform::SleepMs(kReplyDelayMs);
      refused = false;
      for (int i = 0; i < kReplyBytes; ++i) {
        uint8_t reply;
        if (!SerialRead(&reply, 1)) {
          SerialFlush();
          break;
        }
        if (reply == 'o') acknowledged = true;
        if (reply == 'e') refused = true;
      }
    } else {
      SerialFlush();
    }
    // An 'e' sends the command again even after an 'o'; an 'o' once seen is never taken back.
    if (!refused || repeats >= kMaxRepeats) return acknowledged;
    ++repeats;
  }
}

CORSTATUS LoadCameraMode(int mode) {
  if (!ValidMode(mode)) return 0;
  const CameraMode& files = kModes[mode];
  std::printf("Loading %s\n", files.cameraFile);
  if (CORSTATUS status = CorCamLoad(hCam, files.cameraFile))
    return CheckStatus(files.cameraLoadText, status);
  if (CORSTATUS status = CorVicLoad(hVic, files.vicFile))
    return CheckStatus(files.vicLoadText, status);
  SendModePreset(mode);  // the session opens whatever the camera made of it
  return 0;
}

bool SendModePreset(int mode) {
  if (!ValidMode(mode)) return false;
  const CameraMode& preset = kModes[mode];
  for (const Command& command :
       {kSelectMode, preset.readout, preset.depth, preset.lines, kGainA, kGainB, kVrefA, kVrefB})
    if (!Send(command)) return false;
  return true;
}
