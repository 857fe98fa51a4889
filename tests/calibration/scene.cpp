#include "scene.h"

#include <cstring>
#include <mutex>

#include "acquisition/frame_ring.h"
#include "camera/camera_protocol.h"
#include "fakes/fake_corapi.h"
#include "fakes/fake_kestan.h"
#include "fakes/virtual_clock.h"

namespace {

constexpr int kSampledRows = 10;

std::mutex mutex;
sim::Exposure exposure;
uint64_t lightChangedAtMs = 0;
std::pair<int, int> filled[3];
int nextPosition = 0;
scene::TapValues values;
sim::SensorModel* model = nullptr;
std::vector<std::string> commands;
std::vector<int> lights;
std::string stopFramesAt;  // frames stop once a command starting so is sent
bool framesStopped = false;

// Only the rows the sampling reads are filled: whole frames every virtual 10 ms would be slow.
void Fill(const fake::FakeBuffer& buffer, int position) {
  sim::Exposure now;
  {
    std::lock_guard lock(mutex);
    exposure.secondsSinceLightChange = (fake::VirtualNowMs() - lightChangedAtMs) / 1000.0;
    now = exposure;
  }
  const int width = static_cast<int>(buffer.width);
  const int firstRow = static_cast<int>(buffer.height) / 2;
  if (model) {
    model->RenderRows(now, width, firstRow, kSampledRows, buffer.pixels);
    return;
  }
  auto taps = values(now);
  if (filled[position] == taps) return;  // the buffer already shows it
  filled[position] = taps;
  for (int row = firstRow; row < firstRow + kSampledRows; ++row)
    for (int column = 0; column < width; ++column) {
      int value = column < width / 2 ? taps.first : taps.second;
      size_t index = static_cast<size_t>(row) * buffer.width + static_cast<size_t>(column);
      if (buffer.bytesPerPixel == 1)
        buffer.pixels[index] = static_cast<uint8_t>(value);
      else
        reinterpret_cast<uint16_t*>(buffer.pixels)[index] = static_cast<uint16_t>(value);
    }
}

// One new frame at the end of every sleep: the newest is all a reader takes.
void DeliverFrame(uint64_t) {
  {
    std::lock_guard lock(mutex);
    if (framesStopped) return;
  }
  int position = nextPosition;
  fake::DeliverFrame(
      position, [position](const fake::FakeBuffer& buffer, uint64_t) { Fill(buffer, position); });
  nextPosition = (nextPosition + 1) % 3;
}

int ParseHex(const std::string& text) {
  return static_cast<int>(std::stoul(text, nullptr, 16));
}

void StartCommon(int mode) {
  fake::ResetGrabber();
  fake::ResetBridge();
  fake::ResetVirtualClock();
  {
    std::lock_guard lock(mutex);
    exposure = sim::Exposure{};
    exposure.binned = mode % 2 == 1;
    exposure.bits = mode < 2 ? 8 : 10;
    lightChangedAtMs = 0;
    for (auto& taps : filled)
      taps = {-1, -1};
    nextPosition = 0;
    commands.clear();
    lights.clear();
    stopFramesAt.clear();
    framesStopped = false;
  }
  scene::OpenFakeSession(640, mode % 2 ? 240 : 480, mode < 2 ? 8 : 10);

  fake::OnCanCall([](const fake::CanCall& call) {
    if (call.function != "CAN_SDOWrite" || call.node != 64 || call.index != 0x2028) return;
    std::lock_guard lock(mutex);
    const int level = call.data[0] | call.data[1] << 8;
    lights.push_back(level);       // every write sent
    if (call.result != 1) return;  // a failed one leaves the lamp as it was
    exposure.light = level;
    lightChangedAtMs = call.atMs;
  });
  fake::OnVirtualSleep(DeliverFrame);
  for (int i = 0; i < 3; ++i)
    DeliverFrame(0);
}

}  // namespace

// The command protocol's stand-in: the camera takes every well-formed command.
bool SendCameraCommand(const char* text, uint32_t length) {
  std::string command(text, length);
  std::lock_guard lock(mutex);
  commands.push_back(command);
  if (!stopFramesAt.empty() && command.rfind(stopFramesAt, 0) == 0) framesStopped = true;
  if (command.size() == 9 && command[4] == '=') {
    std::string mnemonic = command.substr(1, 3);
    int value = ParseHex(command.substr(5, 3));
    if (mnemonic == "VRA") exposure.vra = value;
    if (mnemonic == "VRB") exposure.vrb = value;
    if (mnemonic == "MGA") exposure.mga = value;
    if (mnemonic == "MGB") exposure.mgb = value;
  }
  return true;
}

namespace scene {

void OpenFakeSession(int width, int height, int depth) {
  imageWidth = width;
  imageHeight = height;
  pixelDepth = depth;
  bytesPerPixel = depth <= 8 ? 1 : 2;
  dataFormat = depth <= 8 ? CORDATA_FORMAT_MONO8 : CORDATA_FORMAT_MONO16;
  fake::SetAcquisitionParameters(static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                 static_cast<uint32_t>(depth));
  CORSERVER host = CorManGetLocalServer();
  CORSERVER board = 0;
  CorManGetServerByName(fake::kFakeBoardName, &board);
  CORACQ acq = 0;
  CorAcqGetHandle(board, 0, &acq);
  CORXFER xfer = 0;
  for (int i = 0; i < 3; ++i) {
    CorBufferNew(host, static_cast<uint32_t>(width), static_cast<uint32_t>(height), dataFormat,
                 CORBUFFER_VAL_TYPE_CONTIGUOUS, &hHostBufferMono[i]);
    if (i == 0)
      CorXferNew(board, acq, hHostBufferMono[0], nullptr, &xfer);
    else
      CorXferAppend(xfer, acq, hHostBufferMono[i], nullptr);
    bufferStatus[i].index = static_cast<uint32_t>(i);
    CorXferRegisterCallback(xfer, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, XferCallback,
                            &bufferStatus[i]);
  }
}

void Start(int mode, TapValues newValues) {
  values = std::move(newValues);
  model = nullptr;
  StartCommon(mode);
}

void Start(int mode, sim::SensorModel* newModel) {
  values = nullptr;
  model = newModel;
  StartCommon(mode);
}

void Stop() {
  fake::OnVirtualSleep(nullptr);
  fake::OnCanCall(nullptr);
  for (CORBUFFER& buffer : hHostBufferMono)
    buffer = 0;
  fake::ResetGrabber();
}

void StopFramesAtCommand(const std::string& prefix) {
  std::lock_guard lock(mutex);
  stopFramesAt = prefix;
}

std::vector<std::string> CameraCommands() {
  std::lock_guard lock(mutex);
  return commands;
}

std::vector<int> LightWrites() {
  std::lock_guard lock(mutex);
  return lights;
}

sim::Exposure Current() {
  std::lock_guard lock(mutex);
  sim::Exposure now = exposure;
  now.secondsSinceLightChange = (fake::VirtualNowMs() - lightChangedAtMs) / 1000.0;
  return now;
}

}  // namespace scene
