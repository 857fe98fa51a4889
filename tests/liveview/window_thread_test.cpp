// The window thread where there is no display: no window, no message, nothing drawn.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "acquisition/frame_ring.h"
#include "liveview/live_view.h"

namespace {

TEST(WindowThreadWithoutDisplay, NoWindowNoMessagesAndNothingPainted) {
  unsetenv("DISPLAY");
  BuildDisplayTables();
  CreateWindowReadyEvent();
  LoadDisplayResources();
  imageWidth = 640;
  imageHeight = 480;
  testing::internal::CaptureStdout();
  StartWindowThread();
  EXPECT_EQ(hDisplayWindow, 0u);
  EXPECT_TRUE(PaintFrame());
  EndWindowThread();
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
