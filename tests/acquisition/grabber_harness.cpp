#include "grabber_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace grabber_harness {

Grab::Grab(const std::string& cameraFile, const std::string& vicFile) {
  auto step = [this](CORSTATUS status) {
    if (setUp_ == 0) setUp_ = status;
    return setUp_ == 0;
  };
  CORSERVER host = CorManGetLocalServer();
  if (!step(CorManGetServerByName("X64-CL_Express_1", &board))) return;
  if (!step(CorCamNew(host, &cam)) || !step(CorVicNew(host, &vic))) return;
  if (!step(CorAcqGetHandle(board, 0, &acq))) return;
  if (!step(CorAcqGetPrms(acq, vic, cam, 1))) return;
  if (!step(CorCamLoad(cam, cameraFile.c_str())) || !step(CorVicLoad(vic, vicFile.c_str()))) return;
  if (!step(CorAcqSetPrms(acq, vic, cam, 1))) return;
  if (!step(CorAcqGetPrm(acq, CORACQ_PRM_SCALE_HORZ, &width_)) ||
      !step(CorAcqGetPrm(acq, CORACQ_PRM_SCALE_VERT, &height_)) ||
      !step(CorAcqGetPrm(acq, CORACQ_PRM_PIXEL_DEPTH, &depth_)))
    return;
  const uint32_t format = depth_ <= 8 ? CORDATA_FORMAT_MONO8 : CORDATA_FORMAT_MONO16;
  if (!step(CorVicSetPrm(vic, CORVIC_PRM_OUTPUT_FORMAT, format))) return;
  if (!step(CorAcqSetPrms(acq, vic, cam, 1))) return;
  for (int i = 0; i < 3; ++i) {
    if (!step(CorBufferNew(host, width_, height_, format, CORBUFFER_VAL_TYPE_CONTIGUOUS,
                           &buffers[i])))
      return;
    if (!step(i == 0 ? CorXferNew(board, acq, buffers[0], nullptr, &xfer)
                     : CorXferAppend(xfer, acq, buffers[i], nullptr)))
      return;
    contexts_[i] = {this, i};
    if (!step(CorXferRegisterCallback(xfer, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, OnFrame,
                                      &contexts_[i])))
      return;
  }
  step(CorXferConnect(xfer));
}

Grab::~Grab() {
  Close();
}

CORSTATUS Grab::Start(int32_t count) {
  return CorXferStart(xfer, count);
}

CORSTATUS Grab::Stop() {
  CORSTATUS status = CorXferStop(xfer);
  return status != 0 ? status : CorXferWait(xfer, 2000);
}

CORSTATUS Grab::Close() {
  CORSTATUS first = 0;
  auto keep = [&first](CORSTATUS status) {
    if (first == 0) first = status;
    return status == 0;
  };
  if (xfer) {
    keep(CorXferStop(xfer));
    keep(CorXferWait(xfer, 2000));
    keep(CorXferDisconnect(xfer));
    keep(CorXferUnregisterCallback(xfer, OnFrame));
    if (keep(CorXferFree(xfer))) xfer = 0;
  }
  for (CORBUFFER& buffer : buffers)
    if (buffer && keep(CorBufferFree(buffer))) buffer = 0;
  if (acq && keep(CorAcqRelease(acq))) acq = 0;
  if (cam && keep(CorCamFree(cam))) cam = 0;
  if (vic && keep(CorVicFree(vic))) vic = 0;
  if (board && keep(CorManReleaseServer(board))) board = 0;
  return first;
}

CORSTATUS CORCALLBACK Grab::OnFrame(void* context, uint32_t eventType, uint32_t eventValue) {
  auto* c = static_cast<Context*>(context);
  c->grab->Record(c->index, eventType, eventValue);
  return 0;
}

void Grab::Record(int context, uint32_t eventType, uint32_t eventValue) {
  Event event{context, eventType, eventValue, {}};
  void* address = nullptr;
  if (CorBufferGetPrm(buffers[context], CORBUFFER_PRM_ADDRESS, &address) == 0 && address) {
    auto* bytes = static_cast<const uint8_t*>(address);
    event.pixels.assign(bytes, bytes + size_t{width_} * height_ * BytesPerPixel());
  }
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
  arrived_.notify_all();
}

std::vector<Event> Grab::WaitForEvents(size_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return events_.size() >= count; });
  return events_;
}

std::vector<Event> Grab::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

StreamPeer::StreamPeer() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      listen(listenFd_, 4) == 0 &&
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
    port_ = ntohs(addr.sin_port);
}

StreamPeer::~StreamPeer() {
  CloseClient();
  CloseListener();
}

std::string StreamPeer::Endpoint() const {
  return "127.0.0.1:" + std::to_string(port_);
}

bool StreamPeer::Accept(int timeoutMs) {
  pollfd pfd{listenFd_, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) != 1) return false;
  clientFd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  return clientFd_ >= 0;
}

bool StreamPeer::SendRaw(const void* data, size_t size) {
  auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t sent = send(clientFd_, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool StreamPeer::SendFrame(uint32_t width, uint32_t height, uint32_t bits, uint64_t number,
                           const std::vector<uint8_t>& pixels) {
  uint8_t header[32] = {'T', 'C', 'L', 'F'};
  auto put = [&header](int offset, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      header[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put(4, width, 4);
  put(8, height, 4);
  put(12, bits, 4);
  put(16, number, 8);
  put(24, number * 5000, 8);
  return SendRaw(header, sizeof header) && SendRaw(pixels.data(), pixels.size());
}

void StreamPeer::CloseListener() {
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

void StreamPeer::CloseClient() {
  if (clientFd_ >= 0) close(clientFd_);
  clientFd_ = -1;
}

std::vector<uint8_t> Pattern(uint32_t width, uint32_t height, uint32_t bits,
                             uint32_t (*value)(uint32_t, uint32_t, uint32_t), uint32_t seed) {
  const uint32_t bytes = bits <= 8 ? 1 : 2;
  std::vector<uint8_t> pixels(size_t{width} * height * bytes);
  for (uint32_t row = 0; row < height; ++row)
    for (uint32_t column = 0; column < width; ++column) {
      uint32_t v = value(row, column, seed);
      size_t at = (size_t{row} * width + column) * bytes;
      pixels[at] = static_cast<uint8_t>(v);
      if (bytes == 2) pixels[at + 1] = static_cast<uint8_t>(v >> 8);
    }
  return pixels;
}

}  // namespace grabber_harness
