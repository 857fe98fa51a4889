#include "frame_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "net_util.h"
#include "parse.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// A connected grabber and the part of its current frame not yet written.
struct FrameSource::Client {
  int fd;
  std::shared_ptr<const std::vector<uint8_t>> frame;
  size_t sent = 0;
  bool Busy() const { return frame != nullptr; }
};

namespace {

void PutLe(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Writes what the socket takes now; false when the client is gone.
bool SendSome(int fd, const std::vector<uint8_t>& frame, size_t* sent) {
  while (*sent < frame.size()) {
    ssize_t n = send(fd, frame.data() + *sent, frame.size() - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      *sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

bool ParseGeometry(const std::string& text, FrameGeometry* geometry) {
  int width = 0, height = 0, bits = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%dx%dx%d%c", &width, &height, &bits, &end) != 3) return false;
  if (width < 1 || width > 4096 || height < 1 || height > 4096 || bits < 8 || bits > 16)
    return false;
  *geometry = {width, height, bits};
  return true;
}

}  // namespace

FrameSource::FrameSource(World& world) : world_(world) {}

FrameSource::~FrameSource() {
  Shutdown();
}

std::vector<Option> FrameSource::Options() {
  return {
      {"grabber-port", "N", "frame stream port on 127.0.0.1 (default: any free)",
       [this](const std::string& value) { return ParseInt(value, 65535, &requestedPort_); }},
      {"sensor-seed", "N", "draw the sensor's parameters from N (default 0: the default camera)",
       [this](const std::string& value) { return ParseUnsigned(value, UINT64_MAX, &sensorSeed_); }},
      {"quick-camera", "",
       "a camera the calibration gets through in the fewest steps, for runs repeated many times: "
       "no tap mismatch, no drift, the light window met at the first probes (overrides "
       "--sensor-seed)",
       [this](const std::string&) { return quickCamera_ = true; }},
  };
}

std::vector<Fault> FrameSource::Faults() const {
  return {
      {"frames-stop", "", "the camera sends no more frames (the stream stays open)"},
      {"black-stuck", "",
       "the sensor's black level never rises: the reference voltages do nothing"},
      {"frame-geometry", "WxHxBITS",
       "the camera sends this geometry whatever its registers say, e.g. 640x478x8: a camera "
       "that does not match the grabber's camera file"},
  };
}

bool FrameSource::SetFault(const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex_);
  if (name == "frames-stop") {
    if (value != "" && value != "off") return false;
    framesStopped_ = value != "off";
    return true;
  }
  if (name == "black-stuck") {
    if (value != "" && value != "off") return false;
    blackStuck_ = value != "off";
    sensorChanged_ = true;
    return true;
  }
  if (name == "frame-geometry") {
    if (value == "off") {
      forcedGeometry_.reset();
      return true;
    }
    FrameGeometry geometry;
    if (!ParseGeometry(value, &geometry)) return false;
    forcedGeometry_ = geometry;
    return true;
  }
  return false;
}

bool FrameSource::Start(EventLoop&, std::vector<std::string>& readyLines) {
  listenFd_ = ListenTcpLoopback(requestedPort_, &port_);
  if (listenFd_ < 0) {
    std::cerr << "frame source: cannot listen on port " << requestedPort_ << "\n";
    return false;
  }
  if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::cerr << "frame source: no wake pipe\n";
    return false;
  }
  {
    std::lock_guard lock(world_.mutex);
    noiseSeed_ = world_.seed;
  }
  {
    std::lock_guard lock(mutex_);
    picture_ = MakePicture();
    sensorChanged_ = false;
  }
  readyLines.push_back("GRABBER=127.0.0.1:" + std::to_string(port_));
  thread_ = std::thread([this] { Run(); });
  return true;
}

void FrameSource::Shutdown() {
  if (thread_.joinable()) {
    char byte = 1;
    ssize_t ignored = write(wakePipe_[1], &byte, 1);
    (void)ignored;
    thread_.join();
  }
  for (int* fd : {&listenFd_, &wakePipe_[0], &wakePipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

nlohmann::json FrameSource::State() {
  std::lock_guard lock(mutex_);
  nlohmann::json state = {
      {"port", port_},
      {"clients", clients_},
      {"frames_made", framesMade_},
      {"frames_sent", framesSent_},
      {"frames_dropped", framesDropped_},
      {"width", lastGeometry_.width},
      {"height", lastGeometry_.height},
      {"bits", lastGeometry_.bits},
      {"period_us", FramePeriodUs(lastGeometry_)},
      {"frames_stopped", framesStopped_},
      {"black_stuck", blackStuck_},
  };
  state["forced_geometry"] =
      forcedGeometry_
          ? nlohmann::json{forcedGeometry_->width, forcedGeometry_->height, forcedGeometry_->bits}
          : nlohmann::json(nullptr);
  return state;
}

std::unique_ptr<PictureModel> FrameSource::MakePicture() const {
  SensorParameters parameters = quickCamera_       ? QuickSensorParameters()
                                : sensorSeed_ == 0 ? DefaultSensorParameters()
                                                   : DrawSensorParameters(sensorSeed_);
  parameters.blackStuck = blackStuck_;
  return MakeSensorPicture(parameters, noiseSeed_);
}

FrameGeometry FrameSource::NextGeometry(Scene* scene) {
  {
    std::lock_guard lock(world_.mutex);
    scene->camera = world_.camera;
    scene->light = world_.lightLevel;
    scene->secondsSinceLightChange = world_.Now() - world_.lightChangedAt;
  }
  std::lock_guard lock(mutex_);
  if (sensorChanged_) {
    picture_ = MakePicture();
    sensorChanged_ = false;
  }
  lastGeometry_ = forcedGeometry_ ? *forcedGeometry_ : GeometryOf(scene->camera);
  return lastGeometry_;
}

void FrameSource::Run() {
  std::vector<Client> clients;
  auto closeClient = [&](size_t i) {
    close(clients[i].fd);
    clients.erase(clients.begin() + static_cast<long>(i));
  };
  Scene scene;
  auto due = Clock::now() + std::chrono::microseconds(FramePeriodUs(NextGeometry(&scene)));

  for (;;) {
    std::vector<pollfd> fds{{wakePipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (auto& client : clients)
      fds.push_back({client.fd, static_cast<short>(POLLIN | (client.Busy() ? POLLOUT : 0)), 0});
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
    if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
    timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                     static_cast<long>(wait.count() % 1000000000)};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;

    // Clients only read; anything they send is passed over, an end or error closes them.
    for (size_t i = clients.size(); i-- > 0;) {
      const short events = fds[2 + i].revents;
      bool gone = events & (POLLERR | POLLNVAL);
      if (!gone && (events & POLLIN)) {
        char ignored[256];
        ssize_t n = recv(clients[i].fd, ignored, sizeof ignored, MSG_DONTWAIT);
        gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
      }
      if (!gone && (events & POLLOUT) && clients[i].Busy()) {
        gone = !SendSome(clients[i].fd, *clients[i].frame, &clients[i].sent);
        if (!gone && clients[i].sent == clients[i].frame->size()) {
          clients[i].frame.reset();
          std::lock_guard lock(mutex_);
          ++framesSent_;
        }
      }
      if (gone) closeClient(i);
    }
    // A new client joins only now: the loop above walks the poll entries of the polled ones.
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        // Room for a frame or two: a grabber that falls behind loses frames rather than
        // seeing old ones late.
        int size = 512 << 10;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        clients.push_back({fd, nullptr, 0});
      }
    }

    auto now = Clock::now();
    if (now < due) continue;
    const FrameGeometry geometry = NextGeometry(&scene);
    const auto period = std::chrono::microseconds(FramePeriodUs(geometry));
    // A bench that fell behind starts a fresh frame time instead of sending a burst.
    due = now - due > period ? now + period : due + period;

    uint64_t number;
    bool stopped;
    {
      std::lock_guard lock(mutex_);
      number = framesMade_++;
      stopped = framesStopped_;
      clients_ = static_cast<int>(clients.size());
    }
    bool anyReady = false;
    for (auto& client : clients)
      anyReady = anyReady || !client.Busy();
    if (stopped || clients.empty()) continue;

    uint64_t dropped = 0;
    std::shared_ptr<std::vector<uint8_t>> frame;
    if (anyReady) {
      const size_t pixelBytes =
          static_cast<size_t>(geometry.width) * geometry.height * (geometry.bits <= 8 ? 1 : 2);
      frame = std::make_shared<std::vector<uint8_t>>(32 + pixelBytes);
      uint8_t* header = frame->data();
      std::memcpy(header, "TCLF", 4);
      PutLe(header + 4, static_cast<uint64_t>(geometry.width), 4);
      PutLe(header + 8, static_cast<uint64_t>(geometry.height), 4);
      PutLe(header + 12, static_cast<uint64_t>(geometry.bits), 4);
      PutLe(header + 16, number, 8);
      auto capture = std::chrono::duration_cast<std::chrono::microseconds>(now - world_.start);
      PutLe(header + 24, static_cast<uint64_t>(capture.count()), 8);
      picture_->Render(scene, geometry, header + 32);
    }
    uint64_t sent = 0;
    for (size_t i = clients.size(); i-- > 0;) {
      Client& client = clients[i];
      if (client.Busy()) {  // still writing an older frame: this one is lost to it
        ++dropped;
        continue;
      }
      client.frame = frame;
      client.sent = 0;
      if (!SendSome(client.fd, *frame, &client.sent)) {
        closeClient(i);
        continue;
      }
      if (client.sent == frame->size()) {
        client.frame.reset();
        ++sent;
      }
    }
    std::lock_guard lock(mutex_);
    framesSent_ += sent;
    framesDropped_ += dropped;
  }
  for (auto& client : clients)
    close(client.fd);
  std::lock_guard lock(mutex_);
  clients_ = 0;
}

}  // namespace sim
