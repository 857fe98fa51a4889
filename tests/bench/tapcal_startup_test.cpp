// The real tool against the real bench, as far as the instrument goes: the lookup through the
// registry file and the CAL file, the bridge scan, connect and check read, then the start-up
// requests. What the tool did is read from the bench's state, not from its output alone.
#include <gtest/gtest.h>

#include "support/bench_process.h"
#include "support/installation.h"

namespace {

using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::ToolRun;

constexpr char kCommunicationError[] =
    "Error communicating to instrument. Check network connection. Exiting.\n";
constexpr double kRunTimeout = 60;

// The SDO requests the bench saw for one object.
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

class LookupFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(LookupFailure, PrintsItsMessageAndEndsTheRun) {
  const FailureRow& row = GetParam();
  BenchProcess bench(row.benchArgs);
  ASSERT_TRUE(bench.Ready());
  Installation installation(row.macLine);
  auto env = installation.Environment(bench);
  for (const auto& [key, value] : row.env)
    env[key] = value;

  ToolRun run = testing_support::RunProgram(testing_support::BuildPath("src/tapcal"), {}, env, "",
                                            installation.WorkDir(), kRunTimeout);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, row.expected);

  // Nothing after the failed lookup reaches the instrument.
  auto state = bench.State();
  EXPECT_TRUE(RequestsOf(state, "DiffuserControl").empty());
  EXPECT_TRUE(RequestsOf(state, "NdWheelCommand").empty());
  EXPECT_FALSE(state["instrument"]["diffuser_running"]);
}

const std::string kMacLine = "MACADDRESS 02:1A:2B:3C:4D:5E";

INSTANTIATE_TEST_SUITE_P(
    EveryRow, LookupFailure,
    ::testing::Values(
        FailureRow{"NoCalFile", {}, "", {}, "Cannot open CAL file\n"},
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
        FailureRow{"NoBridgeAnswers",
                   {"--fault", "no-discovery"},
                   kMacLine,
                   {},
                   "No bridges found on the local network\n"},
        FailureRow{"NoBridgeWithTheMac",
                   {"--bridge-macs", "02-1A-2B-3C-4D-5E,0A-1A-2B-3C-4D-5E"},
                   "macaddress=0x2-1a-2b-3c-4d-1FF",
                   {},
                   "Bridge with MAC: 02-1A-2B-3C-4D-FF not found"},
        FailureRow{"BridgeGoneBeforeConnect",
                   {"--fault", "vanish-after-discovery"},
                   kMacLine,
                   {},
                   kCommunicationError},
        FailureRow{
            "CheckReadAborted", {"--fault", "check-read-abort"}, kMacLine, {}, kCommunicationError},
        FailureRow{
            "CheckReadTooLate", {"--fault", "late-answers"}, kMacLine, {}, kCommunicationError}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

// The start of the output of a run whose lookup went through.
constexpr char kStartUp[] = "Starting diffuser disk\nHoming ND wheel\n";

// A run that goes as far as the instrument goes: without its camera port the first mode's
// session does not open, and the run ends right after the start-up.
ToolRun RunStartUp(const Installation& installation, const BenchProcess& bench,
                   std::map<std::string, std::string> env = {}) {
  testing_support::TempDir dir;
  for (const auto& [key, value] : installation.Environment(bench))
    env.emplace(key, value);
  env["TAPCAL_COM3"] = dir.File("no-camera-port");
  ToolRun run = testing_support::RunProgram(testing_support::BuildPath("src/tapcal"), {}, env, "",
                                            installation.WorkDir(), kRunTimeout);
  EXPECT_NE(run.out.find("Cannot open communications port\n"), std::string::npos) << run.out;
  return run;
}

TEST(ToolStartUp, ConnectsChecksThenStartsTheDiffuserAndHomesTheWheel) {
  BenchProcess bench({"--homing-ms", "800", "--ramp-ms", "100"});
  ASSERT_TRUE(bench.Ready());
  Installation installation(kMacLine);
  ToolRun run = RunStartUp(installation, bench);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.substr(0, sizeof kStartUp - 1), kStartUp) << run.out;

  auto state = bench.State();
  auto instrument = state["instrument"];
  EXPECT_TRUE(instrument["diffuser_running"]);
  EXPECT_TRUE(instrument["homed"]);
  auto sdo = instrument["sdo"];
  ASSERT_GE(sdo.size(), 4u);
  // In order: the check read, the diffuser, the homing command, then status reads until homed.
  EXPECT_EQ(sdo[0]["object"], "Node127Word");
  EXPECT_EQ(sdo[0]["op"], "read");
  EXPECT_EQ(sdo[0]["size"], 2);
  EXPECT_EQ(sdo[0]["abort"], 0);
  EXPECT_EQ(sdo[1]["object"], "DiffuserControl");
  EXPECT_EQ(sdo[1]["op"], "write");
  EXPECT_EQ(sdo[1]["value"], 1);
  EXPECT_EQ(sdo[1]["size"], 1);
  EXPECT_EQ(sdo[2]["object"], "NdWheelCommand");
  EXPECT_EQ(sdo[2]["value"], 3);
  EXPECT_EQ(sdo[2]["size"], 1);
  auto statusReads = RequestsOf(state, "InstrumentStatus");
  ASSERT_GE(statusReads.size(), 2u) << "not homed at the first read, right after the command";
  EXPECT_LE(statusReads.size(), 10u);
  EXPECT_EQ(statusReads.back()["value"].get<int>() & 0x18, 0x18);
  for (size_t i = 0; i + 1 < statusReads.size(); ++i)
    EXPECT_NE(statusReads[i]["value"].get<int>() & 0x18, 0x18) << "reads stop once homed";
  for (const auto& entry : sdo)
    EXPECT_EQ(entry["bridge"], 0);
}

TEST(ToolStartUp, OfTwoBridgesWithTheMacTheLaterOneIsConnected) {
  BenchProcess bench({"--bridge-macs", "02-1A-2B-3C-4D-5E,02-1A-2B-3C-4D-5F,02-1A-2B-3C-4D-5E",
                      "--homing-ms", "0"});
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS 02-1a-2b-3c-4d-5e");
  ToolRun run = RunStartUp(installation, bench);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.substr(0, sizeof kStartUp - 1), kStartUp) << run.out;

  auto state = bench.State();
  auto sdo = state["instrument"]["sdo"];
  ASSERT_FALSE(sdo.empty());
  for (const auto& entry : sdo)
    EXPECT_EQ(entry["bridge"], 2);
  EXPECT_TRUE(state["instrument"]["diffuser_running"]);
  EXPECT_TRUE(state["instrument"]["homed"]);
  EXPECT_EQ(RequestsOf(state, "InstrumentStatus").size(), 1u) << "homed at the first read";
}

TEST(ToolStartUp, WithoutAnInstallationRecordTheStartUpRequestsStillReturn) {
  BenchProcess bench({"--homing-ms", "0"});
  ASSERT_TRUE(bench.Ready());
  Installation installation(kMacLine);
  testing_support::TempDir empty;
  // Unconnected, every status read fails at once; the ten one-second sleeps of the homing wait
  // are the tool's own.
  ToolRun run =
      RunStartUp(installation, bench, {{"TAPCAL_REGISTRY", empty.File("no-registry.reg")}});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.substr(0, sizeof kStartUp - 1), kStartUp) << run.out;
  EXPECT_EQ(run.out.find("CAL file"), std::string::npos);

  auto state = bench.State();
  EXPECT_TRUE(state["instrument"]["sdo"].empty());
  EXPECT_EQ(state["bridges"]["list"][0]["discovery_requests"], 0);
}

}  // namespace
