#include "event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

using Clock = std::chrono::steady_clock;

EventLoop::EventLoop() {
  if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

EventLoop::~EventLoop() {
  close(wakePipe_[0]);
  close(wakePipe_[1]);
}

void EventLoop::Watch(int fd, std::function<void()> onReadable) {
  watched_[fd] = std::move(onReadable);
}

void EventLoop::Unwatch(int fd) {
  watched_.erase(fd);
}

void EventLoop::Every(std::chrono::milliseconds period, std::function<void()> tick) {
  timers_.push_back({Clock::now() + period, period, std::move(tick)});
}

void EventLoop::After(std::chrono::milliseconds delay, std::function<void()> once) {
  timers_.push_back({Clock::now() + delay, std::chrono::milliseconds(0), std::move(once)});
}

void EventLoop::Stop() {
  char byte = 1;
  ssize_t ignored = write(wakePipe_[1], &byte, 1);
  (void)ignored;
}

void EventLoop::Run() {
  for (;;) {
    std::vector<pollfd> fds{{wakePipe_[0], POLLIN, 0}};
    for (const auto& [fd, callback] : watched_)
      fds.push_back({fd, POLLIN, 0});

    int timeoutMs = -1;
    auto now = Clock::now();
    for (const auto& timer : timers_) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(timer.due - now).count();
      int waitMs = static_cast<int>(std::max<int64_t>(0, wait));
      if (timeoutMs < 0 || waitMs < timeoutMs) timeoutMs = waitMs;
    }

    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0 && fds[0].revents) return;

    for (size_t i = 1; ready > 0 && i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto it = watched_.find(fds[i].fd);  // an earlier callback may have unwatched it
      if (it != watched_.end()) {
        auto callback = it->second;
        callback();
      }
    }

    now = Clock::now();
    std::vector<Timer> due;
    for (auto it = timers_.begin(); it != timers_.end();) {
      if (it->due > now) {
        ++it;
        continue;
      }
      due.push_back(*it);
      if (it->period.count() > 0) {
        it->due += it->period;
        if (it->due < now) it->due = now + it->period;
        ++it;
      } else {
        it = timers_.erase(it);
      }
    }
    for (auto& timer : due)
      timer.tick();
  }
}

}  // namespace sim
