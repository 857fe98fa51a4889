// Preloaded into the tool by bench/run_figures: notes every sleep the main thread asks for (when
// and how long) and writes them to $TAPCAL_SLEEP_TALLY at exit, without stopping the process.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

struct Sleep {
  double at, seconds;
};

std::mutex mutex;
std::vector<Sleep>* sleeps = new std::vector<Sleep>;

void Note(const timespec* request) {
  if (!request || syscall(SYS_gettid) != getpid()) return;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  std::lock_guard lock(mutex);
  sleeps->push_back({now.tv_sec + now.tv_nsec / 1e9, request->tv_sec + request->tv_nsec / 1e9});
}

struct Writer {
  ~Writer() {
    const char* path = std::getenv("TAPCAL_SLEEP_TALLY");
    if (!path) return;
    std::lock_guard lock(mutex);
    if (FILE* file = std::fopen(path, "w")) {
      for (const Sleep& sleep : *sleeps)
        std::fprintf(file, "%.6f %.9f\n", sleep.at, sleep.seconds);
      std::fclose(file);
    }
  }
} writer;

}  // namespace

extern "C" int nanosleep(const timespec* request, timespec* remaining) {
  using Real = int (*)(const timespec*, timespec*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "nanosleep"));
  Note(request);
  return real(request, remaining);
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                               timespec* remaining) {
  using Real = int (*)(clockid_t, int, const timespec*, timespec*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_nanosleep"));
  if (!(flags & TIMER_ABSTIME)) Note(request);
  return real(clock, flags, request, remaining);
}
