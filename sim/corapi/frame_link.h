// The grabber's side of the frame stream: one TCP connection to the camera-link output of the
// bench, as "host:port". The socket work is per OS (frame_link_posix.cpp). Connect and Close
// belong to one thread at a time; Shutdown may come from any thread while another reads.
#pragma once

#include <cstddef>
#include <string>

namespace corapi_sim {

class FrameLink {
 public:
  FrameLink() = default;
  ~FrameLink();
  FrameLink(const FrameLink&) = delete;
  FrameLink& operator=(const FrameLink&) = delete;

  // Connects within `timeoutMs`; false when nothing answers there.
  bool Connect(const std::string& endpoint, int timeoutMs);
  // Reads exactly `size` bytes; false when the stream ended, failed or was shut down.
  bool ReadExact(void* data, size_t size);
  // Makes a read blocked on another thread (and every later one) fail at once.
  void Shutdown();
  void Close();

 private:
  long long socket_ = -1;  // an fd, or a SOCKET
};

// "host:port"; a missing host ("port" or ":port") stands for loopback. False without a port.
bool SplitEndpoint(const std::string& endpoint, std::string* host, std::string* port);

}  // namespace corapi_sim
