// Sources and outputs that are not what they seem: pipes, devices, vanished files, folders
// holding an output's name, links and read-only files.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "batch/convert.h"
#include "faults/fault_support.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

TEST_F(FaultTest, PipesAndDevicesAreNeverRead) {
  ASSERT_EQ(mkfifo((src_ + "/pipe.bmp").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", (src_ + "/device.bmp").c_str()), 0);
  WriteBmp(src_ + "/ok.bmp", 4, 4);
  ProcessResult r = Convert({}, {.timeoutSeconds = 60});
  EXPECT_EQ(ProgressLines(r.out),
            (std::vector<std::string>{" device.bmp.Loading failed", " ok.bmp....Ready",
                                      " pipe.bmp.Loading failed"}));
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(FaultTest, VanishedSourceFailsToLoad) {
  WriteBmp(src_ + "/ok.bmp", 4, 4);
  CConvertJob job;
  job.m_strSource = src_;
  job.m_strMask = "*.*";
  job.m_strDest = out_;
  job.m_files = {src_ + "/gone.bmp", src_ + "/ok.bmp"};
  CConvertSettings settings;
  InitConvertSettings(settings);
  testing::internal::CaptureStdout();
  bool ok = ConvertFiles(job, settings, SystemPlatform());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " gone.bmp.Loading failed\n ok.bmp....Ready\n");
  EXPECT_FALSE(ok);
}

TEST_F(FaultTest, NamesHeldByFoldersAndReadOnlyFiles) {
  WriteBmp(src_ + "/a.bmp", 4, 4);
  WriteBmp(src_ + "/b.bmp", 4, 4);
  WriteBmp(src_ + "/r.bmp", 4, 4);
  fs::create_directory(out_ + "/a.jpg");
  fs::create_directory(out_ + "/b.jpg");
  chmod((out_ + "/b.jpg").c_str(), 0555);  // no one may write it, root included
  WriteFile(out_ + "/r.jpg", "kept");
  chmod((out_ + "/r.jpg").c_str(), 0444);
  struct Case {
    const char* label;
    std::vector<std::string> switches;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"without -ov: the folders' names are taken, the read-only file is never replaced",
       {},
       {" a.bmp....Ready", " b.bmp....Ready", " r.bmp...Converting failed"}},
      {"with -ov: none is written over",
       {"-ov"},
       {" a.bmp...Converting failed", " b.bmp...Converting failed", " r.bmp...Converting failed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProcessResult r = Convert(c.switches);
    EXPECT_EQ(ProgressLines(r.out), c.lines);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(fs::is_directory(out_ + "/a.jpg"));
    EXPECT_TRUE(fs::is_empty(out_ + "/b.jpg"));
    EXPECT_EQ(ReadFile(out_ + "/r.jpg"), "kept");
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
  }
  EXPECT_TRUE(fs::exists(out_ + "/a(1).jpg"));
  EXPECT_TRUE(fs::exists(out_ + "/b(1).jpg"));
}

TEST_F(FaultTest, DestinationThatIsALinkToAFolder) {
  WriteBmp(src_ + "/a.bmp", 4, 4);
  std::string link = dir_ / "link";
  ASSERT_EQ(symlink(out_.c_str(), link.c_str()), 0);
  ProcessResult r = RunXevraBinary({"s=" + src_ + "/*.bmp", "d=" + link}, "/");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(fs::exists(out_ + "/a.jpg"));
  EXPECT_TRUE(fs::is_symlink(link)) << "the link itself stays a link";
}

}  // namespace
