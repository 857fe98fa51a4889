// The Windows package under Wine, as far as the instrument goes: the installation record read with
// RegOpenKeyExA/RegQueryValueExA, the host name from Windows Sockets, the CAL file in text mode,
// the bridge library over Winsock; then the start-up requests and the camera port "COM3".
#include <gtest/gtest.h>

#include "support/bench_process.h"
#include "support/installation.h"
#include "wine_host.h"
#include "wine_run.h"

namespace {

using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::ToolRun;

constexpr char kCommunicationError[] =
    "Error communicating to instrument. Check network connection. Exiting.\n";
constexpr char kStartUp[] = "Starting diffuser disk\nHoming ND wheel\n";
constexpr double kRunTimeout = 90;
const std::string kMacLine = "MACADDRESS 02:1A:2B:3C:4D:5E";

std::vector<nlohmann::json> RequestsOf(const nlohmann::json& state, const std::string& object) {
  std::vector<nlohmann::json> found;
  for (const auto& entry : state["instrument"]["sdo"])
    if (entry.value("object", "") == object) found.push_back(entry);
  return found;
}

struct FailureRow {
  const char* name;
  std::vector<std::string> benchArgs;
  std::string macLine;
  std::map<std::string, std::string> env;  // over the installation's
  std::string expected;                    // the whole standard output
};

void PrintTo(const FailureRow& row, std::ostream* out) {
  *out << row.name;
}

class WineLookupFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(WineLookupFailure, PrintsItsMessageAndEndsTheRun) {
  const FailureRow& row = GetParam();
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench(row.benchArgs);
  ASSERT_TRUE(bench.Ready());
  Installation installation(row.macLine);
  ASSERT_TRUE(host.Prepare(installation, bench));

  ToolRun run = RunWineTool(host, installation, bench, "", kRunTimeout, row.env);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, row.expected);

  auto state = bench.State();
  EXPECT_TRUE(RequestsOf(state, "DiffuserControl").empty());
  EXPECT_TRUE(RequestsOf(state, "NdWheelCommand").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WineLookupFailure,
    ::testing::Values(FailureRow{"NoCalFile", {}, "", {}, "Cannot open CAL file\n"},
                      FailureRow{"NoTokenLine",
                                 {},
                                 " MACADDRESS 02:1A:2B:3C:4D:5E",
                                 {},
                                 "CAL file does not contain MACADDRESS token\n"},
                      FailureRow{"ScanFails",
                                 {},
                                 kMacLine,
                                 {{"TAPCAL_BRIDGES", "127.0.0.1:bridge"}},
                                 "Error scanning for bridges\n"},
                      FailureRow{"NoBridgeWithTheMac",
                                 {"--bridge-macs", "02-1A-2B-3C-4D-5E,0A-1A-2B-3C-4D-5E"},
                                 "macaddress=0x2-1a-2b-3c-4d-1FF",
                                 {},
                                 "Bridge with MAC: 02-1A-2B-3C-4D-FF not found"},
                      FailureRow{"CheckReadAborted",
                                 {"--fault", "check-read-abort"},
                                 kMacLine,
                                 {},
                                 kCommunicationError}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

// The start-up road to the first session, on a host without "COM3": the instrument requests in
// their order, then the port that cannot be opened ends the run at once, without the closing
// message and before any camera command.
TEST(WineStartUp, ConnectsStartsTheInstrumentThenFindsNoCom3) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench({"--homing-ms", "800", "--ramp-ms", "100"});
  ASSERT_TRUE(bench.Ready());
  Installation installation(kMacLine);
  ASSERT_TRUE(host.Prepare(installation, bench));
  host.SetCom3("");

  ToolRun run = RunWineTool(host, installation, bench, "", kRunTimeout);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, std::string(kStartUp) + "Cannot open communications port\n");

  auto state = bench.State();
  auto instrument = state["instrument"];
  EXPECT_TRUE(instrument["diffuser_running"]);
  EXPECT_TRUE(instrument["homed"]);
  auto sdo = instrument["sdo"];
  ASSERT_GE(sdo.size(), 4u);
  EXPECT_EQ(sdo[0]["object"], "Node127Word");
  EXPECT_EQ(sdo[0]["op"], "read");
  EXPECT_EQ(sdo[1]["object"], "DiffuserControl");
  EXPECT_EQ(sdo[1]["value"], 1);
  EXPECT_EQ(sdo[2]["object"], "NdWheelCommand");
  EXPECT_EQ(sdo[2]["value"], 3);
  auto statusReads = RequestsOf(state, "InstrumentStatus");
  ASSERT_GE(statusReads.size(), 2u);
  EXPECT_EQ(statusReads.back()["value"].get<int>() & 0x18, 0x18);
  EXPECT_TRUE(RequestsOf(state, "LightLevel").empty()) << "no mode was opened";
  EXPECT_TRUE(state["camera"]["received"].empty());
}

// The installation record at the edge of its 100-byte buffer: a value of 99 characters is read
// and its CAL path tried; one of 100 characters is no record, and the lookup is skipped without a
// word while the start-up requests are still issued (unconnected, they fail at once).
TEST(WineStartUp, TargetDirMustFitItsBufferWithItsTerminator) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench({"--homing-ms", "0"});
  ASSERT_TRUE(bench.Ready());
  Installation installation(kMacLine);
  ASSERT_TRUE(host.Prepare(installation, bench));
  host.SetCom3("");

  const std::string fits = "Z:\\" + std::string(96, 'd');
  ASSERT_EQ(fits.size(), 99u);
  ASSERT_TRUE(host.SetTargetDir(fits));
  ToolRun run = RunWineTool(host, installation, bench, "", kRunTimeout);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Cannot open CAL file\n");

  ASSERT_TRUE(host.SetTargetDir(fits + "d"));
  run = RunWineTool(host, installation, bench, "", kRunTimeout);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, std::string(kStartUp) + "Cannot open communications port\n");
  auto state = bench.State();
  EXPECT_TRUE(state["instrument"]["sdo"].empty());
  EXPECT_EQ(state["bridges"]["list"][0]["discovery_requests"], 0);
}

TEST(WineStartUp, WithoutAnInstallationRecordTheRunGoesOn) {
  auto& host = wine_run::Host();
  ASSERT_TRUE(host.Ready()) << host.Failure();
  BenchProcess bench({"--homing-ms", "0"});
  ASSERT_TRUE(bench.Ready());
  Installation installation(kMacLine);
  ASSERT_TRUE(host.Prepare(installation, bench));
  ASSERT_TRUE(host.DeleteInstallationRecord());
  host.SetCom3("");

  ToolRun run = RunWineTool(host, installation, bench, "", kRunTimeout);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, std::string(kStartUp) + "Cannot open communications port\n");
  auto state = bench.State();
  EXPECT_TRUE(state["instrument"]["sdo"].empty());
  EXPECT_EQ(state["bridges"]["list"][0]["discovery_requests"], 0);
}

}  // namespace
