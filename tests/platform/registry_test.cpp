#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "support/bench_process.h"

namespace {

using testing_support::TempDir;

constexpr char kKey[] = "SOFTWARE\\Kestan Corporation\\Install Data\\Norvale";

struct RegistryCase {
  const char* name;
  std::string file;  // contents of the .reg file
  bool found;
  std::string value;  // when found
  size_t bufferSize = 100;
};

std::string Utf16Le(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kSection =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale]\r\n";

void PrintTo(const RegistryCase& c, std::ostream* os) { *os << c.name; }

class RegistryTest : public testing::TestWithParam<RegistryCase> {};

TEST_P(RegistryTest, ReadsTargetDir) {
  const RegistryCase& c = GetParam();
  TempDir dir;
  setenv("TAPCAL_REGISTRY", dir.Write("registry.reg", c.file).c_str(), 1);
  char buffer[256];
  std::memset(buffer, 'x', sizeof buffer);
  bool found = platform::ReadMachineRegistryString(kKey, "TargetDir", buffer, c.bufferSize);
  EXPECT_EQ(found, c.found);
  if (c.found) {
    EXPECT_EQ(std::string(buffer), c.value);
  }
  unsetenv("TAPCAL_REGISTRY");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryTest,
    testing::Values(
        RegistryCase{"plain", kHeader + kSection + "\"TargetDir\"=\"D:\\\\Inst\"\r\n", true,
                     "D:\\Inst"},
        RegistryCase{"escaped quote and trailing backslash",
                     kHeader + kSection + "\"TargetDir\"=\"D:\\\\a \\\"b\\\"\\\\\"\n", true,
                     "D:\\a \"b\"\\"},
        RegistryCase{
            "names compared without case",
            kHeader + "[hkey_local_machine\\software\\KESTAN corporation\\install data\\norvale]\n"
                      "\"targetdir\"=\"C:\\\\X\"\n",
            true, "C:\\X"},
        RegistryCase{"utf-16 with byte-order mark",
                     Utf16Le(kHeader + kSection + "\"TargetDir\"=\"E:\\\\Norvale\"\r\n"), true,
                     "E:\\Norvale"},
        RegistryCase{"other values and keys around it",
                     kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"TargetDir\"=\"wrong\"\n" +
                         kSection + "\"Version\"=dword:00000003\n\"TargetDir\"=\"right\"\n",
                     true, "right"},
        RegistryCase{"value missing", kHeader + kSection + "\"Other\"=\"x\"\n", false, ""},
        RegistryCase{"key missing",
                     kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"TargetDir\"=\"x\"\n",
                     false, ""},
        RegistryCase{"key under another root",
                     kHeader +
                         "[HKEY_CURRENT_USER\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale]"
                         "\n\"TargetDir\"=\"x\"\n",
                     false, ""},
        RegistryCase{"99 characters fit",
                     kHeader + kSection + "\"TargetDir\"=\"" + std::string(99, 'a') + "\"\n", true,
                     std::string(99, 'a')},
        RegistryCase{"100 characters do not",
                     kHeader + kSection + "\"TargetDir\"=\"" + std::string(100, 'a') + "\"\n",
                     false, ""},
        RegistryCase{
            "expandable string as hex(2)",
            kHeader + kSection + "\"TargetDir\"=hex(2):43,00,3a,00,5c,00,\\\r\n  41,00,00,00\r\n",
            true, "C:\\A"}),
    [](const testing::TestParamInfo<RegistryCase>& info) {
      std::string name = info.param.name;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(RegistryFileTest, MissingFileIsAFailedRead) {
  setenv("TAPCAL_REGISTRY", "/nonexistent/registry.reg", 1);
  char buffer[100];
  EXPECT_FALSE(platform::ReadMachineRegistryString(kKey, "TargetDir", buffer, sizeof buffer));
  unsetenv("TAPCAL_REGISTRY");
}

}  // namespace
