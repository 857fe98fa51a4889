// The live view on a real X server (Xvfb): what the screen shows, read back pixel by pixel, and how
// the window thread starts and ends.
// gtest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "acquisition/frame_ring.h"
#include "fakes/fake_corapi.h"
#include "liveview/live_view.h"
#include "support/bench_process.h"
#include "support/xvfb_server.h"
#include "x11_screen.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Rgb;
using testing_support::TopWindow;
using testing_support::X11Screen;
using testing_support::XvfbServer;
using Sample = std::function<uint16_t(int x, int y)>;

const uint32_t kRed = Rgb(240, 0, 0);
const uint32_t kBlack = Rgb(0, 0, 0);  // the server's bare root window

// The colour the live view shows for an 8-bit intensity.
uint32_t Shown(int intensity) {
  int index = displayLut[intensity];
  return index == 240 ? kRed : Rgb(index, index, index);
}

size_t OpenFileCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

class LiveViewX11 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new XvfbServer("1280x1024x24");
    setenv("DISPLAY", server_->Name().c_str(), 1);
    BuildDisplayTables();
    CreateWindowReadyEvent();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->Ready()) << "Xvfb did not start";
    screen_ = std::make_unique<X11Screen>(server_->Name());
    ASSERT_NE(screen_->display(), nullptr);
    fake::ResetGrabber();
    unsetenv("TAPCAL_DISPRESOURCES");
    LoadDisplayResources();
  }

  void TearDown() override {
    if (worker_.valid()) StopWorker();
    EndWindowThread();
    hFrameSemaphore = nullptr;
  }

  // What OpenSession leaves behind: the geometry, three host buffers, the frame semaphore and a
  // running display worker.
  void OpenSession(int width, int height, int depth) {
    imageWidth = width;
    imageHeight = height;
    pixelDepth = depth;
    bytesPerPixel = depth <= 8 ? 1 : 2;
    dataFormat = depth <= 8 ? CORDATA_FORMAT_MONO8 : CORDATA_FORMAT_MONO16;
    CORSERVER server = CorManGetLocalServer();
    for (CORBUFFER& buffer : hHostBufferMono)
      ASSERT_EQ(CorBufferNew(server, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                             dataFormat, CORBUFFER_VAL_TYPE_CONTIGUOUS, &buffer),
                0u);
    semaphore_ = std::make_unique<platform::CountingSemaphore>(0, 3);
    hFrameSemaphore = semaphore_.get();
    stopWorker = false;
    workerStarted = false;
    worker_ = std::async(std::launch::async, [] { return DisplayWorker(nullptr); });
    while (!workerStarted)
      std::this_thread::yield();
  }

  uint32_t StopWorker() {
    stopWorker = true;
    semaphore_->Release();
    EXPECT_EQ(worker_.wait_for(5s), std::future_status::ready);
    return worker_.get();
  }

  // Puts the frame in every host buffer and gives the worker the signals of one paint, plus one
  // that it takes only once that paint is done.
  void ShowFrame(const Sample& sample) {
    for (CORBUFFER handle : hHostBufferMono) {
      fake::FakeBuffer buffer = fake::Buffer(handle);
      for (int y = 0; y < imageHeight; ++y)
        for (int x = 0; x < imageWidth; ++x) {
          size_t i = static_cast<size_t>(y) * imageWidth + x;
          if (bytesPerPixel == 1)
            buffer.pixels[i] = static_cast<uint8_t>(sample(x, y));
          else
            reinterpret_cast<uint16_t*>(buffer.pixels)[i] = sample(x, y);
        }
    }
    for (int i = 0; i < 22; ++i) {
      ASSERT_TRUE(semaphore_->Release());
      auto deadline = std::chrono::steady_clock::now() + 5s;
      while (semaphore_->Count() > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::yield();
      }
    }
  }

  // The screen from (0, 0), once it shows `expected` (the painter's requests reach the server on
  // a connection of their own), or as it is after 5 s.
  std::vector<uint32_t> ScreenOnceItShows(int width, int height,
                                          const std::vector<uint32_t>& expected) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<uint32_t> grabbed;
    do {
      grabbed = screen_->Grab(0, 0, width, height);
      if (grabbed == expected) break;
      std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return grabbed;
  }

  // Every screen pixel of the image area against `expected(x, y)`; the first mismatches shown.
  void ExpectScreen(int width, int height, const std::function<uint32_t(int, int)>& expected) {
    std::vector<uint32_t> want;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        want.push_back(expected(x, y));
    std::vector<uint32_t> got = ScreenOnceItShows(width, height, want);
    ASSERT_EQ(got.size(), want.size());
    int wrong = 0;
    for (size_t i = 0; i < want.size(); ++i)
      if (got[i] != want[i] && ++wrong <= 5)
        ADD_FAILURE() << "pixel (" << i % width << ", " << i / width << ") is " << std::hex
                      << got[i] << ", expected " << want[i];
    EXPECT_EQ(wrong, 0) << "wrong pixels";
  }

  // The one live-view window, as the server has it.
  TopWindow ShownWindow() {
    std::vector<TopWindow> windows = screen_->MappedTopWindows();
    EXPECT_EQ(windows.size(), 1u);
    return windows.empty() ? TopWindow{} : windows[0];
  }

  // Starts the window thread; what it printed.
  std::string StartWindow() {
    testing::internal::CaptureStdout();
    StartWindowThread();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
  std::string EndWindow() {
    testing::internal::CaptureStdout();
    EndWindowThread();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }

  static XvfbServer* server_;
  std::unique_ptr<X11Screen> screen_;
  std::unique_ptr<platform::CountingSemaphore> semaphore_;
  std::future<uint32_t> worker_;
};

XvfbServer* LiveViewX11::server_ = nullptr;

TEST_F(LiveViewX11, EightBitFrameShowsGreyAndRedOnlyWhereItSaturates) {
  OpenSession(640, 480, 8);
  ASSERT_EQ(StartWindow(), "");
  EXPECT_EQ(frameExtraWidth, 0) << "Xvfb has no window manager, so no frame";
  EXPECT_EQ(frameExtraHeight, 0);
  TopWindow window = ShownWindow();
  EXPECT_EQ(window.x, 0);
  EXPECT_EQ(window.y, 0);
  EXPECT_EQ(window.width, 640 + frameExtraWidth);
  EXPECT_EQ(window.height, 480 + frameExtraHeight);

  auto sample = [](int x, int y) { return static_cast<uint16_t>((x + 3 * y) % 256); };
  ShowFrame(sample);
  ExpectScreen(640, 480, [&](int x, int y) { return Shown(sample(x, y)); });
  std::vector<uint32_t> row = screen_->Grab(0, 0, 256, 1);  // intensities 0..255 in a row
  EXPECT_EQ(row[0], Rgb(3, 3, 3));
  EXPECT_EQ(row[254], Rgb(239, 239, 239));
  EXPECT_EQ(row[255], kRed);
  for (int x = 0; x < 255; ++x)
    EXPECT_NE(row[x], kRed) << "intensity " << x;
  // Nothing beyond the window.
  for (uint32_t pixel : screen_->Grab(640, 0, 8, 488))
    ASSERT_EQ(pixel, kBlack);
  for (uint32_t pixel : screen_->Grab(0, 480, 648, 8))
    ASSERT_EQ(pixel, kBlack);

  EXPECT_EQ(StopWorker(), 0u);
  EXPECT_EQ(EndWindow(), "") << "the window thread did not end within 1000 ms";
  EXPECT_TRUE(screen_->TopWindows().empty()) << "the window was not destroyed";
}

TEST_F(LiveViewX11, TenBitFrameShowsRedFrom1020Up) {
  OpenSession(64, 32, 10);
  ASSERT_EQ(StartWindow(), "");
  auto sample = [](int x, int y) { return static_cast<uint16_t>((x + 64 * y) % 1024); };
  ShowFrame(sample);
  ExpectScreen(64, 32, [&](int x, int y) { return Shown(sample(x, y) >> 2); });
  // Samples 1016..1023 lie at x = 56..63 of row 15.
  std::vector<uint32_t> top = screen_->Grab(56, 15, 8, 1);
  EXPECT_EQ(top[3], Rgb(239, 239, 239)) << "sample 1019";
  for (int sample = 1020; sample <= 1023; ++sample)
    EXPECT_EQ(top[sample - 1016], kRed) << "sample " << sample;
  EXPECT_EQ(StopWorker(), 0u);
}

TEST_F(LiveViewX11, WidthsThatAreNoMultipleOf4ShowCorrectly) {
  for (int width : {101, 638}) {
    SCOPED_TRACE(width);
    fake::ResetGrabber();
    OpenSession(width, 37, 8);
    ASSERT_EQ(StartWindow(), "");
    // Every row shifted against the one above, so a wrong row stride shears the picture.
    auto sample = [](int x, int y) { return static_cast<uint16_t>((x * 7 + y * 13) % 256); };
    ShowFrame(sample);
    ExpectScreen(width, 37, [&](int x, int y) { return Shown(sample(x, y)); });
    EXPECT_EQ(StopWorker(), 0u);
    EXPECT_EQ(EndWindow(), "");
  }
}

TEST_F(LiveViewX11, PictureIsStretchedToTheWholeClientArea) {
  OpenSession(40, 30, 8);
  ASSERT_EQ(StartWindow(), "");
  auto sample = [](int x, int y) { return static_cast<uint16_t>((x * 6 + y) % 256); };
  ShowFrame(sample);
  ExpectScreen(40, 30, [&](int x, int y) { return Shown(sample(x, y)); });

  // The operator makes the window twice as wide and three times as high.
  XResizeWindow(screen_->display(), ShownWindow().id, 80, 90);
  XSync(screen_->display(), False);
  ShowFrame(sample);
  ExpectScreen(80, 90, [&](int x, int y) { return Shown(sample(x / 2, y / 3)); });
  EXPECT_EQ(StopWorker(), 0u);
}

TEST_F(LiveViewX11, UncoveredPictureComesBackBeforeTheNextFrame) {
  OpenSession(48, 32, 8);
  ASSERT_EQ(StartWindow(), "");
  auto sample = [](int x, int y) { return static_cast<uint16_t>((x * 5 + y) % 256); };
  ShowFrame(sample);
  ExpectScreen(48, 32, [&](int x, int y) { return Shown(sample(x, y)); });

  // Another window passes over the picture and goes away again; no frame comes meanwhile.
  Display* other = screen_->display();
  Window cover = XCreateSimpleWindow(other, DefaultRootWindow(other), 10, 5, 20, 20, 0, 0, 0);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  XChangeWindowAttributes(other, cover, CWOverrideRedirect, &attributes);
  XMapRaised(other, cover);
  XSync(other, False);
  EXPECT_EQ(screen_->Grab(15, 10, 1, 1)[0], kBlack) << "the cover is not over the picture";
  XDestroyWindow(other, cover);
  XSync(other, False);
  ExpectScreen(48, 32, [&](int x, int y) { return Shown(sample(x, y)); });
  EXPECT_EQ(StopWorker(), 0u);
}

TEST_F(LiveViewX11, FrameExtrasAreTheWindowManagersFrame) {
  // A window manager that announces frame extents of 3 left, 5 right, 20 top, 4 bottom.
  Display* wm = screen_->display();
  Window root = DefaultRootWindow(wm);
  Atom request = XInternAtom(wm, "_NET_REQUEST_FRAME_EXTENTS", False);
  Atom extents = XInternAtom(wm, "_NET_FRAME_EXTENTS", False);
  Atom supported = XInternAtom(wm, "_NET_SUPPORTED", False);
  XChangeProperty(wm, root, supported, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&request), 1);
  XSelectInput(wm, root, SubstructureNotifyMask);
  XSync(wm, False);
  std::atomic<bool> answered{false};
  std::thread manager([&] {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
      XEvent event;
      if (!XCheckTypedEvent(wm, ClientMessage, &event)) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      if (event.xclient.message_type != request) continue;
      long frame[4] = {3, 5, 20, 4};
      XChangeProperty(wm, event.xclient.window, extents, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(frame), 4);
      XSync(wm, False);
      answered = true;
    }
  });

  OpenSession(64, 48, 8);
  std::string printed = StartWindow();
  manager.join();
  XDeleteProperty(wm, root, supported);
  XSync(wm, False);
  ASSERT_TRUE(answered);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(frameExtraWidth, 8);
  EXPECT_EQ(frameExtraHeight, 24);
  // Outer size image + extras leaves the client area the image's size.
  TopWindow window = ShownWindow();
  EXPECT_EQ(window.width, 64);
  EXPECT_EQ(window.height, 48);
  EXPECT_EQ(StopWorker(), 0u);
  EXPECT_EQ(EndWindow(), "");
}

TEST_F(LiveViewX11, ResourceModuleGivesTheWindowItsCaption) {
  testing_support::TempDir dir;
  std::string bench = dir.Write("bench.rc",
                                "#include <windows.h>\r\n"
                                "// another dialog first\r\n"
                                "101 DIALOGEX 0, 0, 10, 10\r\n"
                                "CAPTION \"Wrong one\"\r\n"
                                "BEGIN\r\n  LTEXT \"x\", -1, 0, 0, 5, 5\r\nEND\r\n"
                                "103 DIALOG 0, 0, 10, 10\r\n"
                                "STYLE WS_POPUP | WS_CAPTION | NOT WS_THICKFRAME\r\n"
                                "CAPTION \"Bench \"\"live\"\" view\"\r\n"
                                "BEGIN\r\nEND\r\n");
  struct Case {
    std::string path;
    std::string caption;
    bool resizable;
  } cases[] = {
      {testing_support::SourcePath("src/liveview/DispResources.rc"), "Camera live view", true},
      {bench, "Bench \"live\" view", false},
      {dir.File("missing.rc"), "Camera live view", true},  // the defaults
  };
  imageWidth = 32;
  imageHeight = 16;
  size_t openFiles = OpenFileCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    setenv("TAPCAL_DISPRESOURCES", c.path.c_str(), 1);
    LoadDisplayResources();
    ASSERT_EQ(StartWindow(), "");
    TopWindow window = ShownWindow();
    EXPECT_EQ(window.name, c.caption);
    XSizeHints hints{};
    long given = 0;
    XGetWMNormalHints(screen_->display(), window.id, &hints, &given);
    bool fixed = (hints.flags & PMinSize) && (hints.flags & PMaxSize) &&
                 hints.min_width == hints.max_width && hints.min_height == hints.max_height;
    EXPECT_EQ(!fixed, c.resizable);
    EXPECT_EQ(EndWindow(), "");
  }
  EXPECT_EQ(OpenFileCount(), openFiles) << "a window left a connection or pipe open";
}

TEST_F(LiveViewX11, WindowThreadThatDoesNotEndIsLeftBehind) {
  imageWidth = 32;
  imageHeight = 16;
  XSelectInput(screen_->display(), DefaultRootWindow(screen_->display()), SubstructureNotifyMask);
  XSync(screen_->display(), False);
  // A frozen server holds the window thread in its first request.
  server_->Pause();
  EXPECT_EQ(StartWindow(), "Error creating display thread\n");
  EXPECT_EQ(EndWindow(), "Terminating window thread\n");
  server_->Resume();

  // Left to itself, the thread makes its window, finds the quit request and ends.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  bool created = false, destroyed = false;
  while (!destroyed && std::chrono::steady_clock::now() < deadline) {
    XEvent event;
    if (XCheckTypedEvent(screen_->display(), CreateNotify, &event)) created = true;
    if (XCheckTypedEvent(screen_->display(), DestroyNotify, &event)) destroyed = true;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(created);
  EXPECT_TRUE(destroyed);
}

TEST_F(LiveViewX11, LosingTheDisplayEndsNeitherTheToolNorTheWindowThread) {
  XvfbServer own;
  ASSERT_TRUE(own.Ready());
  setenv("DISPLAY", own.Name().c_str(), 1);
  OpenSession(64, 48, 8);
  std::string printed = StartWindow();
  setenv("DISPLAY", server_->Name().c_str(), 1);
  ASSERT_EQ(printed, "");
  ASSERT_NE(hDisplayWindow, 0u);

  own.Stop();
  ShowFrame([](int x, int) { return static_cast<uint16_t>(x); });
  EXPECT_EQ(StopWorker(), 0u);
  EXPECT_EQ(EndWindow(), "");
}

}  // namespace
