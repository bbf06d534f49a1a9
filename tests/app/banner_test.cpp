#include "app/banner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "support/fake_platform.h"
#include "support/process.h"

namespace {

const char kHelpScreen[] =
    " You can get all info about this program from the Readme.txt file.\n"
    " This file distributed in XEVRA.EXE kit and can be found in XEVRA.EXE folder.\n"
    "\n"
    " Do you have any troubles or questions?\n"
    " Feel free to send them by e-mail: support@orvane.example\n"
    "\n"
    "                                                With best regards,\n"
    "                                                Orvane Team\n";

const char kBannerBox[] =
    "\n"
    "//===========================================================================//\n"
    "//                                                                           //\n"
    "//                         Orvane Group International                        //\n"
    "//                                                                           //\n"
    "//                             www.orvane.example                            //\n"
    "//                                                                           //\n"
    "//===========================================================================//\n"
    "\n";

TEST(Banner, BoxLinesAreFramedAndCentred) {
  FakePlatform platform;
  testing::internal::CaptureStdout();
  PrintBanner(platform);
  std::string screen = testing::internal::GetCapturedStdout();
  ASSERT_EQ(screen.rfind("\n//", 0), 0u) << "starts with an empty line, then the box";
  std::istringstream lines(screen.substr(1));
  std::string line;
  for (int i = 0; i < 7 && std::getline(lines, line); ++i) {
    SCOPED_TRACE(line);
    ASSERT_EQ(line.size(), 79u);
    EXPECT_EQ(line.substr(0, 2), "//");
    EXPECT_EQ(line.substr(77), "//");
    std::string inside = line.substr(2, 75);
    size_t first = inside.find_first_not_of(' ');
    if (first == std::string::npos || inside[first] == '=') continue;
    size_t last = inside.find_last_not_of(' ');
    size_t before = first, after = 74 - last;
    EXPECT_TRUE(before == after || before == after + 1) << before << " / " << after;
  }
  EXPECT_EQ(platform.opened, std::vector<std::string>{"ReadMe.txt"});
}

TEST(Banner, HelpAloneOpensTheManual) {
  FakePlatform platform;
  testing::internal::CaptureStdout();
  PrintHelp(platform);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kHelpScreen);
  EXPECT_EQ(platform.opened, std::vector<std::string>{"ReadMe.txt"});
}

// A stand-in desktop opener on PATH that records what it was asked to open, and where.
class FakeOpener {
 public:
  FakeOpener() {
    std::string bin = dir_ / "bin";
    mkdir(bin.c_str(), 0755);
    WriteFile(bin + "/xdg-open", "#!/bin/sh\necho \"$1|$PWD\" > " + record_ + ".tmp && /bin/mv " +
                                     record_ + ".tmp " + record_ + "\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    env_ = {"PATH=" + bin};
  }
  const std::vector<std::string>& env() const { return env_; }
  // Returns what the opener recorded, waiting a while for it since it runs detached.
  std::string WaitForRecord() const {
    for (int i = 0; i < 100 && access(record_.c_str(), F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ReadFile(record_);
  }

 private:
  TempDir dir_;
  std::string record_ = dir_ / "opened";
  std::vector<std::string> env_;
};

TEST(BannerBinary, NoArgumentsShowsBannerAndHelp) {
  TempDir work;
  FakeOpener opener;
  ProcessResult r = RunXevraBinary({}, work.path(), opener.env());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string(kBannerBox) + kHelpScreen);
  EXPECT_EQ(opener.WaitForRecord(), "ReadMe.txt|" + work.path() + "\n");
}

TEST(BannerBinary, HelpRequestShowsHelpAloneAndCollectsNothing) {
  TempDir work;
  WriteFile(work / "a.bmp", "BM");
  FakeOpener opener;
  ProcessResult r = RunXevraBinary({"s=*.bmp", "-?", "-sf"}, work.path(), opener.env());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kHelpScreen);
  EXPECT_EQ(opener.WaitForRecord(), "ReadMe.txt|" + work.path() + "\n");
}

TEST(BannerBinary, MissingOpenerIsSilent) {
  TempDir work;
  TempDir emptyBin;
  ProcessResult r = RunXevraBinary({"-?"}, work.path(), {"PATH=" + emptyBin.path()});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, kHelpScreen);
}

}  // namespace
