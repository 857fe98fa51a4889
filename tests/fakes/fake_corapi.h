// A scriptable fake of the frame-grabber library: every call logged with its arguments, any call
// made to fail with a chosen status on its n-th use, real handles and host buffers, acquisition
// parameters set by the test, frames filled and their end-of-frame callbacks fired by the test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vendor/corapi.h"

namespace fake {

struct CorCall {
  std::string function;  // "CorXferNew", ...
  // Arguments in call order, except the text ones: handles and values as they are, pointers
  // (out-arguments, callbacks, contexts, transfer descriptions) as their addresses.
  std::vector<uint64_t> args;
  std::string text;      // the file path or server name, for the calls that take one
  uint64_t out = 0;      // what the call wrote through its out-argument (handle, value, address)
  CORSTATUS result = 0;  // for CorManGetLocalServer, the handle it returned
};

// Statuses the fake itself returns; each has a text. Chosen statuses (FailCorCall) have a text
// only when SetStatusText gives them one.
constexpr CORSTATUS kFakeBadHandle = (3u << 22) | (0x001u << 8) | 0x02;
constexpr CORSTATUS kFakeBadArgument = (3u << 22) | (0x002u << 8) | 0x03;
constexpr CORSTATUS kFakeNoServer = (1u << 22) | (0x010u << 8) | 0x04;
constexpr CORSTATUS kFakeBadState = (3u << 22) | (0x004u << 8) | 0x05;
constexpr CORSTATUS kFakeNoText = (1u << 22) | (0x020u << 8) | 0x06;

// The board server's name, the only one CorManGetServerByName finds.
constexpr const char* kFakeBoardName = "X64-CL_Express_1";

struct FakeBuffer {
  CORBUFFER handle = 0;
  uint32_t width = 0, height = 0, format = 0, type = 0;
  uint32_t bytesPerPixel = 0;  // 1 for CORDATA_FORMAT_MONO8, 2 for CORDATA_FORMAT_MONO16
  uint8_t* pixels = nullptr;   // width * height * bytesPerPixel bytes, contiguous
  size_t size = 0;
};

struct Registration {
  CORXFER xfer = 0;
  uint32_t eventType = 0;
  PCORCALLBACK callback = nullptr;
  void* context = nullptr;
};

// Fills a buffer before its end-of-frame; `frameNumber` counts the frames the fake delivered
// since the last reset.
using FrameFiller = std::function<void(const FakeBuffer& buffer, uint64_t frameNumber)>;

// Back to a fresh library: no handles (every buffer released), no failures, no status texts but
// the fake's own, empty log, acquisition parameters 640 x 480 at 8 bits, frame thread stopped.
void ResetGrabber();
// The n-th call (1-based) of `function` returns `status` and changes nothing (out-arguments are
// left as they were). For CorManGetLocalServer, `status` is the handle it returns.
void FailCorCall(const std::string& function, int nthUse, CORSTATUS status);
// CorManGetStatusText gives `text` for `status`; a status without a text makes it fail.
void SetStatusText(CORSTATUS status, const std::string& text);
// What CorAcqGetPrm reports for CORACQ_PRM_SCALE_HORZ, CORACQ_PRM_SCALE_VERT and
// CORACQ_PRM_PIXEL_DEPTH.
void SetAcquisitionParameters(uint32_t width, uint32_t height, uint32_t depth);

// Empties the log and forgets the use counts and scripted failures; handles, buffers, status
// texts and parameters stay.
void ClearCorCalls();
std::vector<CorCall> CorCalls();
std::vector<CorCall> CorCallsOf(const std::string& function);
// Just the function names, in call order.
std::vector<std::string> CorCallNames();

// Live handles of one kind: "server", "cam", "vic", "acq", "buffer", "xfer". The local server is
// live from the first CorManGetLocalServer until it is released.
int LiveHandleCount(const std::string& kind);
bool IsLiveHandle(CORHANDLE handle);
// A live host buffer (an empty record, handle 0, when `handle` is not one).
FakeBuffer Buffer(CORBUFFER handle);
// The buffers of the newest transfer, in the order they were given to it (CorXferNew, then each
// CorXferAppend).
std::vector<CORBUFFER> TransferBuffers();
// Callback registrations still held by live transfers, in the order they were made. The n-th
// registration on a transfer belongs to its n-th buffer.
std::vector<Registration> Registrations();
// True between CorXferStart and CorXferStop or CorXferAbort.
bool Grabbing();

// Synchronously, on the calling thread: fills the newest transfer's buffer at `position` (when
// `fill` is given) and calls the callback registered for that buffer with its own context. False
// when there is no such buffer or no registration for it.
bool DeliverFrame(int position, const FrameFiller& fill = nullptr, uint32_t eventValue = 0);
// From a thread of the fake's own: while grabbing, delivers a frame into the next buffer in
// rotation (0, 1, 2, 0, ...) every `periodUs` microseconds of real time, until StopFrameThread.
void StartFrameThread(const FrameFiller& fill, uint32_t periodUs);
// Stops and joins the frame thread; the number of frames it delivered.
uint64_t StopFrameThread();

}  // namespace fake
