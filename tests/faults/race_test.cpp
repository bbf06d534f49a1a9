// Another program takes an output's name after xevra found it free and before the output is
// complete.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "batch/convert.h"
#include "batch/report.h"
#include "faults/fault_support.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

// The real system, except that someone else creates every target name just before xevra
// gives an output that name.
class IntrudingPlatform : public PosixPlatform {
 public:
  bool PublishFile(const std::string& tempPath, const std::string& target, bool replace) override {
    if (!fs::exists(target)) WriteFile(target, "someone else's");
    return PosixPlatform::PublishFile(tempPath, target, replace);
  }
};

TEST_F(FaultTest, ANameTakenAfterTheTestSurvivesWithoutOverwrite) {
  WriteBmp(src_ + "/a.bmp", 4, 4);
  WriteBmp(src_ + "/b.bmp", 4, 4);
  for (int overwrite : {0, 1}) {
    SCOPED_TRACE(overwrite ? "with -ov" : "without -ov");
    fs::remove_all(out_);
    fs::create_directory(out_);
    CConvertJob job;
    job.m_strSource = src_;
    job.m_strMask = "*.bmp";
    job.m_strDest = out_;
    job.m_files = {src_ + "/a.bmp", src_ + "/b.bmp"};
    CConvertSettings settings;
    InitConvertSettings(settings);
    settings.m_bOverwrite = overwrite;
    IntrudingPlatform platform;
    testing::internal::CaptureStdout();
    bool ok = ConvertFiles(job, settings, platform);
    std::string text = testing::internal::GetCapturedStdout();
    if (overwrite) {
      EXPECT_EQ(text, " a.bmp....Ready\n b.bmp....Ready\n") << "-ov asks for the replacement";
      EXPECT_TRUE(ok);
      EXPECT_NE(ReadFile(out_ + "/a.jpg"), "someone else's");
    } else {
      EXPECT_EQ(text, " a.bmp...Converting failed\n b.bmp...Converting failed\n");
      EXPECT_FALSE(ok);
      EXPECT_EQ(ReadFile(out_ + "/a.jpg"), "someone else's");
      EXPECT_EQ(ReadFile(out_ + "/b.jpg"), "someone else's");
    }
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
  }
}

// The real system, except that another program saves text over the source (a new file
// under its name) once its first page's output is begun.
class ReplacingPlatform : public PosixPlatform {
 public:
  bool CreateTempFile(const std::string& folder, std::string* tempPath) override {
    if (!replaced.exchange(true)) {
      WriteFile(source + ".new", "replaced by text\n");
      fs::rename(source + ".new", source);
    }
    return PosixPlatform::CreateTempFile(folder, tempPath);
  }
  std::string source;
  std::atomic<bool> replaced{false};
};

TEST_F(FaultTest, PagesThatCannotBeReadAgainAreNamedOnStandardError) {
  const std::string scan = src_ + "/scan.tif";
  WriteTiff(scan, 4, 3, 3);
  CConvertJob job;
  job.m_strSource = src_;
  job.m_strMask = "*.tif";
  job.m_strDest = out_;
  job.m_files = {scan};
  CConvertSettings settings;
  InitConvertSettings(settings);
  settings.m_bSeparatePages = 1;
  ReplacingPlatform platform;
  platform.source = scan;
  char* told = nullptr;
  size_t toldSize = 0;
  std::FILE* sink = open_memstream(&told, &toldSize);
  Reporter reporter(platform, sink);
  reporter.Start(1);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ConvertFiles(job, settings, platform, &reporter));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " scan.tif......Ready\n")
      << "the console skips the pages without a word";
  reporter.Finish();
  std::fclose(sink);
  const std::string why =
      ": skipped, it could not be read again: not an image that xevra reads; "
      "it looks like text\n";
  EXPECT_EQ(std::string(told, toldSize), "xevra: " + scan + ", page 1" + why + "xevra: " + scan +
                                             ", page 2" + why +
                                             "xevra: 0 files converted, 1 file not converted, 2 "
                                             "pages skipped\n");
  std::free(told);
  EXPECT_EQ(Tree(out_), std::vector<std::string>{"scan_p0.jpg"});
}

}  // namespace
