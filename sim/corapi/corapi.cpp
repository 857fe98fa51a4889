// Minimal until the grabber library is built: every call fails.
#include "vendor/corapi.h"

namespace {
constexpr CORSTATUS kNotAvailable = 0x00400001;
}

extern "C" {
CORSTATUS CorManOpen(void) {
  return 0;
}
CORSERVER CorManGetLocalServer(void) {
  return 0;
}
CORSTATUS CorManGetServerByName(const char*, CORSERVER*) {
  return kNotAvailable;
}
CORSTATUS CorManReleaseServer(CORSERVER) {
  return kNotAvailable;
}
CORSTATUS CorManGetStatusText(CORSTATUS, char*, uint32_t, char*, uint32_t) {
  return kNotAvailable;
}
CORSTATUS CorCamNew(CORSERVER, CORCAM*) {
  return kNotAvailable;
}
CORSTATUS CorCamLoad(CORCAM, const char*) {
  return kNotAvailable;
}
CORSTATUS CorCamFree(CORCAM) {
  return kNotAvailable;
}
CORSTATUS CorVicNew(CORSERVER, CORVIC*) {
  return kNotAvailable;
}
CORSTATUS CorVicLoad(CORVIC, const char*) {
  return kNotAvailable;
}
CORSTATUS CorVicSetPrm(CORVIC, uint32_t, uint32_t) {
  return kNotAvailable;
}
CORSTATUS CorVicFree(CORVIC) {
  return kNotAvailable;
}
CORSTATUS CorAcqGetHandle(CORSERVER, uint32_t, CORACQ*) {
  return kNotAvailable;
}
CORSTATUS CorAcqGetPrms(CORACQ, CORVIC, CORCAM, int32_t) {
  return kNotAvailable;
}
CORSTATUS CorAcqSetPrms(CORACQ, CORVIC, CORCAM, int32_t) {
  return kNotAvailable;
}
CORSTATUS CorAcqGetPrm(CORACQ, uint32_t, void*) {
  return kNotAvailable;
}
CORSTATUS CorAcqRelease(CORACQ) {
  return kNotAvailable;
}
CORSTATUS CorBufferNew(CORSERVER, uint32_t, uint32_t, uint32_t, uint32_t, CORBUFFER*) {
  return kNotAvailable;
}
CORSTATUS CorBufferGetPrm(CORBUFFER, uint32_t, void*) {
  return kNotAvailable;
}
CORSTATUS CorBufferFree(CORBUFFER) {
  return kNotAvailable;
}
CORSTATUS CorXferNew(CORSERVER, CORACQ, CORBUFFER, void*, CORXFER*) {
  return kNotAvailable;
}
CORSTATUS CorXferAppend(CORXFER, CORACQ, CORBUFFER, void*) {
  return kNotAvailable;
}
CORSTATUS CorXferRegisterCallback(CORXFER, uint32_t, PCORCALLBACK, void*) {
  return kNotAvailable;
}
CORSTATUS CorXferUnregisterCallback(CORXFER, PCORCALLBACK) {
  return kNotAvailable;
}
CORSTATUS CorXferConnect(CORXFER) {
  return kNotAvailable;
}
CORSTATUS CorXferStart(CORXFER, int32_t) {
  return kNotAvailable;
}
CORSTATUS CorXferStop(CORXFER) {
  return kNotAvailable;
}
CORSTATUS CorXferWait(CORXFER, uint32_t) {
  return kNotAvailable;
}
CORSTATUS CorXferAbort(CORXFER) {
  return kNotAvailable;
}
CORSTATUS CorXferDisconnect(CORXFER) {
  return kNotAvailable;
}
CORSTATUS CorXferFree(CORXFER) {
  return kNotAvailable;
}
}
