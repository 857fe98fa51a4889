// The tool's CPU while it grabs from the bench at the bench's full frame rate, per camera mode:
// the session open and grabbing as in a run, the main thread measuring the tap means over and
// over as the calibration's balance does, and, when a display is there, the live view painting.
// Prints the CPU of each of the tool's threads and of the bench over the same span, in % of one
// core. Usage: grab_bench [SECONDS per mode, default 10]
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "acquisition/frame_ring.h"
#include "acquisition/session.h"
#include "calibration/sampling.h"
#include "liveview/live_view.h"
#include "support/bench_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// User plus system seconds of /proc/<path>/stat; 0 when it is gone.
double CpuSeconds(const std::string& path) {
  std::ifstream stat("/proc/" + path + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::set<std::string> Threads() {
  std::set<std::string> tids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    tids.insert(entry.path().filename());
  return tids;
}

// The threads that `step` starts, by role.
template <typename Step>
void Note(std::map<std::string, std::string>* roles, const std::string& role, Step step) {
  std::set<std::string> before = Threads();
  step();
  for (const std::string& tid : Threads())
    if (!before.count(tid) && !roles->count(tid)) (*roles)[tid] = role;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  setenv("TAPCAL_BUILD_DIR", TAPCAL_BUILD_DIR_DEFAULT, 0);
  setenv("TAPCAL_SOURCE_DIR", TAPCAL_SOURCE_DIR_DEFAULT, 0);
  testing_support::BenchProcess bench;
  if (!bench.Ready()) {
    std::fprintf(stderr, "the bench did not start\n");
    return 1;
  }
  setenv("TAPCAL_COM3", bench.ReadyValue("COM3").c_str(), 1);
  setenv("TAPCAL_GRABBER", bench.ReadyValue("GRABBER").c_str(), 1);
  std::filesystem::current_path(testing_support::SourcePath("camfiles"));
  bool liveView = std::getenv("DISPLAY") != nullptr;

  std::map<std::string, std::string> roles{{std::to_string(getpid()), "main"}};
  BuildDisplayTables();
  CreateWindowReadyEvent();
  if (liveView) LoadDisplayResources();
  Note(&roles, "reader", [] { OpenServers(); });
  std::printf("%.0f s per mode, live view %s; CPU in %% of one core\n", seconds,
              liveView ? "painting" : "off (no display)");
  std::printf("mode  image          frames/s   tool   main  worker  window  reader   bench\n");
  for (int mode = 0; mode < 4; ++mode) {
    Note(&roles, "worker", [mode] { OpenSession(mode); });
    if (liveView) Note(&roles, "window", [] { StartWindowThread(); });
    StartGrab();

    auto sample = [&] {
      std::map<std::string, double> cpu{{"tool", CpuSeconds("self")},
                                        {"bench", CpuSeconds(std::to_string(bench.Pid()))}};
      for (const std::string& tid : Threads())
        cpu[roles.count(tid) ? roles[tid] : "other"] += CpuSeconds("self/task/" + tid);
      cpu["frames"] = bench.State()["frame_source"]["frames_sent"].get<double>();
      return cpu;
    };
    MeasureTapMeans();  // the first frames are in
    auto start = Clock::now();
    auto before = sample();
    while (Clock::now() - start < std::chrono::duration<double>(seconds))
      MeasureTapMeans();
    auto after = sample();
    double span = std::chrono::duration<double>(Clock::now() - start).count();
    auto percent = [&](const char* what) { return 100 * (after[what] - before[what]) / span; };
    char image[32];
    std::snprintf(image, sizeof image, "%d x %d @ %d", imageWidth, imageHeight, pixelDepth);
    std::printf("%4d  %-13s  %8.1f  %5.2f  %5.2f  %6.2f  %6.2f  %6.2f  %6.2f\n", mode, image,
                (after["frames"] - before["frames"]) / span, percent("tool"), percent("main"),
                percent("worker"), percent("window"), percent("reader"), percent("bench"));
    StopGrab();
    CloseSession();
    if (liveView) EndWindowThread();
  }
  ReleaseServers();
  return 0;
}
