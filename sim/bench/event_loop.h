// A small poll loop that the bench's devices share: file descriptors to watch and periodic timers.
// Everything registered runs on the loop's thread; Stop may be called from any thread or signal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace sim {

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls `onReadable` whenever `fd` can be read (or has hung up).
  void Watch(int fd, std::function<void()> onReadable);
  void Unwatch(int fd);
  // Calls `tick` every `period`, first after one period.
  void Every(std::chrono::milliseconds period, std::function<void()> tick);
  // Calls `once` after `delay`.
  void After(std::chrono::milliseconds delay, std::function<void()> once);

  void Run();
  // Async-signal-safe.
  void Stop();

 private:
  struct Timer {
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds period;  // zero for a one-shot timer
    std::function<void()> tick;
  };
  std::map<int, std::function<void()>> watched_;
  std::vector<Timer> timers_;
  int wakePipe_[2];
};

}  // namespace sim
