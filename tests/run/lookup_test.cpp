#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fakes/fake_kestan.h"
#include "fakes/virtual_clock.h"
#include "run/instrument_lookup.h"
#include "support/bench_process.h"

namespace {

using testing_support::TempDir;
using Mac = std::array<uint8_t, 6>;

Mac Parse(const std::string& line) {
  Mac mac;
  mac.fill(0xEE);
  ParseMacAddress(line.c_str(), mac.data());
  return mac;
}

TEST(ParseMacAddressTest, SeparatorsPrefixesAndLongNumbers) {
  const Mac expected{0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const std::pair<const char*, Mac> cases[] = {
      {"MACADDRESS 02:1A:2B:3C:4D:5E", expected},
      {"MACADDRESS=0X2-1A-2B-3C-4D-5E", expected},  // upper-cased as the lookup leaves it
      {"MACADDRESS 2 1A 2B 3C 4D 5E", expected},
      {"MACADDRESS\t02.1A=2B  ::3C--4D 5E\n", expected},
      {"MACADDRESS02:1A:2B:3C:4D:5E", expected},  // nothing needed after the token
      {"MACADDRESS 1FF 0X0A 0 0 0 1", {0xFF, 0x0A, 0x00, 0x00, 0x00, 0x01}},
      {"MACADDRESS 0XG1 12 34 56 78 9A", {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A}},  // 0 then X stops
      {"MACADDRESS GZ 12 34 56 78 9A", {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A}},
      {"MACADDRESS 1AG 2B 3C 4D 5E 6F", {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F}},
      {"MACADDRESS 02:1A:2B", {0x02, 0x1A, 0x2B, 0x00, 0x00, 0x00}},  // stops at the line end
      {"MACADDRESS", {0, 0, 0, 0, 0, 0}},
  };
  for (auto& [line, mac] : cases)
    EXPECT_EQ(Parse(line), mac) << line;
}

// A file of CAL lines: whether a token line is found, and the line as found.
TEST(FindMacAddressLineTest, FirstTokenLineInTheFirstColumn) {
  struct Case {
    const char* name;
    std::string file;
    bool found;
    std::string line;
  };
  std::string longLine = std::string(199, 'x') + "MACADDRESS 01 02 03 04 05 06\n";
  const Case cases[] = {
      {"lower case", "[cal]\nmacaddress=0x2-1a-2b-3c-4d-5e\n", true,
       "MACADDRESS=0X2-1A-2B-3C-4D-5E\n"},
      {"two token lines: the first", "MACADDRESS 1 1 1 1 1 1\nMACADDRESS 2 2 2 2 2 2\n", true,
       "MACADDRESS 1 1 1 1 1 1\n"},
      {"blank before the token", " MACADDRESS 1 2 3 4 5 6\n", false, ""},
      {"tab before the token", "\tMACADDRESS 1 2 3 4 5 6\n", false, ""},
      {"MACADD without a line end at the end", "X=1\nMACADD", false, ""},
      {"a 199-character piece ends, the rest is a line of its own", longLine, true,
       "MACADDRESS 01 02 03 04 05 06\n"},
      {"CR LF line ends", "A=1\r\nMACADDRESS 1 2 3 4 5 6\r\n", true, "MACADDRESS 1 2 3 4 5 6\n"},
      {"empty file", "", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FILE* file = std::fopen(dir.Write("cal", c.file).c_str(), "r");
    ASSERT_NE(file, nullptr);
    char line[200];
    EXPECT_EQ(FindMacAddressLine(file, line), c.found);
    if (c.found) {
      EXPECT_EQ(std::string(line), c.line);
    }
    std::fclose(file);
  }
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

BridgeRecord Bridge(uint32_t id, Mac mac) {
  BridgeRecord record{};
  record.bridgeId = id;
  std::memcpy(record.macAddress, mac.data(), 6);
  return record;
}

const Mac kCalMac{0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const Mac kOtherMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// An installation in a temporary directory: the registry file and the CAL file of this host.
class LookupTest : public testing::Test {
 public:
  void SetUp() override {
    fake::ResetBridge();
    fake::ResetVirtualClock();
    std::filesystem::create_directories(dir_.File("inst/cfg"));
    WriteRegistry(dir_.File("inst"));
    WriteCal("MACADDRESS 02:1A:2B:3C:4D:5E\n");
  }
  void TearDown() override { unsetenv("TAPCAL_REGISTRY"); }

  void WriteRegistry(const std::string& targetDir) {
    std::string escaped;
    for (char c : targetDir)
      escaped += c == '\\' ? "\\\\" : std::string(1, c);
    setenv("TAPCAL_REGISTRY",
           dir_.Write("registry.reg",
                      "Windows Registry Editor Version 5.00\n\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale]\n"
                      "\"TargetDir\"=\"" +
                          escaped + "\"\n")
               .c_str(),
           1);
  }
  void WriteCal(const std::string& text) { dir_.Write("inst/cfg/" + HostName() + ".1", text); }

  std::pair<LookupResult, std::string> Lookup() {
    testing::internal::CaptureStdout();
    LookupResult result = ConnectInstrument();
    std::fflush(stdout);
    return {result, testing::internal::GetCapturedStdout()};
  }

  TempDir dir_;
};

TEST_F(LookupTest, ConnectsTheLastBridgeWithTheCalFilesMac) {
  fake::SetBridges({Bridge(11, kCalMac), Bridge(12, kOtherMac), Bridge(13, kCalMac)});
  auto [result, out] = Lookup();
  EXPECT_EQ(result, LookupResult::Connected);
  EXPECT_EQ(out, "");
  auto calls = fake::CanCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].function, "CAN_EnumerateBridges");
  EXPECT_EQ(calls[1].function, "CAN_Connect");
  EXPECT_EQ(calls[1].bridgeId, 13u);
  EXPECT_EQ(calls[2].function, "CAN_SDORead");
  EXPECT_EQ(std::tie(calls[2].node, calls[2].index, calls[2].subindex, calls[2].size),
            std::make_tuple(127, 0x2010, 2, 2));
}

TEST_F(LookupTest, DirectoryEndingInABackslashGivesTwoInARow) {
  // "<dir>\" + "\cfg\": the doubled separator is opened unchanged (POSIX accepts it).
  WriteRegistry(dir_.File("inst") + "\\");
  fake::SetBridges({Bridge(1, kCalMac)});
  EXPECT_EQ(Lookup().first, LookupResult::Connected);
}

TEST_F(LookupTest, EveryFailureWithItsMessage) {
  struct Case {
    const char* name;
    std::function<void(LookupTest&)> arrange;
    std::string out;
  };
  const std::string commsError =
      "Error communicating to instrument. Check network connection. Exiting.\n";
  const Case cases[] = {
      {"no CAL file", [](LookupTest& t) { t.WriteRegistry(t.dir_.File("elsewhere")); },
       "Cannot open CAL file\n"},
      {"CAL path of 100 characters",
       [](LookupTest& t) {
         size_t fixed = std::strlen("\\cfg\\") + HostName().size() + 2;
         t.WriteRegistry(t.dir_.File("inst") +
                         std::string(100 - fixed - t.dir_.File("inst").size(), '/'));
       },
       "Cannot open CAL file\n"},
      {"no token line", [](LookupTest& t) { t.WriteCal(" MACADDRESS 02:1A:2B:3C:4D:5E\n"); },
       "CAL file does not contain MACADDRESS token\n"},
      {"scan error", [](LookupTest&) { fake::SetEnumerateResult(-1); },
       "Error scanning for bridges\n"},
      {"no bridges", [](LookupTest&) {}, "No bridges found on the local network\n"},
      {"no bridge with the address", [](LookupTest&) { fake::SetBridges({Bridge(1, kOtherMac)}); },
       "Bridge with MAC: 02-1A-2B-3C-4D-5E not found"},
      {"negative count other than -1",
       [](LookupTest&) {
         fake::SetBridges({Bridge(1, kCalMac)});
         fake::SetEnumerateResult(-2);
       },
       "Bridge with MAC: 02-1A-2B-3C-4D-5E not found"},
      {"bytes shown as parsed",
       [](LookupTest& t) {
         t.WriteCal("macaddress 0x1FF-a-GZ\n");
         fake::SetBridges({Bridge(1, kCalMac)});
       },
       "Bridge with MAC: FF-0A-00-00-00-00 not found"},
      {"connect fails",
       [](LookupTest&) {
         fake::SetBridges({Bridge(1, kCalMac)});
         fake::FailCall("CAN_Connect", 1, -1);
       },
       commsError},
      {"check read fails",
       [](LookupTest&) {
         fake::SetBridges({Bridge(1, kCalMac)});
         fake::FailCall("CAN_SDORead", 1, 0);
       },
       commsError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange(*this);
    auto [result, out] = Lookup();
    EXPECT_EQ(result, LookupResult::Failed);
    EXPECT_EQ(out, c.out);
  }
}

TEST_F(LookupTest, NoInstallationRecordIsSkippedSilently) {
  const std::pair<const char*, std::string> cases[] = {
      {"no registry file", ""},
      {"key without the value",
       "Windows Registry Editor Version 5.00\n\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale]\n"
       "\"Other\"=\"x\"\n"},
      {"value of 100 characters",
       "Windows Registry Editor Version 5.00\n\n"
       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestan Corporation\\Install Data\\Norvale]\n"
       "\"TargetDir\"=\"" +
           std::string(100, 'd') + "\"\n"},
  };
  for (auto& [name, file] : cases) {
    SCOPED_TRACE(name);
    if (file.empty())
      setenv("TAPCAL_REGISTRY", dir_.File("missing.reg").c_str(), 1);
    else
      setenv("TAPCAL_REGISTRY", dir_.Write("registry.reg", file).c_str(), 1);
    fake::ResetBridge();
    auto [result, out] = Lookup();
    EXPECT_EQ(result, LookupResult::Skipped);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(fake::CanCalls().empty());
  }
}

}  // namespace
