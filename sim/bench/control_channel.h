// The bench's control channel: a line protocol on a loopback TCP port.
//   state                 -> the full state as one line of JSON
//   fault NAME [VALUE]    -> "ok" or "error: ..."   (VALUE "off" clears it)
//   save                  -> writes the state file, "ok"
//   quit                  -> "ok", then the bench stops
#pragma once

#include <functional>
#include <map>
#include <string>

#include "event_loop.h"

namespace sim {

class ControlChannel {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  // Listens on 127.0.0.1:port (0 picks a free port); false when it cannot.
  bool Start(EventLoop& loop, int port, Handler handler);
  int Port() const { return port_; }
  void Shutdown();

 private:
  void Accept();
  void Serve(int fd);

  EventLoop* loop_ = nullptr;
  int listenFd_ = -1;
  int port_ = 0;
  Handler handler_;
  std::map<int, std::string> pending_;  // partial input per client
};

}  // namespace sim
