// For the integration tests of the stand-in grabber library: a transfer set up the way the tool's
// session sets it up, with every end-of-frame recorded, and a frame-stream peer of our own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vendor/corapi.h"

namespace grabber_harness {

struct Event {
  int context;  // which of the three contexts came back
  uint32_t eventType;
  uint32_t eventValue;
  std::vector<uint8_t> pixels;  // the buffer's contents when the callback ran
};

// Three host buffers in one transfer with one callback registration each, as the session makes
// them. Every call's status is kept; the destructor releases what is still held.
class Grab {
 public:
  // Looks up the board (TAPCAL_GRABBER must be set), loads the two files and sets up the transfer.
  Grab(const std::string& cameraFile, const std::string& vicFile);
  ~Grab();
  Grab(const Grab&) = delete;
  Grab& operator=(const Grab&) = delete;

  // The first failing status of the set-up, 0 when everything is in place.
  CORSTATUS SetUpStatus() const { return setUp_; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  uint32_t Depth() const { return depth_; }
  uint32_t BytesPerPixel() const { return depth_ <= 8 ? 1 : 2; }

  CORSTATUS Start(int32_t count = CORXFER_CONTINUOUS);
  // Stop, then a wait of up to 2000 ms.
  CORSTATUS Stop();
  // Waits until at least `count` events have come, or `timeoutMs` has passed; the events so far.
  std::vector<Event> WaitForEvents(size_t count, int timeoutMs);
  std::vector<Event> Events();
  // Releases everything in the session's order; the first failing status, or 0.
  CORSTATUS Close();

  CORSERVER board = 0;
  CORCAM cam = 0;
  CORVIC vic = 0;
  CORACQ acq = 0;
  CORBUFFER buffers[3] = {0, 0, 0};
  CORXFER xfer = 0;

 private:
  static CORSTATUS CORCALLBACK OnFrame(void* context, uint32_t eventType, uint32_t eventValue);
  void Record(int context, uint32_t eventType, uint32_t eventValue);

  struct Context {
    Grab* grab;
    int index;
  } contexts_[3];
  CORSTATUS setUp_ = 0;
  uint32_t width_ = 0, height_ = 0, depth_ = 0;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Event> events_;
};

// A frame stream of the wire format, written by the test: one client, frames sent on demand.
class StreamPeer {
 public:
  StreamPeer();
  ~StreamPeer();
  StreamPeer(const StreamPeer&) = delete;
  StreamPeer& operator=(const StreamPeer&) = delete;

  std::string Endpoint() const;
  // Accepts the library's connection (it is already queued once the board was looked up).
  bool Accept(int timeoutMs);
  bool SendFrame(uint32_t width, uint32_t height, uint32_t bits, uint64_t number,
                 const std::vector<uint8_t>& pixels);
  bool SendRaw(const void* data, size_t size);
  // Stops listening: a new lookup finds nothing.
  void CloseListener();
  void CloseClient();

 private:
  int listenFd_ = -1;
  int clientFd_ = -1;
  int port_ = 0;
};

// Pixels of a frame: width * height values from `value(row, column)`, in 1 or 2 bytes each.
std::vector<uint8_t> Pattern(uint32_t width, uint32_t height, uint32_t bits,
                             uint32_t (*value)(uint32_t row, uint32_t column, uint32_t seed),
                             uint32_t seed);

}  // namespace grabber_harness
