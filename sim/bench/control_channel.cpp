#include "control_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "net_util.h"

namespace sim {

namespace {
constexpr size_t kMaxLine = 4096;
}  // namespace

bool ControlChannel::Start(EventLoop& loop, int port, Handler handler) {
  loop_ = &loop;
  handler_ = std::move(handler);
  listenFd_ = ListenTcpLoopback(port, &port_);
  if (listenFd_ < 0) return false;
  loop.Watch(listenFd_, [this] { Accept(); });
  return true;
}

void ControlChannel::Shutdown() {
  for (auto& [fd, text] : pending_) {
    loop_->Unwatch(fd);
    close(fd);
  }
  pending_.clear();
  if (listenFd_ >= 0) {
    loop_->Unwatch(listenFd_);
    close(listenFd_);
    listenFd_ = -1;
  }
}

void ControlChannel::Accept() {
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // A client that stops reading its replies must not stall the whole bench.
  timeval sendTimeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  pending_[fd];
  loop_->Watch(fd, [this, fd] { Serve(fd); });
}

void ControlChannel::Serve(int fd) {
  char chunk[4096];
  ssize_t got = read(fd, chunk, sizeof chunk);
  if (got <= 0) {
    loop_->Unwatch(fd);
    pending_.erase(fd);
    close(fd);
    return;
  }
  std::string& text = pending_[fd];
  text.append(chunk, static_cast<size_t>(got));
  if (text.size() > kMaxLine && text.find('\n') == std::string::npos) {
    // No command is this long: a client that never ends its line is dropped.
    loop_->Unwatch(fd);
    pending_.erase(fd);
    close(fd);
    return;
  }
  for (size_t end; (end = text.find('\n')) != std::string::npos;) {
    std::string line = text.substr(0, end);
    text.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply = handler_(line) + "\n";
    WriteAll(fd, reply.data(), reply.size());
  }
}

}  // namespace sim
