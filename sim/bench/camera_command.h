// The serial camera's command set: a colon, a mnemonic, for most commands "=" and a value in
// upper-case hexadecimal of the register's exact width, and a carriage return.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "world.h"

namespace sim {

struct CameraCommand {
  enum class Kind { kSelectMode, kSetRegister, kWritePage };
  Kind kind;
  std::string mnemonic;  // "SMDA", "WRPG" or a register's
  int value = 0;         // the register's new value, or the page number
};

// `line` is one command without its carriage return. Empty when the camera refuses it: an unknown
// mnemonic, a missing or extra value, lower-case hex, the wrong number of digits, a value out of
// the register's range.
std::optional<CameraCommand> ParseCameraCommand(std::string_view line);

// Sets the register that `command` names (a kSetRegister command).
void SetCameraRegister(CameraRegisters& registers, const CameraCommand& command);

// The registers by mnemonic, in the order of the command set.
template <typename Visit>
void ForEachCameraRegister(CameraRegisters& registers, Visit visit) {
  visit("SMB", registers.smb);
  visit("DDP", registers.ddp);
  visit("ADS", registers.ads);
  visit("MGA", registers.mga);
  visit("MGB", registers.mgb);
  visit("VRA", registers.vra);
  visit("VRB", registers.vrb);
}

constexpr int kCameraPages = 4;

}  // namespace sim
