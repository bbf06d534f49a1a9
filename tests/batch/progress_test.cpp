#include "batch/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "batch/report.h"

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

// A terminal of a given width on standard error, and a clock the test moves.
class TerminalPlatform : public PosixPlatform {
 public:
  bool IsErrorTerminal() override { return terminal; }
  int ErrorTerminalColumns() override { return columns; }
  int64_t MonotonicMilliseconds() override { return now; }
  bool terminal = true;
  int columns = 0;
  int64_t now = 1000;
};

// Everything a Reporter writes, read back once it is closed.
class Sink {
 public:
  Sink() : file_(open_memstream(&data_, &size_)) {}
  ~Sink() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(data_);
  }
  std::FILE* file() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

const std::string kDraw = "\033D\033M\0337\033D\r";
const std::string kDrawEnd = "\033[K\0338";
const std::string kErase = "\0337\033D\r\033[2K\0338";

std::string Drawing(const std::string& line) { return kDraw + line + kDrawEnd; }

TEST(Reporter, StatusLineCountsRateAndTimeLeft) {
  TerminalPlatform platform;
  Sink sink;
  Reporter reporter(platform, sink.file());
  reporter.Start(4);
  platform.now += 2000;
  reporter.FileDone({}, true, 0);
  platform.now += 50;  // too soon to draw again
  reporter.FileDone({}, true, 0);
  reporter.BeforeOutput();
  reporter.AfterOutput();
  platform.now += 1950;
  reporter.FileDone({"/in/b.bmp: the file ends early"}, false, 1);
  reporter.FileDone({"/in/c.bmp: the file ends early"}, false, 0);  // too soon again
  reporter.Finish();
  reporter.AfterOutput();  // nothing is drawn after the end
  EXPECT_EQ(sink.Text(), Drawing("[0/4 files   0%  0:00 elapsed]") +
                             Drawing("[1/4 files  25%  0.5 files/s  0:02 elapsed  0:06 left]") +
                             kErase + "xevra: /in/b.bmp: the file ends early\n" +
                             Drawing("[3/4 files  75%  0.8 files/s  0:04 elapsed  0:01 left]") +
                             kErase + "xevra: /in/c.bmp: the file ends early\n" +
                             "xevra: 2 files converted, 2 files not converted, 1 page skipped\n");
}

TEST(Reporter, StatusLineFitsTheTerminalAndNeedsOne) {
  TerminalPlatform platform;
  platform.columns = 12;
  Sink narrow;
  Reporter(platform, narrow.file()).Start(7);
  EXPECT_EQ(narrow.Text(), Drawing("[0/7 files "));
  platform.terminal = false;
  Sink pipe;
  Reporter reporter(platform, pipe.file());
  reporter.Start(2);
  reporter.FileDone({}, true, 0);
  reporter.FileDone({}, true, 0);
  reporter.Finish();
  EXPECT_EQ(pipe.Text(), "") << "no status line, and no summary when all was converted";
}

}  // namespace
