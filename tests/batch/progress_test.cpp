#include "batch/progress.h"

#include <gtest/gtest.h>

namespace {

struct StatusCase {
  int code;
  const char* text;
  const char* printed;
};

const StatusCase kStatusCases[] = {
    {0, "a.bmp", " a.bmp"},
    {0, "100%d.bmp", " 100%d.bmp"},  // a name is never a format
    {1, "", ".."},
    {2, "", "..Ready\n"},
    {3, "", ".."},
    {4, "", ".Loading failed\n"},
    {5, "", ".Converting failed\n"},
    {1, "ignored", ".."},
    {6, "x", "..Up to date\n"},
    {7, "x", ""},
    {-1, "x", ""},
};

TEST(Progress, StatusTexts) {
  for (const StatusCase& c : kStatusCases) {
    SCOPED_TRACE(c.code);
    testing::internal::CaptureStdout();
    ReportStatus(c.code, c.text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  }
}

TEST(Progress, FoundCount) {
  testing::internal::CaptureStdout();
  PrintFoundCount(0);
  PrintFoundCount(1234);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " 0 graphic files found\n\n 1234 graphic files found\n\n");
}

}  // namespace
