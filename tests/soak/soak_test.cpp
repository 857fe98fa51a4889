// Many full runs of the real tool, one after another, against one bench, with the live view on a
// real X server: nothing may grow. Each run is a process of its own, so what can grow is watched
// where it persists:
//   - the bench across the runs: its descriptors, threads and resident memory after each run;
//   - each run within itself: the tool's descriptors and threads in every mode must stay at the
//     level of the first mode, and once the servers are released they must be back at (or below)
//     the level after start-up; nothing a mode opens may outlive it.
// Leaks of memory inside one run are LeakSanitizer's to find: in the ASan build (scripts/sanitize)
// this test runs the tool and the bench under it, and a leak fails the run's exit code.
//
// TAPCAL_SOAK_RUNS sets the number of runs (default 3); scripts/soak runs twenty.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "full_run_checks.h"
#include "support/installation.h"
#include "support/xvfb_server.h"

namespace {

using testing_support::BenchProcess;
using testing_support::Installation;
using testing_support::ToolRun;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers hold freed memory back (ASan's quarantine) and map shadow memory as it is
// touched: resident memory says nothing about leaks there. Their own leak check does.
constexpr bool kResidentMemoryMeans = false;
#else
constexpr bool kResidentMemoryMeans = true;
#endif

// The bench's resident memory after a run may exceed its level after run 2 by this much. Until
// then its traffic logs fill up to the length the bench is started with and the allocator warms
// up (the frame thread's arena, the pty and socket buffers, the JSON of the state); after it a
// run should leave nothing behind. Measured here: flat to within a few KiB over twenty runs. The
// slack is for an allocator that keeps or returns freed pages differently elsewhere; a frame
// kept per run (300-600 KiB) or a client's buffers exceed it within two runs. Smaller leaks are
// LeakSanitizer's to find: scripts/sanitize runs this test under ASan.
constexpr long kBenchMemoryToleranceKb = 512;

int Runs() {
  const char* text = std::getenv("TAPCAL_SOAK_RUNS");
  int runs = text ? std::atoi(text) : 0;
  return runs > 0 ? runs : 3;
}

// ---- A process as /proc shows it ----

struct ProcessSample {
  int fds = -1;
  int threads = -1;
  long rssKb = -1;
  long peakRssKb = -1;
  std::multiset<std::string> files;  // what the descriptors point at
};

int CountEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int count = 0;
  while (dirent* entry = readdir(d))
    if (entry->d_name[0] != '.') ++count;
  closedir(d);
  return count;
}

ProcessSample Sample(pid_t pid) {
  ProcessSample sample;
  const std::string proc = "/proc/" + std::to_string(pid);
  if (DIR* d = opendir((proc + "/fd").c_str())) {
    sample.fds = 0;
    while (dirent* entry = readdir(d)) {
      if (entry->d_name[0] == '.') continue;
      ++sample.fds;
      char target[512] = {};
      ssize_t length = readlink((proc + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1);
      // Socket and pipe inodes differ from run to run; only the kind tells.
      std::string file = length > 0 ? std::string(target, static_cast<size_t>(length)) : "?";
      if (auto bracket = file.find(":["); bracket != std::string::npos) file.resize(bracket);
      sample.files.insert(file);
    }
    closedir(d);
  }
  sample.threads = CountEntries(proc + "/task");
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) sample.rssKb = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) sample.peakRssKb = std::atol(line.c_str() + 6);
  }
  return sample;
}

// What one sample holds beyond another, for the failure message.
std::string Extra(const ProcessSample& more, const ProcessSample& less) {
  std::multiset<std::string> extra;
  std::set_difference(more.files.begin(), more.files.end(), less.files.begin(), less.files.end(),
                      std::inserter(extra, extra.begin()));
  std::string text;
  for (const std::string& file : extra)
    text += " " + file;
  return text.empty() ? " (no descriptor)" : text;
}

// The bench once it has let go of a run: sampled until it is back at `fds` descriptors and
// `threads` threads (the control connection of the last state request closes a moment after the
// reply), at most for a second.
ProcessSample SettledBench(pid_t pid, const ProcessSample* before) {
  ProcessSample sample = Sample(pid);
  for (auto deadline = Clock::now() + std::chrono::seconds(1);
       before && (sample.fds > before->fds || sample.threads > before->threads) &&
       Clock::now() < deadline;
       sample = Sample(pid))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return sample;
}

// ---- One run of the tool, watched as it goes ----

struct WatchedRun {
  ToolRun tool;
  std::optional<ProcessSample> startUp;  // once the instrument is found and the servers open
  std::vector<ProcessSample> modes;      // in each mode, once it grabs
  std::optional<ProcessSample> end;      // once the servers are released
};

// Runs the tool with standard input open: Escape for the set-up, then nothing until the closing
// prompt, so that the run waits there to be looked at. The tool is sampled where it waits anyway:
// homing (a one-second status poll), each mode's light write (a one-second idle wait) and the
// closing prompt.
WatchedRun RunWatched(const Installation& installation,
                      const std::map<std::string, std::string>& env, double timeoutSeconds) {
  WatchedRun watched;
  testing_support::RunningProgram tool(testing_support::BuildPath("src/tapcal"), {}, env,
                                       installation.WorkDir());
  tool.Input("\x1b");
  auto left = [&] { return std::max(0.0, timeoutSeconds - tool.Elapsed()); };
  if (tool.WaitForOutput("Homing ND wheel\n", left())) watched.startUp = Sample(tool.Pid());
  while (watched.modes.size() < 4 && tool.WaitForOutput("\nCalibrating ", left()))
    watched.modes.push_back(Sample(tool.Pid()));
  if (tool.WaitForOutput("Application Terminating, press any key...\n", left())) {
    // The last window thread is detached: give it a moment to be gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    watched.end = Sample(tool.Pid());
  }
  watched.tool = tool.Finish(left());
  return watched;
}

// Nothing a mode opened outlives it: every mode at the first mode's level, and the end at or
// below the level after start-up.
void ExpectNothingLeftPerMode(const WatchedRun& watched) {
  ASSERT_TRUE(watched.startUp.has_value());
  ASSERT_EQ(watched.modes.size(), 4u);
  ASSERT_TRUE(watched.end.has_value());
  const ProcessSample& first = watched.modes[0];
  for (size_t m = 1; m < watched.modes.size(); ++m) {
    const ProcessSample& mode = watched.modes[m];
    EXPECT_EQ(mode.fds, first.fds) << "mode " << m << " holds" << Extra(mode, first);
    EXPECT_EQ(mode.threads, first.threads) << "threads in mode " << m;
  }
  const ProcessSample& startUp = *watched.startUp;
  const ProcessSample& end = *watched.end;
  EXPECT_LE(end.fds, startUp.fds) << "left at the end:" << Extra(end, startUp);
  EXPECT_LE(end.threads, startUp.threads) << "threads left at the end";
}

struct Row {
  ProcessSample bench;
  double seconds = 0;
  long toolPeakRssKb = -1;
  int toolFds[3] = {-1, -1, -1};  // after start-up, in the modes, at the end
  int toolThreads[3] = {-1, -1, -1};
};

void PrintTable(const std::vector<Row>& rows) {
  std::printf("\n%4s | %9s %8s %9s | %9s %9s %13s %13s\n", "run", "bench fds", "threads", "RSS KiB",
              "tool s", "peak KiB", "fds s/m/e", "threads s/m/e");
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    char fds[32], threads[32];
    std::snprintf(fds, sizeof fds, "%d/%d/%d", r.toolFds[0], r.toolFds[1], r.toolFds[2]);
    std::snprintf(threads, sizeof threads, "%d/%d/%d", r.toolThreads[0], r.toolThreads[1],
                  r.toolThreads[2]);
    std::printf("%4zu | %9d %8d %9ld | %9.1f %9ld %13s %13s\n", i + 1, r.bench.fds, r.bench.threads,
                r.bench.rssKb, r.seconds, r.toolPeakRssKb, fds, threads);
  }
  std::fflush(stdout);
}

TEST(SoakTest, ConsecutiveFullRunsLeaveNothingBehind) {
  testing_support::XvfbServer display;
  ASSERT_TRUE(display.Ready()) << "Xvfb did not start";
  // The quick camera and a quick instrument: the tool's own waits stay as they are. The homing
  // takes one status poll, so that the tool rests a second after start-up. The traffic logs are
  // kept short enough to be full after two runs, long enough to hold one whole run.
  BenchProcess bench({"--quick-camera", "--homing-ms", "500", "--ramp-ms", "100", "--camera-log",
                      "100", "--sdo-log", "100"});
  ASSERT_TRUE(bench.Ready());
  Installation installation("MACADDRESS " + bench.ReadyValue("BRIDGE_MACS").substr(0, 17));
  std::map<std::string, std::string> env = installation.Environment(bench);
  env["DISPLAY"] = display.Name();

  const int runs = Runs();
  std::vector<Row> rows;
  for (int i = 1; i <= runs; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    WatchedRun watched = RunWatched(installation, env, 600);
    full_run::FullRun full{watched.tool, transcript::Parse(watched.tool.out),
                           full_run::StateAfterTheRun(bench)};
    full_run::ExpectFourCalibratedModes(full, sim::QuickSensorParameters());
    ExpectNothingLeftPerMode(watched);

    Row row;
    row.bench = SettledBench(bench.Pid(), rows.empty() ? nullptr : &rows.front().bench);
    row.seconds = watched.tool.seconds;
    if (watched.end) row.toolPeakRssKb = watched.end->peakRssKb;
    const ProcessSample* points[3] = {watched.startUp ? &*watched.startUp : nullptr,
                                      watched.modes.empty() ? nullptr : &watched.modes.back(),
                                      watched.end ? &*watched.end : nullptr};
    for (int p = 0; p < 3; ++p) {
      row.toolFds[p] = points[p] ? points[p]->fds : -1;
      row.toolThreads[p] = points[p] ? points[p]->threads : -1;
    }
    rows.push_back(row);
    std::printf("run %d: %.1f s, bench %d fds %d threads %ld KiB\n", i, row.seconds, row.bench.fds,
                row.bench.threads, row.bench.rssKb);
    std::fflush(stdout);
    if (watched.tool.timedOut || watched.tool.exitCode != 0) break;  // the rest would say no more
  }
  PrintTable(rows);

  // The bench: every run leaves it as the first one did.
  for (size_t i = 1; i < rows.size(); ++i) {
    SCOPED_TRACE("after run " + std::to_string(i + 1));
    EXPECT_EQ(rows[i].bench.fds, rows[0].bench.fds)
        << "holds" << Extra(rows[i].bench, rows[0].bench);
    EXPECT_EQ(rows[i].bench.threads, rows[0].bench.threads);
    if (i >= 2 && kResidentMemoryMeans) {
      EXPECT_LE(rows[i].bench.rssKb, rows[1].bench.rssKb + kBenchMemoryToleranceKb);
    }
  }
  // A bench with a leak LeakSanitizer sees ends with its exit code.
  EXPECT_TRUE(bench.Stop()) << "the bench did not end cleanly";
}

}  // namespace
