#include "acquisition/session.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "acquisition/frame_ring.h"
#include "acquisition/status.h"
#include "camera/camera_protocol.h"
#include "camera/serial_port.h"
#include "liveview/live_view.h"
#include "platform/sync.h"

CORSERVER hHostServer = 0;
CORSERVER hX64Server = 0;
CORCAM hCam = 0;
CORVIC hVic = 0;
CORACQ hAcq = 0;
CORXFER hXferAcqToHost = 0;

namespace {

const char* const serverName[] = {"X64-CL_Express_1"};
const int boardIndex = 0;

// The display worker of the open session.
std::thread workerThread;

// Asks the display worker to end and waits for it: the stop flag, then a signal to wake it.
void EndWorker() {
  if (!workerThread.joinable()) return;
  stopWorker = true;
  if (platform::CountingSemaphore* semaphore = hFrameSemaphore.load()) semaphore->Release();
  workerThread.join();
}

// A run that ends without closing its session (a failed StartGrab goes straight to the end)
// still ends its worker, so that no thread is left joinable when the process exits. Registered
// when the first worker starts, this runs before the destructors of every static object made
// before then, which the worker may still touch.
void EndWorkerAtExit() {
  EndWorker();
}

bool Failed(const char* text, CORSTATUS status) {
  return CheckStatus(text, status) != 0;
}

}  // namespace

CORSTATUS OpenServers() {
  CorManOpen();
  hHostServer = CorManGetLocalServer();
  return CheckStatus("CorManGetServerByName( serverName[ boardIndex], &hX64Server)",
                     CorManGetServerByName(serverName[boardIndex], &hX64Server));
}

void ReleaseServers() {
  if (hX64Server != 0 &&
      !Failed("CorManReleaseServer: hX64Server", CorManReleaseServer(hX64Server)))
    hX64Server = 0;
  if (hHostServer != 0 &&
      !Failed("CorManReleaseServer: hHostServer", CorManReleaseServer(hHostServer)))
    hHostServer = 0;
}

bool OpenSession(int mode) {
  if (!OpenCameraPort()) return false;
  EndWorker();  // of a session that was never closed
  stopWorker = false;

  if (Failed("CorCamNew( hHostServer, &hCam)", CorCamNew(hHostServer, &hCam))) return false;
  if (Failed("CorVicNew( hHostServer, &hVic)", CorVicNew(hHostServer, &hVic))) return false;
  if (Failed("CorAcqGetHandle( hX64Server, 0, &hAcq)", CorAcqGetHandle(hX64Server, 0, &hAcq)))
    return false;
  if (Failed("CorAcqGetPrms( hAcq, hVic, hCam, TRUE)", CorAcqGetPrms(hAcq, hVic, hCam, 1)))
    return false;

  // The camera files and the preset; only a failed load counts.
  if (LoadCameraMode(mode) != 0) return false;

  if (Failed("CorAcqSetPrms(hAcq, hVic, hCam, TRUE)", CorAcqSetPrms(hAcq, hVic, hCam, 1)))
    return false;
  if (Failed("CorAcqGetPrm( hAcq, CORACQ_PRM_SCALE_HORZ, &imageWidth)",
             CorAcqGetPrm(hAcq, CORACQ_PRM_SCALE_HORZ, &imageWidth)))
    return false;
  if (Failed("CorAcqGetPrm( hAcq, CORACQ_PRM_SCALE_VERT, &imageHeight)",
             CorAcqGetPrm(hAcq, CORACQ_PRM_SCALE_VERT, &imageHeight)))
    return false;
  if (Failed("CorAcqGetPrm( hAcq, CORACQ_PRM_PIXEL_DEPTH, &pixelDepth)",
             CorAcqGetPrm(hAcq, CORACQ_PRM_PIXEL_DEPTH, &pixelDepth)))
    return false;

  const char* formatText;
  if (pixelDepth <= 8) {
    bytesPerPixel = 1;
    dataFormat = CORDATA_FORMAT_MONO8;
    formatText = "CorVicSetPrm(hVic, CORVIC_PRM_OUTPUT_FORMAT, CORDATA_FORMAT_MONO8)";
  } else {
    bytesPerPixel = 2;
    dataFormat = CORDATA_FORMAT_MONO16;
    formatText = "CorVicSetPrm(hVic, CORVIC_PRM_OUTPUT_FORMAT, CORDATA_FORMAT_MONO16)";
  }
  if (Failed(formatText, CorVicSetPrm(hVic, CORVIC_PRM_OUTPUT_FORMAT, dataFormat))) return false;
  if (Failed("CorAcqSetPrms(hAcq, hVic, hCam, TRUE)", CorAcqSetPrms(hAcq, hVic, hCam, 1)))
    return false;

  for (uint32_t i = 0; i < 3; ++i) {
    if (Failed("CorBufferNew( hHostServer, imageWidth, imageHeight, dataFormat, "
               "CORBUFFER_VAL_TYPE_CONTIGUOUS, &hHostBufferMono[i])",
               CorBufferNew(hHostServer, static_cast<uint32_t>(imageWidth),
                            static_cast<uint32_t>(imageHeight), dataFormat,
                            CORBUFFER_VAL_TYPE_CONTIGUOUS, &hHostBufferMono[i])))
      return false;
    if (i == 0) {
      if (Failed("CorXferNew( hX64Server, hAcq, hHostBufferMono[i], NULL, &hXferAcqToHost)",
                 CorXferNew(hX64Server, hAcq, hHostBufferMono[i], nullptr, &hXferAcqToHost)))
        return false;
    } else if (Failed("CorXferAppend( hXferAcqToHost, hAcq, hHostBufferMono[i], NULL)",
                      CorXferAppend(hXferAcqToHost, hAcq, hHostBufferMono[i], nullptr))) {
      return false;
    }
    bufferStatus[i].index = i;
    bufferStatus[i].lastEventValue = 0;
    bufferStatus[i].reserved = 0;
    if (Failed("CorXferRegisterCallback( hXferAcqToHost, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, "
               "XferCallback, (void *)&bufferStatus[i])",
               CorXferRegisterCallback(hXferAcqToHost, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME,
                                       XferCallback, &bufferStatus[i])))
      return false;
  }
  if (Failed("CorXferConnect(hXferAcqToHost)", CorXferConnect(hXferAcqToHost))) return false;

  platform::CountingSemaphore* semaphore = platform::NewCountingSemaphore(0, 3);
  if (!semaphore) {
    std::printf("Error creating semaphore\n");
    return false;
  }
  hFrameSemaphore = semaphore;

  workerStarted = false;
  static const bool endsAtExit = std::atexit(EndWorkerAtExit) == 0;
  (void)endsAtExit;
  if (!platform::StartThread(workerThread, [] { DisplayWorker(nullptr); })) {
    std::printf("Error creating Working Thread\n");
    return false;
  }
  // The flag was cleared before the start, so this waits for this session's own worker.
  while (!workerStarted)
    std::this_thread::yield();
  return true;
}

bool StartGrab() {
  return !Failed("CorXferStart(hXferAcqToHost, CORXFER_CONTINUOUS)",
                 CorXferStart(hXferAcqToHost, CORXFER_CONTINUOUS));
}

bool StopGrab() {
  if (Failed("CorXferStop(hXferAcqToHost)", CorXferStop(hXferAcqToHost))) return false;
  if (Failed("CorXferWait: Acq To Host", CorXferWait(hXferAcqToHost, 2000)))
    CorXferAbort(hXferAcqToHost);
  return true;
}

void CloseSession() {
  CloseCameraPort();

  // The worker ends before the semaphore it waits on and the buffers it reads go away.
  EndWorker();
  // Closed for every reader from here on; the memory goes only once no end-of-frame callback can
  // still be releasing it, which after a failed stop is not before the transfer is disconnected.
  std::unique_ptr<platform::CountingSemaphore> closedSemaphore(hFrameSemaphore.exchange(nullptr));

  if (hXferAcqToHost != 0) {
    if (Failed("CorXferDisconnect", CorXferDisconnect(hXferAcqToHost)))
      closedSemaphore.release();  // the library may call back still: never freed
    CheckStatus("CorXferUnregisterCallback",
                CorXferUnregisterCallback(hXferAcqToHost, XferCallback));
    if (!Failed("CorXferFree", CorXferFree(hXferAcqToHost))) hXferAcqToHost = 0;
  }
  for (CORBUFFER& buffer : hHostBufferMono)
    if (buffer != 0 && !Failed("CorBufferFree: hHostBufferMono", CorBufferFree(buffer))) buffer = 0;
  if (hAcq != 0 && !Failed("CorAcqRelease", CorAcqRelease(hAcq))) hAcq = 0;
  if (hCam != 0 && !Failed("CorCamFree", CorCamFree(hCam))) hCam = 0;
  if (hVic != 0 && !Failed("CorVicFree", CorVicFree(hVic))) hVic = 0;
}
