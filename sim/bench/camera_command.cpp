#include "camera_command.h"

namespace sim {

namespace {

struct RegisterForm {
  std::string_view mnemonic;
  int digits;
  bool (*accepts)(int value);
};

// SMB selects full-frame (0) or 2x vertically binned (4) readout, DDP 8-bit (0) or 10-bit (1)
// data, ADS the lines per frame of the 480-line sensor; gains and reference voltages take any
// three-digit value.
constexpr RegisterForm kRegisters[] = {
    {"SMB", 1, [](int v) { return v == 0 || v == 4; }},
    {"DDP", 1, [](int v) { return v == 0 || v == 1; }},
    {"ADS", 3, [](int v) { return v >= 1 && v <= 0x1E0; }},
    {"MGA", 3, [](int) { return true; }},
    {"MGB", 3, [](int) { return true; }},
    {"VRA", 3, [](int) { return true; }},
    {"VRB", 3, [](int) { return true; }},
};

// Upper-case hexadecimal digits only, exactly as many as given.
std::optional<int> ParseHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  int value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

std::optional<CameraCommand> ParseCameraCommand(std::string_view line) {
  if (line.empty() || line.front() != ':') return std::nullopt;
  line.remove_prefix(1);

  if (line == "SMDA") return CameraCommand{CameraCommand::Kind::kSelectMode, "SMDA"};

  // WRPG takes its page as one decimal digit right after the mnemonic.
  if (line.size() == 5 && line.substr(0, 4) == "WRPG") {
    char page = line[4];
    if (page < '1' || page > '0' + kCameraPages) return std::nullopt;
    return CameraCommand{CameraCommand::Kind::kWritePage, "WRPG", page - '0'};
  }

  for (const RegisterForm& form : kRegisters) {
    if (line.substr(0, 4) != std::string(form.mnemonic) + "=") continue;
    std::string_view digits = line.substr(4);
    if (static_cast<int>(digits.size()) != form.digits) return std::nullopt;
    auto value = ParseHex(digits);
    if (!value || !form.accepts(*value)) return std::nullopt;
    return CameraCommand{CameraCommand::Kind::kSetRegister, std::string(form.mnemonic), *value};
  }
  return std::nullopt;
}

void SetCameraRegister(CameraRegisters& registers, const CameraCommand& command) {
  ForEachCameraRegister(registers, [&](std::string_view mnemonic, int& field) {
    if (mnemonic == command.mnemonic) field = command.value;
  });
}

}  // namespace sim
