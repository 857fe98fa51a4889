#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/frame_ring.h"
#include "acquisition/session.h"
#include "fakes/fake_corapi.h"
#include "fakes/fake_sync_create.h"
#include "fakes/virtual_clock.h"
#include "liveview/live_view.h"
#include "support/bench_process.h"

namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::EndsWith;
using testing::HasSubstr;

constexpr CORSTATUS kScripted = (5u << 22) | (0x12u << 8) | 7u;
const std::string kScriptedLines =
    "   Error in module 0x5 (status = 0x7, info = 0x12)\n   <Scripted failure>\n";

// The grabber calls of the session itself, without the camera files' loads (the camera module's)
// and the status-text requests of the reports.
std::vector<std::string> SessionCalls() {
  std::vector<std::string> names;
  for (auto& name : fake::CorCallNames())
    if (name != "CorCamLoad" && name != "CorVicLoad" && name != "CorManGetStatusText")
      names.push_back(name);
  return names;
}

const std::vector<std::string> kOpenCalls = {"CorCamNew",
                                             "CorVicNew",
                                             "CorAcqGetHandle",
                                             "CorAcqGetPrms",
                                             "CorAcqSetPrms",
                                             "CorAcqGetPrm",
                                             "CorAcqGetPrm",
                                             "CorAcqGetPrm",
                                             "CorVicSetPrm",
                                             "CorAcqSetPrms",
                                             "CorBufferNew",
                                             "CorXferNew",
                                             "CorXferRegisterCallback",
                                             "CorBufferNew",
                                             "CorXferAppend",
                                             "CorXferRegisterCallback",
                                             "CorBufferNew",
                                             "CorXferAppend",
                                             "CorXferRegisterCallback",
                                             "CorXferConnect"};

std::string Captured() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Every test starts with the servers open on a fresh fake and a camera port that opens but is not
// a terminal, so the camera's commands fail at once.
class Session : public testing::Test {
 protected:
  void SetUp() override {
    fake::ResetGrabber();
    fake::ResetVirtualClock();
    fake::ResetSyncCreate();
    fake::SetStatusText(kScripted, "Scripted failure");
    setenv("TAPCAL_COM3", dir_.Write("com3", "").c_str(), 1);
    hHostServer = hX64Server = hCam = hVic = hAcq = hXferAcqToHost = 0;
    for (auto& buffer : hHostBufferMono)
      buffer = 0;
    ASSERT_EQ(OpenServers(), 0u);
    fake::ClearCorCalls();
  }
  void TearDown() override {
    testing::internal::CaptureStdout();
    CloseSession();  // ends a worker a test left running
    Captured();
    unsetenv("TAPCAL_COM3");
  }

  testing_support::TempDir dir_;
};

TEST_F(Session, OpensInOrderAndClosesEverything) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  std::string out = Captured();
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  EXPECT_THAT(SessionCalls(), ElementsAreArray(kOpenCalls));

  EXPECT_EQ(imageWidth, 640);
  EXPECT_EQ(imageHeight, 480);
  EXPECT_EQ(pixelDepth, 8);
  EXPECT_TRUE(workerStarted);
  ASSERT_NE(hFrameSemaphore.load(), nullptr);

  // The acquisition comes from the board server; camera, VIC and buffers from the host server.
  EXPECT_EQ(fake::CorCallsOf("CorAcqGetHandle")[0].args[0], hX64Server);
  EXPECT_EQ(fake::CorCallsOf("CorCamNew")[0].args[0], hHostServer);
  EXPECT_EQ(fake::CorCallsOf("CorXferNew")[0].args[0], hX64Server);
  for (auto& call : fake::CorCallsOf("CorAcqGetPrms"))
    EXPECT_THAT(call.args, ElementsAre(hAcq, hVic, hCam, 1u));
  for (auto& call : fake::CorCallsOf("CorAcqSetPrms"))
    EXPECT_THAT(call.args, ElementsAre(hAcq, hVic, hCam, 1u));

  // Three buffers in the transfer in order, each with its own record as the context.
  EXPECT_THAT(fake::TransferBuffers(),
              ElementsAre(hHostBufferMono[0], hHostBufferMono[1], hHostBufferMono[2]));
  auto registrations = fake::Registrations();
  ASSERT_EQ(registrations.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(registrations[i].xfer, hXferAcqToHost);
    EXPECT_EQ(registrations[i].eventType, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME);
    EXPECT_EQ(registrations[i].callback, &XferCallback);
    EXPECT_EQ(registrations[i].context, &bufferStatus[i]);
    EXPECT_EQ(bufferStatus[i].index, i);
    EXPECT_EQ(bufferStatus[i].lastEventValue, 0u);
  }
  for (auto& call : fake::CorCallsOf("CorXferNew"))
    EXPECT_EQ(call.args[3], 0u);  // no transfer description
  for (auto& call : fake::CorCallsOf("CorXferAppend"))
    EXPECT_EQ(call.args[3], 0u);

  // A frame completed in buffer 1 reaches the ring through buffer 1's own record.
  ASSERT_TRUE(StartGrab());
  EXPECT_EQ(fake::CorCallsOf("CorXferStart")[0].args[1], static_cast<uint64_t>(CORXFER_CONTINUOUS));
  uint32_t head = frameRingHead;
  uint32_t countBefore = bufferStatus[1].callbackCount;
  ASSERT_TRUE(fake::DeliverFrame(1, nullptr, 0x55));
  EXPECT_EQ(frameRing[head], 1u);
  EXPECT_EQ(NewestFrameBuffer(), 1u);
  EXPECT_EQ(bufferStatus[1].callbackCount, countBefore + 1);
  EXPECT_EQ(bufferStatus[1].lastEventValue, 0x55u);

  fake::ClearCorCalls();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(StopGrab());
  CloseSession();
  out = Captured();
  EXPECT_EQ(out, "");
  EXPECT_THAT(SessionCalls(), ElementsAre("CorXferStop", "CorXferWait", "CorXferDisconnect",
                                          "CorXferUnregisterCallback", "CorXferFree",
                                          "CorBufferFree", "CorBufferFree", "CorBufferFree",
                                          "CorAcqRelease", "CorCamFree", "CorVicFree"));
  EXPECT_EQ(fake::CorCallsOf("CorXferWait")[0].args[1], 2000u);
  for (const char* kind : {"cam", "vic", "acq", "buffer", "xfer"})
    EXPECT_EQ(fake::LiveHandleCount(kind), 0) << kind;
  EXPECT_TRUE(fake::Registrations().empty());  // the one unregistration removed all three
  EXPECT_EQ(hXferAcqToHost, 0u);
  EXPECT_EQ(hAcq, 0u);
  EXPECT_EQ(hCam, 0u);
  EXPECT_EQ(hVic, 0u);
  EXPECT_THAT(hHostBufferMono, ElementsAre(0u, 0u, 0u));
  EXPECT_EQ(hFrameSemaphore.load(), nullptr);
}

TEST_F(Session, ClosesWhileFramesArriveFromTheLibrarysThread) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  ASSERT_TRUE(StartGrab());
  uint32_t before = frameCount;
  fake::StartFrameThread(nullptr, 200);
  while (frameCount - before < 50)
    std::this_thread::yield();
  EXPECT_TRUE(StopGrab());
  uint64_t delivered = fake::StopFrameThread();
  CloseSession();
  Captured();
  EXPECT_EQ(frameCount - before, delivered);
  for (auto& slot : frameRing)
    EXPECT_LT(slot.load(), 3u);
  EXPECT_EQ(fake::LiveHandleCount("buffer"), 0);
}

struct Geometry {
  uint32_t width, height, depth;
  int32_t bytes;
  uint32_t format;
};

class SessionGeometry : public Session, public testing::WithParamInterface<Geometry> {};

TEST_P(SessionGeometry, BuffersAndOutputFormatFollowTheDepth) {
  const Geometry& g = GetParam();
  fake::SetAcquisitionParameters(g.width, g.height, g.depth);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(1));
  Captured();
  EXPECT_EQ(imageWidth, static_cast<int32_t>(g.width));
  EXPECT_EQ(imageHeight, static_cast<int32_t>(g.height));
  EXPECT_EQ(pixelDepth, static_cast<int32_t>(g.depth));
  EXPECT_EQ(bytesPerPixel, g.bytes);
  EXPECT_EQ(dataFormat, g.format);
  EXPECT_THAT(fake::CorCallsOf("CorVicSetPrm")[0].args,
              ElementsAre(hVic, CORVIC_PRM_OUTPUT_FORMAT, g.format));
  for (CORBUFFER handle : hHostBufferMono) {
    fake::FakeBuffer buffer = fake::Buffer(handle);
    EXPECT_EQ(buffer.width, g.width);
    EXPECT_EQ(buffer.height, g.height);
    EXPECT_EQ(buffer.format, g.format);
    EXPECT_EQ(buffer.type, CORBUFFER_VAL_TYPE_CONTIGUOUS);
    EXPECT_EQ(buffer.size, size_t{g.width} * g.height * static_cast<size_t>(g.bytes));
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, SessionGeometry,
                         testing::Values(Geometry{640, 480, 8, 1, CORDATA_FORMAT_MONO8},
                                         Geometry{640, 240, 8, 1, CORDATA_FORMAT_MONO8},
                                         Geometry{640, 480, 9, 2, CORDATA_FORMAT_MONO16},
                                         Geometry{640, 240, 10, 2, CORDATA_FORMAT_MONO16}));

struct StepFailure {
  const char* function;
  int use;
  const char* text;
};

class SessionStepFails : public Session, public testing::WithParamInterface<StepFailure> {};

TEST_P(SessionStepFails, ReportsAndStopsWithoutReleasing) {
  const StepFailure& step = GetParam();
  fake::FailCorCall(step.function, step.use, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OpenSession(0));
  EXPECT_THAT(Captured(), EndsWith(std::string(step.text) + "\n" + kScriptedLines));

  // The failed call is the session's last, and nothing opened before it is released.
  std::vector<std::string> calls = SessionCalls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), step.function);
  int uses = 0;
  for (auto& name : calls)
    uses += name == step.function;
  EXPECT_EQ(uses, step.use);
  for (auto& name : calls)
    EXPECT_THAT(name, testing::Not(testing::AnyOf(HasSubstr("Free"), HasSubstr("Release"),
                                                  HasSubstr("Unregister"))));
  EXPECT_EQ(hFrameSemaphore.load(), nullptr);
}

const char* kBufferNewText =
    "CorBufferNew( hHostServer, imageWidth, imageHeight, dataFormat, "
    "CORBUFFER_VAL_TYPE_CONTIGUOUS, &hHostBufferMono[i])";
const char* kRegisterText =
    "CorXferRegisterCallback( hXferAcqToHost, CORXFER_VAL_EVENT_TYPE_END_OF_FRAME, XferCallback, "
    "(void *)&bufferStatus[i])";

INSTANTIATE_TEST_SUITE_P(
    EachStep, SessionStepFails,
    testing::Values(
        StepFailure{"CorCamNew", 1, "CorCamNew( hHostServer, &hCam)"},
        StepFailure{"CorVicNew", 1, "CorVicNew( hHostServer, &hVic)"},
        StepFailure{"CorAcqGetHandle", 1, "CorAcqGetHandle( hX64Server, 0, &hAcq)"},
        StepFailure{"CorAcqGetPrms", 1, "CorAcqGetPrms( hAcq, hVic, hCam, TRUE)"},
        StepFailure{"CorAcqSetPrms", 1, "CorAcqSetPrms(hAcq, hVic, hCam, TRUE)"},
        StepFailure{"CorAcqGetPrm", 1, "CorAcqGetPrm( hAcq, CORACQ_PRM_SCALE_HORZ, &imageWidth)"},
        StepFailure{"CorAcqGetPrm", 2, "CorAcqGetPrm( hAcq, CORACQ_PRM_SCALE_VERT, &imageHeight)"},
        StepFailure{"CorAcqGetPrm", 3, "CorAcqGetPrm( hAcq, CORACQ_PRM_PIXEL_DEPTH, &pixelDepth)"},
        StepFailure{"CorVicSetPrm", 1,
                    "CorVicSetPrm(hVic, CORVIC_PRM_OUTPUT_FORMAT, CORDATA_FORMAT_MONO8)"},
        StepFailure{"CorAcqSetPrms", 2, "CorAcqSetPrms(hAcq, hVic, hCam, TRUE)"},
        StepFailure{"CorBufferNew", 1, kBufferNewText},
        StepFailure{"CorXferNew", 1,
                    "CorXferNew( hX64Server, hAcq, hHostBufferMono[i], NULL, &hXferAcqToHost)"},
        StepFailure{"CorXferRegisterCallback", 1, kRegisterText},
        StepFailure{"CorBufferNew", 2, kBufferNewText},
        StepFailure{"CorXferAppend", 1,
                    "CorXferAppend( hXferAcqToHost, hAcq, hHostBufferMono[i], NULL)"},
        StepFailure{"CorXferRegisterCallback", 2, kRegisterText},
        StepFailure{"CorBufferNew", 3, kBufferNewText},
        StepFailure{"CorXferAppend", 2,
                    "CorXferAppend( hXferAcqToHost, hAcq, hHostBufferMono[i], NULL)"},
        StepFailure{"CorXferRegisterCallback", 3, kRegisterText},
        StepFailure{"CorXferConnect", 1, "CorXferConnect(hXferAcqToHost)"}));

TEST_F(Session, TenBitOutputFormatFailureNamesMono16) {
  fake::SetAcquisitionParameters(640, 480, 10);
  fake::FailCorCall("CorVicSetPrm", 1, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OpenSession(2));
  EXPECT_THAT(Captured(),
              EndsWith("CorVicSetPrm(hVic, CORVIC_PRM_OUTPUT_FORMAT, CORDATA_FORMAT_MONO16)\n" +
                       kScriptedLines));
  EXPECT_EQ(bytesPerPixel, 2);  // both set before the call
  EXPECT_EQ(dataFormat, CORDATA_FORMAT_MONO16);
}

TEST_F(Session, LastRegistrationFailingLeavesTransferBuffersAndTwoRegistrations) {
  fake::FailCorCall("CorXferRegisterCallback", 3, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OpenSession(0));
  Captured();
  EXPECT_NE(hXferAcqToHost, 0u);
  EXPECT_TRUE(fake::IsLiveHandle(hXferAcqToHost));
  EXPECT_EQ(fake::LiveHandleCount("buffer"), 3);
  for (CORBUFFER buffer : hHostBufferMono)
    EXPECT_TRUE(fake::IsLiveHandle(buffer));
  auto registrations = fake::Registrations();
  ASSERT_EQ(registrations.size(), 2u);
  EXPECT_EQ(registrations[0].context, &bufferStatus[0]);
  EXPECT_EQ(registrations[1].context, &bufferStatus[1]);
  EXPECT_EQ(fake::CorCallsOf("CorXferConnect").size(), 0u);
}

// The two steps after the grabber's, refused by the system: each ends the session with its
// plain line, and nothing opened before it is released.
TEST_F(Session, SemaphoreOrWorkerThatCannotBeMadeEndsTheSession) {
  struct Case {
    bool semaphore;  // else the worker thread
    const char* line;
  };
  for (const Case& c :
       {Case{true, "Error creating semaphore\n"}, Case{false, "Error creating Working Thread\n"}}) {
    SCOPED_TRACE(c.line);
    fake::ResetSyncCreate();
    fake::ClearCorCalls();
    (c.semaphore ? fake::RefuseSemaphore : fake::RefuseThread)(1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(OpenSession(0));
    std::string out = Captured();
    EXPECT_THAT(out, EndsWith(c.line));
    EXPECT_EQ(out.find("Error in module"), std::string::npos) << "no status with it";
    EXPECT_THAT(SessionCalls(), ElementsAreArray(kOpenCalls));
    EXPECT_TRUE(fake::IsLiveHandle(hXferAcqToHost));
    EXPECT_EQ(fake::LiveHandleCount("buffer"), 3);
    EXPECT_EQ(fake::ThreadsAskedFor(), c.semaphore ? 0 : 1);
    // A semaphore that was made stays, as everything else; no worker runs.
    EXPECT_EQ(hFrameSemaphore.load() != nullptr, !c.semaphore);
    if (!c.semaphore) {
      EXPECT_FALSE(workerStarted);
    }

    // Closing later still releases everything.
    testing::internal::CaptureStdout();
    CloseSession();
    EXPECT_EQ(Captured(), "");
    for (const char* kind : {"cam", "vic", "acq", "buffer", "xfer"})
      EXPECT_EQ(fake::LiveHandleCount(kind), 0) << kind;
    EXPECT_EQ(hFrameSemaphore.load(), nullptr);
  }
}

TEST_F(Session, PortThatCannotOpenEndsBeforeAnyGrabberCall) {
  setenv("TAPCAL_COM3", dir_.File("no-such-port").c_str(), 1);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OpenSession(0));
  EXPECT_EQ(Captured(), "Cannot open communications port\n");
  EXPECT_TRUE(fake::CorCalls().empty());
}

TEST_F(Session, FailedCameraFileLoadEndsTheSession) {
  // Only with the camera module's LoadCameraMode, which loads the files.
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  CloseSession();
  Captured();
  if (fake::CorCallsOf("CorCamLoad").empty()) GTEST_SKIP() << "camera files are not loaded yet";

  for (std::string load : {"CorCamLoad", "CorVicLoad"}) {
    fake::ClearCorCalls();
    fake::FailCorCall(load, 1, kScripted);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(OpenSession(0));
    std::string expected =
        load == "CorCamLoad" ? "CorCamLoad(hCam, CCA_FILE1)\n" : "CorVicLoad(hVic, CVI_FILE1)\n";
    EXPECT_THAT(Captured(), EndsWith(expected + kScriptedLines));
    EXPECT_EQ(SessionCalls().back(), "CorAcqGetPrms");  // nothing applied after the failed load
    CloseSession();
  }
}

TEST_F(Session, WorkerThatEndedByItselfIsClosedAsUsual) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  ASSERT_TRUE(StartGrab());
  // The worker asks for a frame's address at its 21st wake-up; refused, it reports and ends.
  fake::FailCorCall("CorBufferGetPrm", 1, kScripted);
  for (int frame = 0; frame < 21; ++frame) {
    ASSERT_TRUE(fake::DeliverFrame(frame % 3));
    while (hFrameSemaphore.load()->Count() > 0)  // one wake-up per frame
      std::this_thread::yield();
  }
  while (fake::CorCallsOf("CorBufferGetPrm").empty())
    std::this_thread::yield();
  EXPECT_TRUE(StopGrab());
  CloseSession();
  EXPECT_THAT(Captured(), EndsWith("CorBufferGetPrm(hHostBufferMono[bufferIndex], "
                                   "CORBUFFER_PRM_ADDRESS, &pbuf_addr)\n" +
                                   kScriptedLines));
  for (const char* kind : {"cam", "vic", "acq", "buffer", "xfer"})
    EXPECT_EQ(fake::LiveHandleCount(kind), 0) << kind;
  EXPECT_EQ(hFrameSemaphore.load(), nullptr);
}

TEST_F(Session, ProcessEndsCleanlyWithItsSessionLeftOpen) {
  // A failed StartGrab ends the run without closing the session; the worker must not be left
  // joinable, which would abort the process on its way out.
  EXPECT_EXIT(
      {
        if (!OpenSession(0)) std::exit(3);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

struct ReleaseFailure {
  const char* function;
  const char* text;
};

class SessionReleaseFails : public Session, public testing::WithParamInterface<ReleaseFailure> {};

TEST_P(SessionReleaseFails, ReportsAndGoesOnToTheNextObject) {
  const ReleaseFailure& release = GetParam();
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  Captured();
  const CORXFER xfer = hXferAcqToHost;
  const CORBUFFER buffer0 = hHostBufferMono[0];
  const CORACQ acq = hAcq;
  const CORCAM cam = hCam;
  const CORVIC vic = hVic;

  fake::ClearCorCalls();
  fake::FailCorCall(release.function, 1, kScripted);
  testing::internal::CaptureStdout();
  CloseSession();
  EXPECT_EQ(Captured(), std::string(release.text) + "\n" + kScriptedLines);

  // Every release is still tried, in order.
  EXPECT_THAT(
      SessionCalls(),
      ElementsAre("CorXferDisconnect", "CorXferUnregisterCallback", "CorXferFree", "CorBufferFree",
                  "CorBufferFree", "CorBufferFree", "CorAcqRelease", "CorCamFree", "CorVicFree"));
  // Only the object whose release failed keeps its handle.
  const std::string failed = release.function;
  EXPECT_EQ(hXferAcqToHost, failed == "CorXferFree" ? xfer : 0u);
  EXPECT_EQ(hHostBufferMono[0], failed == "CorBufferFree" ? buffer0 : 0u);
  EXPECT_EQ(hHostBufferMono[1], 0u);
  EXPECT_EQ(hHostBufferMono[2], 0u);
  EXPECT_EQ(hAcq, failed == "CorAcqRelease" ? acq : 0u);
  EXPECT_EQ(hCam, failed == "CorCamFree" ? cam : 0u);
  EXPECT_EQ(hVic, failed == "CorVicFree" ? vic : 0u);
  EXPECT_EQ(fake::LiveHandleCount("buffer"), failed == "CorBufferFree" ? 1 : 0);
  EXPECT_EQ(hFrameSemaphore.load(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    EachRelease, SessionReleaseFails,
    testing::Values(ReleaseFailure{"CorXferDisconnect", "CorXferDisconnect"},
                    ReleaseFailure{"CorXferUnregisterCallback", "CorXferUnregisterCallback"},
                    ReleaseFailure{"CorXferFree", "CorXferFree"},
                    ReleaseFailure{"CorBufferFree", "CorBufferFree: hHostBufferMono"},
                    ReleaseFailure{"CorAcqRelease", "CorAcqRelease"},
                    ReleaseFailure{"CorCamFree", "CorCamFree"},
                    ReleaseFailure{"CorVicFree", "CorVicFree"}));

TEST_F(Session, AFreeFailureIsRetriedByTheNextClose) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  fake::FailCorCall("CorXferFree", 1, kScripted);
  CloseSession();
  EXPECT_NE(hXferAcqToHost, 0u);
  fake::ClearCorCalls();
  CloseSession();
  Captured();
  EXPECT_THAT(SessionCalls(),
              ElementsAre("CorXferDisconnect", "CorXferUnregisterCallback", "CorXferFree"));
  EXPECT_EQ(hXferAcqToHost, 0u);
  EXPECT_EQ(fake::LiveHandleCount("xfer"), 0);
}

TEST_F(Session, CloseWithNothingOpenCallsNothing) {
  testing::internal::CaptureStdout();
  CloseSession();
  EXPECT_EQ(Captured(), "");
  EXPECT_TRUE(fake::CorCalls().empty());
}

TEST_F(Session, StartGrabFailureIsReported) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  fake::FailCorCall("CorXferStart", 1, kScripted);
  EXPECT_FALSE(StartGrab());
  EXPECT_THAT(Captured(),
              EndsWith("CorXferStart(hXferAcqToHost, CORXFER_CONTINUOUS)\n" + kScriptedLines));
  EXPECT_FALSE(fake::Grabbing());
}

TEST_F(Session, StopGrabWaitTimingOutAbortsAndCountsAsStopped) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  ASSERT_TRUE(StartGrab());
  Captured();
  fake::ClearCorCalls();
  fake::FailCorCall("CorXferWait", 1, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(StopGrab());
  EXPECT_EQ(Captured(), "CorXferWait: Acq To Host\n" + kScriptedLines);
  EXPECT_THAT(SessionCalls(), ElementsAre("CorXferStop", "CorXferWait", "CorXferAbort"));
  EXPECT_EQ(fake::CorCallsOf("CorXferWait")[0].args[1], 2000u);
  EXPECT_EQ(fake::CorCallsOf("CorXferAbort")[0].args[0], hXferAcqToHost);
}

TEST_F(Session, StopGrabAbortFailureIsIgnored) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  ASSERT_TRUE(StartGrab());
  Captured();
  fake::FailCorCall("CorXferWait", 1, kScripted);
  fake::FailCorCall("CorXferAbort", 1, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(StopGrab());
  EXPECT_EQ(Captured(), "CorXferWait: Acq To Host\n" + kScriptedLines);
}

TEST_F(Session, StopGrabFailedStopReturnsFalseWithoutWaiting) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(OpenSession(0));
  ASSERT_TRUE(StartGrab());
  Captured();
  fake::ClearCorCalls();
  fake::FailCorCall("CorXferStop", 1, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(StopGrab());
  EXPECT_EQ(Captured(), "CorXferStop(hXferAcqToHost)\n" + kScriptedLines);
  EXPECT_THAT(SessionCalls(), ElementsAre("CorXferStop"));
}

// The servers, on a fresh fake without the fixture's own OpenServers.
class Servers : public testing::Test {
 protected:
  void SetUp() override {
    fake::ResetGrabber();
    fake::SetStatusText(kScripted, "Scripted failure");
    hHostServer = hX64Server = 0;
  }
};

TEST_F(Servers, OpenLooksUpTheBoardByName) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(OpenServers(), 0u);
  EXPECT_EQ(Captured(), "");
  EXPECT_THAT(fake::CorCallNames(),
              ElementsAre("CorManOpen", "CorManGetLocalServer", "CorManGetServerByName"));
  EXPECT_EQ(fake::CorCallsOf("CorManGetServerByName")[0].text, "X64-CL_Express_1");
  EXPECT_NE(hHostServer, 0u);
  EXPECT_NE(hX64Server, 0u);
  EXPECT_NE(hHostServer, hX64Server);
}

TEST_F(Servers, OpenIgnoresTheManagerAndReportsAFailedLookup) {
  fake::FailCorCall("CorManOpen", 1, kScripted);
  fake::FailCorCall("CorManGetServerByName", 1, kScripted);
  testing::internal::CaptureStdout();
  EXPECT_EQ(OpenServers(), kScripted);
  EXPECT_EQ(Captured(),
            "CorManGetServerByName( serverName[ boardIndex], &hX64Server)\n" + kScriptedLines);
  EXPECT_EQ(hX64Server, 0u);
}

TEST_F(Servers, ReleaseWithNothingHeldCallsNothing) {
  ReleaseServers();
  EXPECT_TRUE(fake::CorCalls().empty());
}

TEST_F(Servers, ReleaseBoardThenHostAndGoOnPastAFailure) {
  testing::internal::CaptureStdout();
  ASSERT_EQ(OpenServers(), 0u);
  const CORSERVER board = hX64Server, host = hHostServer;
  fake::ClearCorCalls();
  fake::FailCorCall("CorManReleaseServer", 1, kScripted);
  ReleaseServers();
  EXPECT_EQ(Captured(), "CorManReleaseServer: hX64Server\n" + kScriptedLines);
  auto releases = fake::CorCallsOf("CorManReleaseServer");
  ASSERT_EQ(releases.size(), 2u);
  EXPECT_EQ(releases[0].args[0], board);
  EXPECT_EQ(releases[1].args[0], host);
  EXPECT_EQ(hX64Server, board);  // kept after its failed release
  EXPECT_EQ(hHostServer, 0u);
}

TEST_F(Servers, HostReleaseFailureKeepsItsHandle) {
  testing::internal::CaptureStdout();
  ASSERT_EQ(OpenServers(), 0u);
  const CORSERVER host = hHostServer;
  fake::FailCorCall("CorManReleaseServer", 2, kScripted);
  ReleaseServers();
  EXPECT_EQ(Captured(), "CorManReleaseServer: hHostServer\n" + kScriptedLines);
  EXPECT_EQ(hX64Server, 0u);
  EXPECT_EQ(hHostServer, host);
}

}  // namespace
