// The stand-in grabber library. The local server and the board server "X64-CL_Express_1", which
// exists while the frame stream at TAPCAL_GRABBER answers; camera and VIC descriptions from our
// camera files; the board's one acquisition device; contiguous host buffers; transfers that, while
// grabbing, copy each frame that matches the acquisition into their next buffer and call that
// buffer's callback on the library's own receiving thread. Every call checks its handles: a bad
// one is an error status, never a crash.
#include <bit>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "camera_files.h"
#include "frame_link.h"
#include "frame_stream.h"
#include "vendor/corapi.h"

static_assert(std::endian::native == std::endian::little, "frames and buffers are little-endian");

namespace {

using namespace corapi_sim;

constexpr const char* kBoardName = "X64-CL_Express_1";
constexpr const char* kDefaultGrabber = "127.0.0.1:20100";
constexpr int kConnectTimeoutMs = 1000;

// Status words: module in bits 22..27, info in bits 8..19, status in bits 0..7.
enum Module : uint32_t {
  kManager = 1,
  kCameraModule = 2,
  kVicModule = 3,
  kAcquisitionModule = 4,
  kBufferModule = 5,
  kTransferModule = 6,
};
enum Code : uint32_t {
  kInvalidHandle = 1,     // info: the argument's position
  kInvalidParameter = 2,  // info: the argument's position
  kServerNotFound = 3,
  kFileNotFound = 4,
  kFileFormat = 5,  // info: the offending line, 0 for a missing key
  kNotAllowed = 6,
  kTimeout = 7,
  kNoMemory = 8,
  kIncompatible = 9,  // info: the buffer's position in the transfer, 0 for the parameters
  kInUse = 10,
  kNoText = 11,
};

CORSTATUS Status(Module module, Code code, uint32_t info = 0) {
  return module << 22 | (info & 0xFFF) << 8 | code;
}

const char* CodeText(uint32_t code) {
  switch (code) {
    case kInvalidHandle:
      return "Invalid handle";
    case kInvalidParameter:
      return "Invalid parameter";
    case kServerNotFound:
      return "Server not found: no frame stream answers";
    case kFileNotFound:
      return "File not found";
    case kFileFormat:
      return "Invalid file format";
    case kNotAllowed:
      return "Operation not allowed in the current state";
    case kTimeout:
      return "Time-out";
    case kNoMemory:
      return "Not enough memory";
    case kIncompatible:
      return "Incompatible parameters";
    case kInUse:
      return "Resource in use";
    case kNoText:
      return "No text for this status";
  }
  return nullptr;
}

const char* ModuleText(uint32_t module) {
  switch (module) {
    case kManager:
      return "Manager";
    case kCameraModule:
      return "Camera";
    case kVicModule:
      return "VIC";
    case kAcquisitionModule:
      return "Acquisition";
    case kBufferModule:
      return "Buffer";
    case kTransferModule:
      return "Transfer";
  }
  return nullptr;
}

// Handles carry their kind in the top byte, so that a handle of one kind is never taken for
// another.
enum Kind : uint32_t { kServer = 1, kCamera, kVic, kAcquisition, kBuffer, kTransfer };
constexpr CORSERVER kLocalServer = kServer << 24 | 1;

struct HostBuffer {
  uint32_t width, height, format, bytesPerPixel;
  size_t size;
  std::unique_ptr<uint8_t[]> pixels;
};

struct Registration {
  PCORCALLBACK callback;
  void* context;
};

struct Transfer {
  CORSERVER server;
  CORACQ acq;
  std::vector<CORBUFFER> buffers;
  std::vector<Registration> registrations;  // the n-th belongs to the n-th buffer
  bool connected = false;
  bool grabbing = false;
  int64_t framesLeft = -1;  // -1 while continuous
  size_t next = 0;          // position of the buffer the next frame goes into
  int delivering = 0;       // callbacks running now
};

struct Library {
  std::mutex mutex;
  std::condition_variable delivered;  // a callback has returned, or a transfer has ended
  uint32_t nextSerial = 2;            // 1 is the local server's

  // The board: its server handle while held, the link to the frame stream and its reader, and
  // the acquisition device's current parameters.
  CORSERVER board = 0;
  std::unique_ptr<FrameLink> link;
  std::thread receiver;
  CameraDescription boardCamera;
  VicDescription boardVic{640, 480, CORDATA_FORMAT_MONO8};

  std::map<CORCAM, CameraDescription> cameras;
  std::map<CORVIC, VicDescription> vics;
  std::map<CORACQ, CORSERVER> acquisitions;
  std::map<CORBUFFER, HostBuffer> buffers;
  std::map<CORXFER, Transfer> transfers;
};

// Never destroyed: the tool's threads may still call in while the process ends.
Library& lib = *new Library;

CORHANDLE NewHandle(Kind kind) {
  uint32_t serial = lib.nextSerial++ & 0xFFFFFF;
  while (serial < 2)  // after a wrap: never 0, never the local server's 1
    serial = lib.nextSerial++ & 0xFFFFFF;
  return kind << 24 | serial;
}

bool IsServer(CORSERVER server) {
  return server == kLocalServer || (server != 0 && server == lib.board);
}

bool InUseByConnectedTransfer(CORHANDLE handle) {
  for (auto& [xfer, transfer] : lib.transfers) {
    if (!transfer.connected) continue;
    if (transfer.acq == handle) return true;
    for (CORBUFFER buffer : transfer.buffers)
      if (buffer == handle) return true;
  }
  return false;
}

// On the receiving thread: hands one frame to every grabbing transfer whose acquisition it
// matches. The callbacks run without the library's lock.
void Deliver(const Frame& frame) {
  std::unique_lock lock(lib.mutex);
  std::vector<CORXFER> grabbing;
  for (auto& [xfer, transfer] : lib.transfers)
    if (transfer.grabbing) grabbing.push_back(xfer);
  for (CORXFER xfer : grabbing) {
    auto it = lib.transfers.find(xfer);
    if (it == lib.transfers.end() || !it->second.grabbing) continue;
    Transfer& transfer = it->second;
    if (!FrameFits(frame, lib.boardVic.width, lib.boardVic.height, lib.boardCamera.pixelDepth))
      continue;  // a frame the acquisition cannot frame is dropped
    const size_t position = transfer.next;
    transfer.next = (position + 1) % transfer.buffers.size();
    auto buffer = lib.buffers.find(transfer.buffers[position]);
    if (buffer == lib.buffers.end() || buffer->second.width != frame.width ||
        buffer->second.height != frame.height)
      continue;
    CopyFrame(frame, buffer->second.pixels.get(), buffer->second.bytesPerPixel);
    if (transfer.framesLeft > 0 && --transfer.framesLeft == 0) transfer.grabbing = false;
    if (position >= transfer.registrations.size()) {
      lib.delivered.notify_all();
      continue;
    }
    Registration registration = transfer.registrations[position];
    ++transfer.delivering;
    lock.unlock();
    registration.callback(registration.context, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME,
                          static_cast<uint32_t>(frame.number));
    lock.lock();
    if (auto again = lib.transfers.find(xfer); again != lib.transfers.end())
      --again->second.delivering;
    lib.delivered.notify_all();
  }
}

// Reads frames until the stream ends or is shut down. A stream that breaks the format is given
// up, as a grabber loses a camera it cannot lock onto.
void ReadFrames(FrameLink* link) {
  std::vector<uint8_t> pixels;
  const ReadExact read = [link](uint8_t* data, size_t size) { return link->ReadExact(data, size); };
  for (Frame frame; ReadFrame(read, pixels, &frame);)
    Deliver(frame);
}

// The receiving thread; the link is shut down when it ends, so the peer sees the end too.
void Receive(FrameLink* link) {
  ReadFrames(link);
  link->Shutdown();
}

// Lets the board go: no transfer grabs any more, the reader ends. Called with the lock held; it
// is released while the reader is joined.
void ReleaseBoard(std::unique_lock<std::mutex>& lock) {
  for (auto& [xfer, transfer] : lib.transfers)
    if (transfer.server == lib.board) transfer.grabbing = false;
  lib.board = 0;
  std::unique_ptr<FrameLink> link = std::move(lib.link);
  std::thread receiver = std::move(lib.receiver);
  lock.unlock();
  if (link) link->Shutdown();
  if (receiver.joinable() && receiver.get_id() == std::this_thread::get_id()) {
    // Released from inside a callback: the reader ends by itself once the callback returns, on a
    // link that must outlive it.
    receiver.detach();
    link.release();
  } else if (receiver.joinable()) {
    receiver.join();
  }
  lock.lock();
  lib.delivered.notify_all();
}

// When the process ends: what the program never released, on standard error (a stand-in may
// tell what the vendor's library keeps to itself), and the reader ended if the board is still
// held, so that no thread outlives the library.
struct AtExit {
  ~AtExit() {
    std::unique_lock lock(lib.mutex);
    std::string held;
    auto count = [&held](size_t n, const char* what) {
      if (n > 0) held += (held.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    };
    count(lib.board != 0, "board server");
    count(lib.cameras.size(), "camera");
    count(lib.vics.size(), "VIC");
    count(lib.acquisitions.size(), "acquisition");
    count(lib.buffers.size(), "buffer");
    count(lib.transfers.size(), "transfer");
    if (!held.empty()) std::fprintf(stderr, "CORAPI: still held at exit: %s\n", held.c_str());
    if (lib.board != 0) ReleaseBoard(lock);
  }
} atExit;

template <typename Map>
typename Map::mapped_type* Find(Map& map, CORHANDLE handle) {
  auto it = map.find(handle);
  return it == map.end() ? nullptr : &it->second;
}

// True while a callback of the transfer runs on another thread than the caller's.
bool CallbackRunningElsewhere(CORXFER xfer) {
  Transfer* transfer = Find(lib.transfers, xfer);
  return transfer && transfer->delivering > 0 &&
         lib.receiver.get_id() != std::this_thread::get_id();
}

}  // namespace

extern "C" {

CORSTATUS CorManOpen(void) {
  return 0;
}

CORSERVER CorManGetLocalServer(void) {
  return kLocalServer;
}

CORSTATUS CorManGetServerByName(const char* name, CORSERVER* server) {
  if (!name) return Status(kManager, kInvalidParameter, 1);
  if (!server) return Status(kManager, kInvalidParameter, 2);
  std::unique_lock lock(lib.mutex);
  if (std::strcmp(name, kBoardName) != 0) return Status(kManager, kServerNotFound);
  if (lib.board != 0) {
    *server = lib.board;
    return 0;
  }
  const char* configured = std::getenv("TAPCAL_GRABBER");
  auto link = std::make_unique<FrameLink>();
  if (!link->Connect(configured && *configured ? configured : kDefaultGrabber, kConnectTimeoutMs))
    return Status(kManager, kServerNotFound);
  lib.board = NewHandle(kServer);
  lib.boardCamera = CameraDescription{};
  lib.boardVic = VicDescription{640, 480, CORDATA_FORMAT_MONO8};
  lib.receiver = std::thread(Receive, link.get());
  lib.link = std::move(link);
  *server = lib.board;
  return 0;
}

CORSTATUS CorManReleaseServer(CORSERVER server) {
  std::unique_lock lock(lib.mutex);
  if (server == kLocalServer) return 0;
  if (server == 0 || server != lib.board) return Status(kManager, kInvalidHandle, 1);
  ReleaseBoard(lock);
  return 0;
}

CORSTATUS CorManGetStatusText(CORSTATUS status, char* text, uint32_t size, char* info,
                              uint32_t infoSize) {
  if (!text || size == 0) return Status(kManager, kInvalidParameter, 2);
  const char* codeText = status == 0 ? "Success" : CodeText(status & 0xFF);
  const char* moduleText = status == 0 ? "" : ModuleText(status >> 22 & 0x3F);
  if (!codeText || !moduleText) return Status(kManager, kNoText);
  std::snprintf(text, size, "%s", codeText);
  if (info && infoSize > 0) std::snprintf(info, infoSize, "%s", moduleText);
  return 0;
}

CORSTATUS CorCamNew(CORSERVER server, CORCAM* cam) {
  std::lock_guard lock(lib.mutex);
  if (!IsServer(server)) return Status(kCameraModule, kInvalidHandle, 1);
  if (!cam) return Status(kCameraModule, kInvalidParameter, 2);
  *cam = NewHandle(kCamera);
  lib.cameras[*cam] = CameraDescription{};
  return 0;
}

CORSTATUS CorCamLoad(CORCAM cam, const char* path) {
  if (!path) return Status(kCameraModule, kInvalidParameter, 2);
  CameraDescription loaded;
  FileResult result = LoadCameraFile(path, &loaded);
  std::lock_guard lock(lib.mutex);
  CameraDescription* camera = Find(lib.cameras, cam);
  if (!camera) return Status(kCameraModule, kInvalidHandle, 1);
  if (result.error == FileError::cannotOpen) return Status(kCameraModule, kFileNotFound);
  if (result.error != FileError::none) return Status(kCameraModule, kFileFormat, result.line);
  *camera = loaded;
  return 0;
}

CORSTATUS CorCamFree(CORCAM cam) {
  std::lock_guard lock(lib.mutex);
  return lib.cameras.erase(cam) ? 0 : Status(kCameraModule, kInvalidHandle, 1);
}

CORSTATUS CorVicNew(CORSERVER server, CORVIC* vic) {
  std::lock_guard lock(lib.mutex);
  if (!IsServer(server)) return Status(kVicModule, kInvalidHandle, 1);
  if (!vic) return Status(kVicModule, kInvalidParameter, 2);
  *vic = NewHandle(kVic);
  lib.vics[*vic] = VicDescription{640, 480, CORDATA_FORMAT_MONO8};
  return 0;
}

CORSTATUS CorVicLoad(CORVIC vic, const char* path) {
  if (!path) return Status(kVicModule, kInvalidParameter, 2);
  VicDescription loaded;
  FileResult result = LoadVicFile(path, &loaded);
  std::lock_guard lock(lib.mutex);
  VicDescription* description = Find(lib.vics, vic);
  if (!description) return Status(kVicModule, kInvalidHandle, 1);
  if (result.error == FileError::cannotOpen) return Status(kVicModule, kFileNotFound);
  if (result.error != FileError::none) return Status(kVicModule, kFileFormat, result.line);
  *description = loaded;
  return 0;
}

CORSTATUS CorVicSetPrm(CORVIC vic, uint32_t prm, uint32_t value) {
  std::lock_guard lock(lib.mutex);
  VicDescription* description = Find(lib.vics, vic);
  if (!description) return Status(kVicModule, kInvalidHandle, 1);
  if (prm != CORVIC_PRM_OUTPUT_FORMAT) return Status(kVicModule, kInvalidParameter, 2);
  if (value != CORDATA_FORMAT_MONO8 && value != CORDATA_FORMAT_MONO16)
    return Status(kVicModule, kInvalidParameter, 3);
  description->outputFormat = value;
  return 0;
}

CORSTATUS CorVicFree(CORVIC vic) {
  std::lock_guard lock(lib.mutex);
  return lib.vics.erase(vic) ? 0 : Status(kVicModule, kInvalidHandle, 1);
}

CORSTATUS CorAcqGetHandle(CORSERVER server, uint32_t index, CORACQ* acq) {
  std::lock_guard lock(lib.mutex);
  // The acquisition device is the board's; the host has none.
  if (server == 0 || server != lib.board) return Status(kAcquisitionModule, kInvalidHandle, 1);
  if (index != 0) return Status(kAcquisitionModule, kInvalidParameter, 2);
  if (!acq) return Status(kAcquisitionModule, kInvalidParameter, 3);
  *acq = NewHandle(kAcquisition);
  lib.acquisitions[*acq] = server;
  return 0;
}

CORSTATUS CorAcqGetPrms(CORACQ acq, CORVIC vic, CORCAM cam, int32_t) {
  std::lock_guard lock(lib.mutex);
  CORSERVER* server = Find(lib.acquisitions, acq);
  if (!server) return Status(kAcquisitionModule, kInvalidHandle, 1);
  VicDescription* description = Find(lib.vics, vic);
  if (!description) return Status(kAcquisitionModule, kInvalidHandle, 2);
  CameraDescription* camera = Find(lib.cameras, cam);
  if (!camera) return Status(kAcquisitionModule, kInvalidHandle, 3);
  if (*server != lib.board) return Status(kAcquisitionModule, kNotAllowed);
  *description = lib.boardVic;
  *camera = lib.boardCamera;
  return 0;
}

CORSTATUS CorAcqSetPrms(CORACQ acq, CORVIC vic, CORCAM cam, int32_t) {
  std::lock_guard lock(lib.mutex);
  CORSERVER* server = Find(lib.acquisitions, acq);
  if (!server) return Status(kAcquisitionModule, kInvalidHandle, 1);
  VicDescription* description = Find(lib.vics, vic);
  if (!description) return Status(kAcquisitionModule, kInvalidHandle, 2);
  CameraDescription* camera = Find(lib.cameras, cam);
  if (!camera) return Status(kAcquisitionModule, kInvalidHandle, 3);
  if (*server != lib.board) return Status(kAcquisitionModule, kNotAllowed);
  // This board frames whole camera images only: the VIC's window is the camera's image.
  if (description->width != camera->width || description->height != camera->height)
    return Status(kAcquisitionModule, kIncompatible);
  for (auto& [xfer, transfer] : lib.transfers)
    if (transfer.connected && transfer.acq == acq) return Status(kAcquisitionModule, kInUse);
  lib.boardVic = *description;
  lib.boardCamera = *camera;
  return 0;
}

CORSTATUS CorAcqGetPrm(CORACQ acq, uint32_t prm, void* value) {
  std::lock_guard lock(lib.mutex);
  CORSERVER* server = Find(lib.acquisitions, acq);
  if (!server) return Status(kAcquisitionModule, kInvalidHandle, 1);
  if (!value) return Status(kAcquisitionModule, kInvalidParameter, 3);
  if (*server != lib.board) return Status(kAcquisitionModule, kNotAllowed);
  uint32_t result;
  if (prm == CORACQ_PRM_SCALE_HORZ)
    result = lib.boardVic.width;
  else if (prm == CORACQ_PRM_SCALE_VERT)
    result = lib.boardVic.height;
  else if (prm == CORACQ_PRM_PIXEL_DEPTH)
    result = lib.boardCamera.pixelDepth;
  else
    return Status(kAcquisitionModule, kInvalidParameter, 2);
  std::memcpy(value, &result, sizeof result);
  return 0;
}

CORSTATUS CorAcqRelease(CORACQ acq) {
  std::lock_guard lock(lib.mutex);
  if (!Find(lib.acquisitions, acq)) return Status(kAcquisitionModule, kInvalidHandle, 1);
  if (InUseByConnectedTransfer(acq)) return Status(kAcquisitionModule, kInUse);
  lib.acquisitions.erase(acq);
  return 0;
}

CORSTATUS CorBufferNew(CORSERVER server, uint32_t width, uint32_t height, uint32_t format,
                       uint32_t type, CORBUFFER* buffer) {
  std::lock_guard lock(lib.mutex);
  if (!IsServer(server)) return Status(kBufferModule, kInvalidHandle, 1);
  if (width == 0) return Status(kBufferModule, kInvalidParameter, 2);
  if (height == 0) return Status(kBufferModule, kInvalidParameter, 3);
  uint32_t bytes = format == CORDATA_FORMAT_MONO8 ? 1 : format == CORDATA_FORMAT_MONO16 ? 2 : 0;
  if (bytes == 0) return Status(kBufferModule, kInvalidParameter, 4);
  if (type != CORBUFFER_VAL_TYPE_CONTIGUOUS) return Status(kBufferModule, kInvalidParameter, 5);
  if (!buffer) return Status(kBufferModule, kInvalidParameter, 6);
  const std::optional<size_t> size = ImageBytes(width, height, bytes);
  if (!size) return Status(kBufferModule, kNoMemory);
  std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[*size]());
  if (!pixels) return Status(kBufferModule, kNoMemory);
  *buffer = NewHandle(kBuffer);
  lib.buffers[*buffer] = HostBuffer{width, height, format, bytes, *size, std::move(pixels)};
  return 0;
}

CORSTATUS CorBufferGetPrm(CORBUFFER buffer, uint32_t prm, void* value) {
  std::lock_guard lock(lib.mutex);
  HostBuffer* host = Find(lib.buffers, buffer);
  if (!host) return Status(kBufferModule, kInvalidHandle, 1);
  if (prm != CORBUFFER_PRM_ADDRESS) return Status(kBufferModule, kInvalidParameter, 2);
  if (!value) return Status(kBufferModule, kInvalidParameter, 3);
  void* address = host->pixels.get();
  std::memcpy(value, &address, sizeof address);
  return 0;
}

CORSTATUS CorBufferFree(CORBUFFER buffer) {
  std::lock_guard lock(lib.mutex);
  if (!Find(lib.buffers, buffer)) return Status(kBufferModule, kInvalidHandle, 1);
  if (InUseByConnectedTransfer(buffer)) return Status(kBufferModule, kInUse);
  lib.buffers.erase(buffer);
  return 0;
}

CORSTATUS CorXferNew(CORSERVER server, CORACQ acq, CORBUFFER buffer, void*, CORXFER* xfer) {
  std::lock_guard lock(lib.mutex);
  if (server == 0 || server != lib.board) return Status(kTransferModule, kInvalidHandle, 1);
  if (!Find(lib.acquisitions, acq)) return Status(kTransferModule, kInvalidHandle, 2);
  if (!Find(lib.buffers, buffer)) return Status(kTransferModule, kInvalidHandle, 3);
  if (!xfer) return Status(kTransferModule, kInvalidParameter, 5);
  *xfer = NewHandle(kTransfer);
  Transfer& transfer = lib.transfers[*xfer];
  transfer.server = server;
  transfer.acq = acq;
  transfer.buffers.push_back(buffer);
  return 0;
}

CORSTATUS CorXferAppend(CORXFER xfer, CORACQ acq, CORBUFFER buffer, void*) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  if (acq != transfer->acq || !Find(lib.acquisitions, acq))
    return Status(kTransferModule, kInvalidHandle, 2);
  if (!Find(lib.buffers, buffer)) return Status(kTransferModule, kInvalidHandle, 3);
  if (transfer->connected) return Status(kTransferModule, kNotAllowed);
  transfer->buffers.push_back(buffer);
  return 0;
}

CORSTATUS CorXferRegisterCallback(CORXFER xfer, uint32_t eventType, PCORCALLBACK callback,
                                  void* context) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  if (eventType != CORXFER_VAL_EVENT_TYPE_END_OF_FRAME)
    return Status(kTransferModule, kInvalidParameter, 2);
  if (!callback) return Status(kTransferModule, kInvalidParameter, 3);
  if (transfer->connected) return Status(kTransferModule, kNotAllowed);
  transfer->registrations.push_back({callback, context});
  return 0;
}

CORSTATUS CorXferUnregisterCallback(CORXFER xfer, PCORCALLBACK callback) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  std::erase_if(transfer->registrations, [callback](auto& r) { return r.callback == callback; });
  return 0;
}

CORSTATUS CorXferConnect(CORXFER xfer) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  if (transfer->connected || transfer->server != lib.board)
    return Status(kTransferModule, kNotAllowed);
  if (!Find(lib.acquisitions, transfer->acq)) return Status(kTransferModule, kInvalidHandle, 1);
  // Every buffer must take the acquisition's images as they come out of the VIC.
  for (size_t i = 0; i < transfer->buffers.size(); ++i) {
    HostBuffer* buffer = Find(lib.buffers, transfer->buffers[i]);
    if (!buffer) return Status(kTransferModule, kInvalidHandle, 1);
    if (buffer->width != lib.boardVic.width || buffer->height != lib.boardVic.height ||
        buffer->format != lib.boardVic.outputFormat)
      return Status(kTransferModule, kIncompatible, static_cast<uint32_t>(i + 1));
  }
  transfer->connected = true;
  return 0;
}

CORSTATUS CorXferStart(CORXFER xfer, int32_t count) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  if (count == 0 || count < CORXFER_CONTINUOUS)
    return Status(kTransferModule, kInvalidParameter, 2);
  if (!transfer->connected || transfer->grabbing || transfer->server != lib.board)
    return Status(kTransferModule, kNotAllowed);
  transfer->grabbing = true;
  transfer->framesLeft = count;
  transfer->next = 0;
  return 0;
}

CORSTATUS CorXferStop(CORXFER xfer) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  transfer->grabbing = false;  // the frame being delivered completes; no other starts
  lib.delivered.notify_all();
  return 0;
}

CORSTATUS CorXferWait(CORXFER xfer, uint32_t timeoutMs) {
  std::unique_lock lock(lib.mutex);
  if (!Find(lib.transfers, xfer)) return Status(kTransferModule, kInvalidHandle, 1);
  bool ended = lib.delivered.wait_for(lock, std::chrono::milliseconds(timeoutMs), [xfer] {
    Transfer* transfer = Find(lib.transfers, xfer);
    return !transfer || (!transfer->grabbing && transfer->delivering == 0);
  });
  return ended ? 0 : Status(kTransferModule, kTimeout);
}

CORSTATUS CorXferAbort(CORXFER xfer) {
  std::unique_lock lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  transfer->grabbing = false;
  lib.delivered.notify_all();
  // Nothing of the transfer runs once the abort returns.
  lib.delivered.wait(lock, [xfer] { return !CallbackRunningElsewhere(xfer); });
  return 0;
}

CORSTATUS CorXferDisconnect(CORXFER xfer) {
  std::unique_lock lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  transfer->grabbing = false;
  transfer->connected = false;
  // A callback still running finishes before its buffers can be freed.
  lib.delivered.wait(lock, [xfer] { return !CallbackRunningElsewhere(xfer); });
  return 0;
}

CORSTATUS CorXferFree(CORXFER xfer) {
  std::lock_guard lock(lib.mutex);
  Transfer* transfer = Find(lib.transfers, xfer);
  if (!transfer) return Status(kTransferModule, kInvalidHandle, 1);
  if (transfer->connected || transfer->delivering > 0) return Status(kTransferModule, kInUse);
  lib.transfers.erase(xfer);
  return 0;
}

}  // extern "C"
