#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "acquisition/status.h"
#include "fakes/fake_corapi.h"

namespace {

struct StatusCase {
  const char* name;
  CORSTATUS status;
  const char* text;  // the library's text for it; nullptr for none
  const char* expected;
};

std::string CaptureCheck(const char* call, CORSTATUS status, CORSTATUS* result) {
  testing::internal::CaptureStdout();
  *result = CheckStatus(call, status);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

class CheckStatusTable : public testing::TestWithParam<StatusCase> {};

TEST_P(CheckStatusTable, PrintsTheCallAndTheDecodedWord) {
  const StatusCase& c = GetParam();
  fake::ResetGrabber();
  if (c.text) fake::SetStatusText(c.status, c.text);
  CORSTATUS result;
  EXPECT_EQ(CaptureCheck("CorXferConnect(hXferAcqToHost)", c.status, &result), c.expected);
  EXPECT_EQ(result, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckStatusTable,
    testing::Values(StatusCase{"Success", 0, "never asked", ""},
                    StatusCase{"WithText", (5u << 22) | (0x12u << 8) | 7u, "Transfer not connected",
                               "CorXferConnect(hXferAcqToHost)\n"
                               "   Error in module 0x5 (status = 0x7, info = 0x12)\n"
                               "   <Transfer not connected>\n"},
                    StatusCase{"WithoutText", (5u << 22) | (0x12u << 8) | 7u, nullptr,
                               "CorXferConnect(hXferAcqToHost)\n"
                               "   Error in module 0x5 (status = 0x7, info = 0x12)\n"},
                    StatusCase{"OnlyUnshownBits", 0xF0300000u, nullptr,
                               "CorXferConnect(hXferAcqToHost)\n"
                               "   Error in module 0x0 (status = 0x0, info = 0x0)\n"},
                    StatusCase{"EveryShownBit", 0x0FCFFFFFu, "",
                               "CorXferConnect(hXferAcqToHost)\n"
                               "   Error in module 0x3F (status = 0xFF, info = 0xFFF)\n"
                               "   <>\n"},
                    StatusCase{"FieldsApart", 0xFFFFFFFFu, nullptr,
                               "CorXferConnect(hXferAcqToHost)\n"
                               "   Error in module 0x3F (status = 0xFF, info = 0xFFF)\n"}),
    [](const testing::TestParamInfo<StatusCase>& info) { return info.param.name; });

TEST(CheckStatus, AsksTheLibraryForTheTextWithItsFullBuffer) {
  fake::ResetGrabber();
  CORSTATUS result;
  CaptureCheck("CorCamFree", 0x00400105, &result);
  auto asked = fake::CorCallsOf("CorManGetStatusText");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].args[0], 0x00400105u);
  EXPECT_EQ(asked[0].args[2], 256u);
  EXPECT_EQ(asked[0].args[3], 0u);
  EXPECT_EQ(asked[0].args[4], 0u);

  fake::ResetGrabber();
  CaptureCheck("CorCamFree", 0, &result);
  EXPECT_TRUE(fake::CorCalls().empty());
}

TEST(CheckStatus, CutsALongTextShortAndStillClosesTheLine) {
  fake::ResetGrabber();
  const CORSTATUS status = 0x0FCFFFFFu;  // the widest numeric line
  std::string text(255, 'x');
  text.replace(0, 5, "start");
  fake::SetStatusText(status, text);
  CORSTATUS result;
  std::string out = CaptureCheck("CorBufferFree: hHostBufferMono", status, &result);

  const std::string call = "CorBufferFree: hHostBufferMono\n";
  const std::string head = "   Error in module 0x3F (status = 0xFF, info = 0xFFF)\n   <start";
  ASSERT_EQ(out.compare(0, call.size(), call), 0) << out;
  std::string message = out.substr(call.size());
  EXPECT_EQ(message.compare(0, head.size(), head), 0) << message;
  EXPECT_LE(message.size(), 256u);  // the 257-byte line with its terminator
  ASSERT_GE(message.size(), 2u);
  EXPECT_EQ(message.substr(message.size() - 2), ">\n");
  EXPECT_GT(message.size(), 200u);  // cut only as far as needed

  // The next report starts on a line of its own.
  out = CaptureCheck("CorCamFree", status, &result);
  EXPECT_EQ(out.compare(0, 11, "CorCamFree\n"), 0);
}

}  // namespace
