// Declarations of the frame-grabber library (CORAPI) as the tool uses it.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define CORCALLBACK __stdcall
#else
#define CORCALLBACK
#endif

extern "C" {

// Every call returns a 32-bit status, 0 for success; handles are 32-bit.
typedef uint32_t CORSTATUS;
typedef uint32_t CORHANDLE;
typedef CORHANDLE CORSERVER;
typedef CORHANDLE CORCAM;
typedef CORHANDLE CORVIC;
typedef CORHANDLE CORACQ;
typedef CORHANDLE CORBUFFER;
typedef CORHANDLE CORXFER;

// End-of-frame callback: context registered for the buffer just filled, event type, event value.
typedef CORSTATUS(CORCALLBACK* PCORCALLBACK)(void* context, uint32_t eventType,
                                             uint32_t eventValue);

constexpr uint32_t CORACQ_PRM_SCALE_HORZ = 0x08150004;
constexpr uint32_t CORACQ_PRM_SCALE_VERT = 0x08160004;
constexpr uint32_t CORACQ_PRM_PIXEL_DEPTH = 0x00060004;
constexpr uint32_t CORVIC_PRM_OUTPUT_FORMAT = 0x08280004;
constexpr uint32_t CORDATA_FORMAT_MONO8 = 0x01010800;
constexpr uint32_t CORDATA_FORMAT_MONO16 = 0x01021000;
constexpr uint32_t CORBUFFER_VAL_TYPE_CONTIGUOUS = 1;
constexpr uint32_t CORBUFFER_PRM_ADDRESS = 0x00080004;
constexpr uint32_t CORXFER_VAL_EVENT_TYPE_END_OF_FRAME = 0x00800000;
constexpr int32_t CORXFER_CONTINUOUS = -1;

CORSTATUS CorManOpen(void);
CORSERVER CorManGetLocalServer(void);
CORSTATUS CorManGetServerByName(const char* name, CORSERVER* server);
CORSTATUS CorManReleaseServer(CORSERVER server);
// Writes the status's text into `text` (size bytes); the last two arguments are passed as 0.
CORSTATUS CorManGetStatusText(CORSTATUS status, char* text, uint32_t size, char* info,
                              uint32_t infoSize);

CORSTATUS CorCamNew(CORSERVER server, CORCAM* cam);
CORSTATUS CorCamLoad(CORCAM cam, const char* path);
CORSTATUS CorCamFree(CORCAM cam);
CORSTATUS CorVicNew(CORSERVER server, CORVIC* vic);
CORSTATUS CorVicLoad(CORVIC vic, const char* path);
CORSTATUS CorVicSetPrm(CORVIC vic, uint32_t prm, uint32_t value);
CORSTATUS CorVicFree(CORVIC vic);

CORSTATUS CorAcqGetHandle(CORSERVER server, uint32_t index, CORACQ* acq);
CORSTATUS CorAcqGetPrms(CORACQ acq, CORVIC vic, CORCAM cam, int32_t flag);
CORSTATUS CorAcqSetPrms(CORACQ acq, CORVIC vic, CORCAM cam, int32_t flag);
// Writes the parameter's 32-bit value into *value.
CORSTATUS CorAcqGetPrm(CORACQ acq, uint32_t prm, void* value);
CORSTATUS CorAcqRelease(CORACQ acq);

CORSTATUS CorBufferNew(CORSERVER server, uint32_t width, uint32_t height, uint32_t format,
                       uint32_t type, CORBUFFER* buffer);
// For CORBUFFER_PRM_ADDRESS, writes the pixels' address (a pointer) into *value.
CORSTATUS CorBufferGetPrm(CORBUFFER buffer, uint32_t prm, void* value);
CORSTATUS CorBufferFree(CORBUFFER buffer);

CORSTATUS CorXferNew(CORSERVER server, CORACQ acq, CORBUFFER buffer, void* desc, CORXFER* xfer);
CORSTATUS CorXferAppend(CORXFER xfer, CORACQ acq, CORBUFFER buffer, void* desc);
CORSTATUS CorXferRegisterCallback(CORXFER xfer, uint32_t eventType, PCORCALLBACK callback,
                                  void* context);
CORSTATUS CorXferUnregisterCallback(CORXFER xfer, PCORCALLBACK callback);
CORSTATUS CorXferConnect(CORXFER xfer);
CORSTATUS CorXferStart(CORXFER xfer, int32_t count);
CORSTATUS CorXferStop(CORXFER xfer);
CORSTATUS CorXferWait(CORXFER xfer, uint32_t timeoutMs);
CORSTATUS CorXferAbort(CORXFER xfer);
CORSTATUS CorXferDisconnect(CORXFER xfer);
CORSTATUS CorXferFree(CORXFER xfer);

}  // extern "C"
