// Another program takes an output's name after xevra found it free and before the output is
// complete.
#include <filesystem>

#include "batch/convert.h"
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

}  // namespace
