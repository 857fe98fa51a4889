#include "fakes/fake_corapi.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

enum class Kind { server, cam, vic, acq, buffer, xfer };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::server:
      return "server";
    case Kind::cam:
      return "cam";
    case Kind::vic:
      return "vic";
    case Kind::acq:
      return "acq";
    case Kind::buffer:
      return "buffer";
    case Kind::xfer:
      return "xfer";
  }
  return "";
}

struct Transfer {
  std::vector<CORBUFFER> buffers;
  std::vector<fake::Registration> registrations;
  bool connected = false;
  bool grabbing = false;
};

struct HostBuffer {
  fake::FakeBuffer record;
  std::unique_ptr<uint8_t[]> storage;
};

std::mutex mutex;
std::map<std::string, std::map<int, CORSTATUS>> failures;  // function -> use -> status
std::map<std::string, int> uses;
std::map<CORSTATUS, std::string> DefaultStatusTexts() {
  return {{fake::kFakeBadHandle, "Invalid handle"},
          {fake::kFakeBadArgument, "Invalid argument"},
          {fake::kFakeNoServer, "Server not found"},
          {fake::kFakeBadState, "Operation not allowed in this state"}};
}
std::map<CORSTATUS, std::string> statusTexts = DefaultStatusTexts();
std::vector<fake::CorCall> calls;

std::map<CORHANDLE, Kind> handles;
CORHANDLE nextHandle = 0x100;
CORSERVER localServer = 0;
CORSERVER boardServer = 0;
std::map<CORBUFFER, HostBuffer> buffers;
std::map<CORXFER, Transfer> transfers;
CORXFER newestTransfer = 0;
uint32_t acqWidth = 640, acqHeight = 480, acqDepth = 8;
uint64_t framesDelivered = 0;

std::thread frameThread;
std::atomic<bool> frameThreadRunning{false};
std::atomic<uint64_t> frameThreadFrames{0};

// Starts a log entry; the use is counted and a scripted failure, if any, is written to *status.
struct Logged {
  fake::CorCall& call;
  bool failed = false;
  CORSTATUS status = 0;
};

Logged Begin(const char* function, std::vector<uint64_t> args, std::string text = "") {
  calls.push_back({function, std::move(args), std::move(text), 0, 0});
  Logged logged{calls.back()};
  int use = ++uses[function];
  if (auto it = failures.find(function); it != failures.end()) {
    if (auto failure = it->second.find(use); failure != it->second.end()) {
      logged.failed = true;
      logged.status = failure->second;
    }
  }
  return logged;
}

CORSTATUS End(Logged& logged, CORSTATUS status) {
  logged.call.result = status;
  return status;
}

uint64_t Address(const void* pointer) {
  return reinterpret_cast<uintptr_t>(pointer);
}

bool Is(CORHANDLE handle, Kind kind) {
  auto it = handles.find(handle);
  return it != handles.end() && it->second == kind;
}

CORHANDLE NewHandle(Kind kind) {
  CORHANDLE handle = nextHandle++;
  handles[handle] = kind;
  return handle;
}

bool IsServer(CORHANDLE handle) {
  return Is(handle, Kind::server);
}

// The registration for the transfer's buffer at `position`, and that buffer; false when missing.
bool FindDelivery(int position, CORBUFFER* buffer, fake::Registration* registration) {
  auto it = transfers.find(newestTransfer);
  if (it == transfers.end() || position < 0) return false;
  Transfer& transfer = it->second;
  auto index = static_cast<size_t>(position);
  if (index >= transfer.buffers.size() || index >= transfer.registrations.size()) return false;
  *buffer = transfer.buffers[index];
  *registration = transfer.registrations[index];
  return true;
}

bool Deliver(int position, const fake::FrameFiller& fill, uint32_t eventValue) {
  CORBUFFER handle = 0;
  fake::Registration registration;
  fake::FakeBuffer record;
  uint64_t number;
  {
    std::lock_guard lock(mutex);
    if (!FindDelivery(position, &handle, &registration)) return false;
    auto buffer = buffers.find(handle);
    if (buffer == buffers.end()) return false;
    record = buffer->second.record;
    number = framesDelivered++;
  }
  // Neither the filler nor the callback runs under the fake's lock: both may call the library.
  if (fill) fill(record, number);
  registration.callback(registration.context, registration.eventType, eventValue);
  return true;
}

void StopThread() {
  frameThreadRunning = false;
  if (frameThread.joinable()) frameThread.join();
}

}  // namespace

namespace fake {

void ResetGrabber() {
  StopThread();
  std::lock_guard lock(mutex);
  failures.clear();
  uses.clear();
  statusTexts = DefaultStatusTexts();
  calls.clear();
  handles.clear();
  nextHandle = 0x100;
  localServer = boardServer = 0;
  buffers.clear();
  transfers.clear();
  newestTransfer = 0;
  acqWidth = 640;
  acqHeight = 480;
  acqDepth = 8;
  framesDelivered = 0;
}

void FailCorCall(const std::string& function, int nthUse, CORSTATUS status) {
  std::lock_guard lock(mutex);
  failures[function][nthUse] = status;
}

void SetStatusText(CORSTATUS status, const std::string& text) {
  std::lock_guard lock(mutex);
  statusTexts[status] = text;
}

void SetAcquisitionParameters(uint32_t width, uint32_t height, uint32_t depth) {
  std::lock_guard lock(mutex);
  acqWidth = width;
  acqHeight = height;
  acqDepth = depth;
}

void ClearCorCalls() {
  std::lock_guard lock(mutex);
  calls.clear();
  uses.clear();
  failures.clear();
}

std::vector<CorCall> CorCalls() {
  std::lock_guard lock(mutex);
  return calls;
}

std::vector<CorCall> CorCallsOf(const std::string& function) {
  std::vector<CorCall> matching;
  for (auto& call : CorCalls())
    if (call.function == function) matching.push_back(call);
  return matching;
}

std::vector<std::string> CorCallNames() {
  std::vector<std::string> names;
  for (auto& call : CorCalls())
    names.push_back(call.function);
  return names;
}

int LiveHandleCount(const std::string& kind) {
  std::lock_guard lock(mutex);
  int count = 0;
  for (auto& [handle, handleKind] : handles)
    if (kind == KindName(handleKind)) ++count;
  return count;
}

bool IsLiveHandle(CORHANDLE handle) {
  std::lock_guard lock(mutex);
  return handles.count(handle) > 0;
}

FakeBuffer Buffer(CORBUFFER handle) {
  std::lock_guard lock(mutex);
  auto it = buffers.find(handle);
  return it == buffers.end() ? FakeBuffer{} : it->second.record;
}

std::vector<CORBUFFER> TransferBuffers() {
  std::lock_guard lock(mutex);
  auto it = transfers.find(newestTransfer);
  return it == transfers.end() ? std::vector<CORBUFFER>{} : it->second.buffers;
}

std::vector<Registration> Registrations() {
  std::lock_guard lock(mutex);
  std::vector<Registration> all;
  for (auto& [handle, transfer] : transfers)
    all.insert(all.end(), transfer.registrations.begin(), transfer.registrations.end());
  return all;
}

bool Grabbing() {
  std::lock_guard lock(mutex);
  auto it = transfers.find(newestTransfer);
  return it != transfers.end() && it->second.grabbing;
}

bool DeliverFrame(int position, const FrameFiller& fill, uint32_t eventValue) {
  return Deliver(position, fill, eventValue);
}

void StartFrameThread(const FrameFiller& fill, uint32_t periodUs) {
  StopThread();
  frameThreadFrames = 0;
  frameThreadRunning = true;
  frameThread = std::thread([fill, periodUs] {
    int position = 0;
    while (frameThreadRunning) {
      if (Grabbing() && Deliver(position, fill, static_cast<uint32_t>(frameThreadFrames.load()))) {
        ++frameThreadFrames;
        position = (position + 1) % 3;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(periodUs));
    }
  });
}

uint64_t StopFrameThread() {
  StopThread();
  return frameThreadFrames;
}

}  // namespace fake

extern "C" {

CORSTATUS CorManOpen(void) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorManOpen", {});
  return End(logged, logged.failed ? logged.status : 0);
}

CORSERVER CorManGetLocalServer(void) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorManGetLocalServer", {});
  if (logged.failed) return End(logged, logged.status);
  if (!IsServer(localServer)) localServer = NewHandle(Kind::server);
  logged.call.out = localServer;
  return End(logged, localServer);
}

CORSTATUS CorManGetServerByName(const char* name, CORSERVER* server) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorManGetServerByName", {Address(server)}, name ? name : "");
  if (logged.failed) return End(logged, logged.status);
  if (!name || !server) return End(logged, fake::kFakeBadArgument);
  if (std::strcmp(name, fake::kFakeBoardName) != 0) return End(logged, fake::kFakeNoServer);
  if (!IsServer(boardServer)) boardServer = NewHandle(Kind::server);
  *server = boardServer;
  logged.call.out = boardServer;
  return End(logged, 0);
}

CORSTATUS CorManReleaseServer(CORSERVER server) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorManReleaseServer", {server});
  if (logged.failed) return End(logged, logged.status);
  if (!IsServer(server)) return End(logged, fake::kFakeBadHandle);
  handles.erase(server);
  return End(logged, 0);
}

CORSTATUS CorManGetStatusText(CORSTATUS status, char* text, uint32_t size, char* info,
                              uint32_t infoSize) {
  std::lock_guard lock(mutex);
  Logged logged =
      Begin("CorManGetStatusText", {status, Address(text), size, Address(info), infoSize});
  if (logged.failed) return End(logged, logged.status);
  if (!text || size == 0) return End(logged, fake::kFakeBadArgument);
  auto it = statusTexts.find(status);
  if (it == statusTexts.end()) return End(logged, fake::kFakeNoText);
  std::snprintf(text, size, "%s", it->second.c_str());
  return End(logged, 0);
}

CORSTATUS CorCamNew(CORSERVER server, CORCAM* cam) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorCamNew", {server, Address(cam)});
  if (logged.failed) return End(logged, logged.status);
  if (!IsServer(server)) return End(logged, fake::kFakeBadHandle);
  if (!cam) return End(logged, fake::kFakeBadArgument);
  *cam = NewHandle(Kind::cam);
  logged.call.out = *cam;
  return End(logged, 0);
}

CORSTATUS CorCamLoad(CORCAM cam, const char* path) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorCamLoad", {cam}, path ? path : "");
  if (logged.failed) return End(logged, logged.status);
  if (!Is(cam, Kind::cam)) return End(logged, fake::kFakeBadHandle);
  return End(logged, path ? 0 : fake::kFakeBadArgument);
}

CORSTATUS CorCamFree(CORCAM cam) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorCamFree", {cam});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(cam, Kind::cam)) return End(logged, fake::kFakeBadHandle);
  handles.erase(cam);
  return End(logged, 0);
}

CORSTATUS CorVicNew(CORSERVER server, CORVIC* vic) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorVicNew", {server, Address(vic)});
  if (logged.failed) return End(logged, logged.status);
  if (!IsServer(server)) return End(logged, fake::kFakeBadHandle);
  if (!vic) return End(logged, fake::kFakeBadArgument);
  *vic = NewHandle(Kind::vic);
  logged.call.out = *vic;
  return End(logged, 0);
}

CORSTATUS CorVicLoad(CORVIC vic, const char* path) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorVicLoad", {vic}, path ? path : "");
  if (logged.failed) return End(logged, logged.status);
  if (!Is(vic, Kind::vic)) return End(logged, fake::kFakeBadHandle);
  return End(logged, path ? 0 : fake::kFakeBadArgument);
}

CORSTATUS CorVicSetPrm(CORVIC vic, uint32_t prm, uint32_t value) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorVicSetPrm", {vic, prm, value});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(vic, Kind::vic)) return End(logged, fake::kFakeBadHandle);
  return End(logged, 0);
}

CORSTATUS CorVicFree(CORVIC vic) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorVicFree", {vic});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(vic, Kind::vic)) return End(logged, fake::kFakeBadHandle);
  handles.erase(vic);
  return End(logged, 0);
}

CORSTATUS CorAcqGetHandle(CORSERVER server, uint32_t index, CORACQ* acq) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorAcqGetHandle", {server, index, Address(acq)});
  if (logged.failed) return End(logged, logged.status);
  // The acquisition device belongs to the board, not to the host.
  if (!IsServer(server) || server != boardServer) return End(logged, fake::kFakeBadHandle);
  if (index != 0 || !acq) return End(logged, fake::kFakeBadArgument);
  *acq = NewHandle(Kind::acq);
  logged.call.out = *acq;
  return End(logged, 0);
}

CORSTATUS CorAcqGetPrms(CORACQ acq, CORVIC vic, CORCAM cam, int32_t flag) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorAcqGetPrms", {acq, vic, cam, static_cast<uint64_t>(flag)});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(acq, Kind::acq) || !Is(vic, Kind::vic) || !Is(cam, Kind::cam))
    return End(logged, fake::kFakeBadHandle);
  return End(logged, 0);
}

CORSTATUS CorAcqSetPrms(CORACQ acq, CORVIC vic, CORCAM cam, int32_t flag) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorAcqSetPrms", {acq, vic, cam, static_cast<uint64_t>(flag)});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(acq, Kind::acq) || !Is(vic, Kind::vic) || !Is(cam, Kind::cam))
    return End(logged, fake::kFakeBadHandle);
  return End(logged, 0);
}

CORSTATUS CorAcqGetPrm(CORACQ acq, uint32_t prm, void* value) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorAcqGetPrm", {acq, prm, Address(value)});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(acq, Kind::acq)) return End(logged, fake::kFakeBadHandle);
  uint32_t result;
  if (prm == CORACQ_PRM_SCALE_HORZ)
    result = acqWidth;
  else if (prm == CORACQ_PRM_SCALE_VERT)
    result = acqHeight;
  else if (prm == CORACQ_PRM_PIXEL_DEPTH)
    result = acqDepth;
  else
    return End(logged, fake::kFakeBadArgument);
  if (!value) return End(logged, fake::kFakeBadArgument);
  std::memcpy(value, &result, sizeof result);
  logged.call.out = result;
  return End(logged, 0);
}

CORSTATUS CorAcqRelease(CORACQ acq) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorAcqRelease", {acq});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(acq, Kind::acq)) return End(logged, fake::kFakeBadHandle);
  handles.erase(acq);
  return End(logged, 0);
}

CORSTATUS CorBufferNew(CORSERVER server, uint32_t width, uint32_t height, uint32_t format,
                       uint32_t type, CORBUFFER* buffer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorBufferNew", {server, width, height, format, type, Address(buffer)});
  if (logged.failed) return End(logged, logged.status);
  if (!IsServer(server)) return End(logged, fake::kFakeBadHandle);
  uint32_t bytes = format == CORDATA_FORMAT_MONO8 ? 1 : format == CORDATA_FORMAT_MONO16 ? 2 : 0;
  if (bytes == 0 || width == 0 || height == 0 || type != CORBUFFER_VAL_TYPE_CONTIGUOUS || !buffer)
    return End(logged, fake::kFakeBadArgument);
  CORBUFFER handle = NewHandle(Kind::buffer);
  HostBuffer& host = buffers[handle];
  host.record = {handle, width, height,  format,
                 type,   bytes, nullptr, size_t{width} * height * bytes};
  host.storage = std::make_unique<uint8_t[]>(host.record.size);
  host.record.pixels = host.storage.get();
  *buffer = handle;
  logged.call.out = handle;
  return End(logged, 0);
}

CORSTATUS CorBufferGetPrm(CORBUFFER buffer, uint32_t prm, void* value) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorBufferGetPrm", {buffer, prm, Address(value)});
  if (logged.failed) return End(logged, logged.status);
  auto it = buffers.find(buffer);
  if (it == buffers.end()) return End(logged, fake::kFakeBadHandle);
  if (prm != CORBUFFER_PRM_ADDRESS || !value) return End(logged, fake::kFakeBadArgument);
  void* address = it->second.record.pixels;
  std::memcpy(value, &address, sizeof address);
  logged.call.out = Address(address);
  return End(logged, 0);
}

CORSTATUS CorBufferFree(CORBUFFER buffer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorBufferFree", {buffer});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(buffer, Kind::buffer)) return End(logged, fake::kFakeBadHandle);
  handles.erase(buffer);
  buffers.erase(buffer);
  return End(logged, 0);
}

CORSTATUS CorXferNew(CORSERVER server, CORACQ acq, CORBUFFER buffer, void* desc, CORXFER* xfer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferNew", {server, acq, buffer, Address(desc), Address(xfer)});
  if (logged.failed) return End(logged, logged.status);
  if (!IsServer(server) || !Is(acq, Kind::acq) || !Is(buffer, Kind::buffer))
    return End(logged, fake::kFakeBadHandle);
  if (!xfer) return End(logged, fake::kFakeBadArgument);
  CORXFER handle = NewHandle(Kind::xfer);
  transfers[handle].buffers.push_back(buffer);
  newestTransfer = handle;
  *xfer = handle;
  logged.call.out = handle;
  return End(logged, 0);
}

CORSTATUS CorXferAppend(CORXFER xfer, CORACQ acq, CORBUFFER buffer, void* desc) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferAppend", {xfer, acq, buffer, Address(desc)});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer) || !Is(acq, Kind::acq) || !Is(buffer, Kind::buffer))
    return End(logged, fake::kFakeBadHandle);
  transfers[xfer].buffers.push_back(buffer);
  return End(logged, 0);
}

CORSTATUS CorXferRegisterCallback(CORXFER xfer, uint32_t eventType, PCORCALLBACK callback,
                                  void* context) {
  std::lock_guard lock(mutex);
  Logged logged =
      Begin("CorXferRegisterCallback",
            {xfer, eventType, Address(reinterpret_cast<void*>(callback)), Address(context)});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  if (!callback) return End(logged, fake::kFakeBadArgument);
  transfers[xfer].registrations.push_back({xfer, eventType, callback, context});
  return End(logged, 0);
}

CORSTATUS CorXferUnregisterCallback(CORXFER xfer, PCORCALLBACK callback) {
  std::lock_guard lock(mutex);
  Logged logged =
      Begin("CorXferUnregisterCallback", {xfer, Address(reinterpret_cast<void*>(callback))});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  auto& registrations = transfers[xfer].registrations;
  std::erase_if(registrations, [callback](auto& r) { return r.callback == callback; });
  return End(logged, 0);
}

CORSTATUS CorXferConnect(CORXFER xfer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferConnect", {xfer});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  transfers[xfer].connected = true;
  return End(logged, 0);
}

CORSTATUS CorXferStart(CORXFER xfer, int32_t count) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferStart", {xfer, static_cast<uint64_t>(count)});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  if (!transfers[xfer].connected) return End(logged, fake::kFakeBadState);
  transfers[xfer].grabbing = true;
  return End(logged, 0);
}

CORSTATUS CorXferStop(CORXFER xfer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferStop", {xfer});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  transfers[xfer].grabbing = false;
  return End(logged, 0);
}

CORSTATUS CorXferWait(CORXFER xfer, uint32_t timeoutMs) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferWait", {xfer, timeoutMs});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  return End(logged, 0);
}

CORSTATUS CorXferAbort(CORXFER xfer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferAbort", {xfer});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  transfers[xfer].grabbing = false;
  return End(logged, 0);
}

CORSTATUS CorXferDisconnect(CORXFER xfer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferDisconnect", {xfer});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  transfers[xfer].connected = false;
  transfers[xfer].grabbing = false;
  return End(logged, 0);
}

CORSTATUS CorXferFree(CORXFER xfer) {
  std::lock_guard lock(mutex);
  Logged logged = Begin("CorXferFree", {xfer});
  if (logged.failed) return End(logged, logged.status);
  if (!Is(xfer, Kind::xfer)) return End(logged, fake::kFakeBadHandle);
  handles.erase(xfer);
  transfers.erase(xfer);
  return End(logged, 0);
}

}  // extern "C"
