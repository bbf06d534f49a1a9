#include "batch/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "batch/output_path.h"
#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

struct ExtensionCase {
  const char* relative;
  const char* output;
  const char* expected;
};

const ExtensionCase kExtensionCases[] = {
    {"a.bmp", "/o/a.bmp", "/o/a.jpg"},
    {"photo.2001.bmp", "/o/photo.2001.bmp", "/o/photo.2001.jpg"},
    {"readme", "/o/readme", "/o/readme.jpg"},
    {".hidden", "/o/.hidden", "/o/.hidden.jpg"},
    {"X.Y/readme", "/o/X.Y/readme", "/o/X.Y/readme.jpg"},
    {"X/a.b.bmp", "/o/X/a.b.bmp", "/o/X/a.b.jpg"},
    {"X/.hidden", "/o.d/X/.hidden", "/o.d/X/.hidden.jpg"},
    {"a.bmp", "/o/all", "/o/all.jpg"},  // single file named without extension
};

TEST(OutputPath, ExtensionRule) {
  for (const ExtensionCase& c : kExtensionCases) {
    EXPECT_EQ(ApplyExtension(c.relative, c.output, ".jpg"), c.expected) << c.relative;
  }
}

TEST(OutputPath, Pieces) {
  EXPECT_EQ(PagePath("/o/a(1).jpg", 2, ".jpg"), "/o/a(1)_p2.jpg");
  EXPECT_EQ(PagePath("/o.d/a", 0, ".jpg"), "/o.d/a_p0.jpg");
  EXPECT_EQ(FolderOf("/a.jpg"), "/");
  EXPECT_EQ(FolderOf("/o/x/a.jpg"), "/o/x");
  EXPECT_EQ(DisplayName("/o/x/a.jpg"), "a.jpg");
  EXPECT_EQ(RelativePath("/src/x/a.jpg", "/src"), "x/a.jpg");
  EXPECT_EQ(RelativePath("/a.jpg", "/"), "a.jpg");
  EXPECT_EQ(FormatExtension(3), ".jpg");
  EXPECT_EQ(FormatExtension(4), "");
}

// Single-file mode is not reachable from the command line; it is driven here directly.
class SingleFile : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(src_);
    fs::create_directory(out_);
    InitConvertSettings(settings_);
    settings_.m_bSingleFile = 1;
    job_.m_strSource = src_;
    job_.m_strMask = "*.*";
    job_.m_strDest = out_;
  }
  std::string Convert() {
    testing::internal::CaptureStdout();
    ok_ = ConvertFiles(job_, settings_, SystemPlatform());
    return testing::internal::GetCapturedStdout();
  }
  void Name(const char* name) { std::strcpy(settings_.m_szSingleFile, name); }

  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string out_ = dir_ / "out";
  CConvertSettings settings_;
  CConvertJob job_;
  bool ok_ = false;
};

TEST_F(SingleFile, EveryEntryGoesIntoTheOneFile) {
  WriteBmp(src_ + "/a.bmp", 3, 2);
  WriteBmp(src_ + "/b.bmp", 5, 4);
  WriteFile(out_ + "/all.jpg", "from before");
  job_.m_files = {src_ + "/a.bmp", src_ + "/b.bmp"};
  settings_.m_bOverwrite = 1;
  Name("all");
  EXPECT_EQ(Convert(), " a.bmp....Ready\n b.bmp....Ready\n");
  EXPECT_TRUE(ok_);
  JpegInfo info;
  ASSERT_TRUE(ReadJpegInfo(out_ + "/all.jpg", &info));
  EXPECT_EQ(info.width, 5) << "the last entry's image";
}

TEST_F(SingleFile, AFileFromBeforeStaysWithoutOverwrite) {
  WriteBmp(src_ + "/a.bmp", 3, 2);
  WriteFile(out_ + "/all.jpg", "from before");
  job_.m_files = {src_ + "/a.bmp"};
  Name("all.jpg");
  EXPECT_EQ(Convert(), " a.bmp...Converting failed\n");
  EXPECT_FALSE(ok_);
  EXPECT_EQ(ReadFile(out_ + "/all.jpg"), "from before");
}

TEST_F(SingleFile, TiffPagesSplitAroundTheSingleFile) {
  WriteTiff(src_ + "/scan.tif", 4, 3, 3);
  WriteFile(out_ + "/all_p1.tif", "taken");
  job_.m_files = {src_ + "/scan.tif"};
  settings_.m_nFormat = kFormatTif;
  settings_.m_bSeparatePages = 1;
  Name("all.tif");
  EXPECT_EQ(Convert(), " scan.tif..........Ready\n");
  EXPECT_EQ(settings_.m_tif.bSingleFile, 1);
  EXPECT_EQ(settings_.m_tif.nPage, 2);
  for (const char* f : {"all.tif", "all_p1(1).tif", "all_p2.tif"}) {
    EXPECT_TRUE(fs::exists(out_ + "/" + f)) << f;
  }
  EXPECT_EQ(ReadFile(out_ + "/all_p1.tif"), "taken");
}

}  // namespace
