// The whole program on real files: console text byte for byte, the files it writes, and its
// exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

void ExpectJpeg(const std::string& path, int width, int height, int components = 3) {
  JpegInfo info;
  ASSERT_TRUE(ReadJpegInfo(path, &info)) << path << " is a complete JPEG";
  EXPECT_EQ(info.width, width) << path;
  EXPECT_EQ(info.height, height) << path;
  EXPECT_EQ(info.components, components) << path;
}

class Convert : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(src_);
    fs::create_directory(out_);
  }
  ProcessResult Run(std::vector<std::string> args, const std::string& cwd = "/") {
    return RunXevraBinary(args, cwd);
  }
  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string out_ = dir_ / "out";
};

TEST_F(Convert, ConvertsAndReports) {
  WriteBmp(src_ + "/a.bmp", 8, 6);
  WriteFile(src_ + "/broken.bmp", "BM not really");
  WriteBmp(src_ + "/c.bmp", 5, 4, 1);
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_});
  EXPECT_EQ(r.out,
            " 3 graphic files found\n\n"
            " a.bmp....Ready\n"
            " broken.bmp.Loading failed\n"
            " c.bmp....Ready\n");
  EXPECT_EQ(r.exitCode, 1) << "a file was not converted";
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{"a.jpg", "c.jpg"}));
  ExpectJpeg(out_ + "/a.jpg", 8, 6);
}

TEST_F(Convert, SwitchesReachTheEncoder) {
  WriteBmp(src_ + "/a.bmp", 64, 48);
  ProcessResult r = Run({"s=" + src_ + "/*.BMP", "d=" + out_, "-w32", "-prop", "-cd8", "-q90"});
  EXPECT_EQ(r.exitCode, 0);
  ExpectJpeg(out_ + "/a.jpg", 32, 24, 1);
  r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-rot90", "-ov"});
  ExpectJpeg(out_ + "/a.jpg", 48, 64);
}

TEST_F(Convert, DestinationForms) {
  WriteBmp(src_ + "/a.bmp", 4, 4);
  struct Case {
    const char* label;
    std::string dest;
    std::string written;  // the output expected, empty when nothing may be written
    int exitCode;
  };
  std::string roDest = dir_ / "readonly";
  fs::create_directory(roDest);
  chmod(roDest.c_str(), 0555);
  const Case cases[] = {
      {"separator and double quote", out_ + "/\"", out_ + "/a.jpg", 0},
      {"missing folder with parent is made", dir_ / "made", dir_ / "made/a.jpg", 0},
      {"missing parent", dir_ / "no/such", "", 1},
      {"read-only folder", roDest, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + c.dest});
    EXPECT_EQ(r.exitCode, c.exitCode);
    if (c.written.empty()) {
      EXPECT_EQ(r.out, " 1 graphic files found\n\n") << "the driver says nothing";
    } else {
      EXPECT_EQ(r.out, " 1 graphic files found\n\n a.bmp....Ready\n");
      ExpectJpeg(c.written, 4, 4);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "no"));
  EXPECT_TRUE(fs::is_empty(roDest));
}

TEST_F(Convert, MirrorsFoldersAndNames) {
  for (const char* f :
       {"a.bmp", "X/b.bmp", "X/Y/Z/deep.bmp", "X.Y/readme", ".hidden", "readme", "X/a.b.bmp"}) {
    fs::create_directories(fs::path(src_ + "/" + f).parent_path());
    WriteBmp(src_ + "/" + f, 3, 2);
  }
  ProcessResult r = Run({"s=" + src_ + "/*.*", "d=" + out_, "-sf"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{
                                ".hidden.jpg", "X.Y/", "X.Y/readme.jpg", "X/", "X/Y/", "X/Y/Z/",
                                "X/Y/Z/deep.jpg", "X/a.b.jpg", "X/b.jpg", "a.jpg", "readme.jpg"}));
}

TEST_F(Convert, RelativeSourcesMirrorLikeFullOnes) {
  fs::create_directories(src_ + "/X");
  WriteBmp(src_ + "/X/b.bmp", 3, 2);
  const std::vector<std::string> expected{"X/", "X/b.jpg"};
  for (const std::string& source :
       {std::string("s=src/*.bmp"), "s=" + src_ + "//*.bmp", std::string("s=./src/../src/*.bmp")}) {
    SCOPED_TRACE(source);
    fs::remove_all(out_);
    ProcessResult r = Run({source, "d=out", "-sf"}, dir_.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ListTree(out_), expected);
  }
}

TEST_F(Convert, DestinationDefaultsToTheSourceFolder) {
  WriteBmp(src_ + "/a.bmp", 3, 2);
  ProcessResult r = Run({"s=" + src_ + "/*.*"});
  EXPECT_EQ(r.out, " 1 graphic files found\n\n a.bmp....Ready\n") << "outputs are not re-read";
  r = Run({"s=" + src_ + "/*.bmp"});
  EXPECT_EQ(ListTree(src_), (std::vector<std::string>{"a(1).jpg", "a.bmp", "a.jpg"}));
}

TEST_F(Convert, ExistingOutputsAreKeptUnlessOverwriting) {
  WriteBmp(src_ + "/a.bmp", 3, 2);
  WriteFile(out_ + "/a.jpg", "old");
  WriteFile(out_ + "/locked.jpg", "locked");
  chmod((out_ + "/locked.jpg").c_str(), 0444);
  WriteBmp(src_ + "/locked.bmp", 3, 2);
  ProcessResult r = Run({"s=" + src_ + "/a.bmp", "d=" + out_});
  EXPECT_EQ(ReadFile(out_ + "/a.jpg"), "old");
  ExpectJpeg(out_ + "/a(1).jpg", 3, 2);
  r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-ov"});
  EXPECT_EQ(r.out, " 2 graphic files found\n\n a.bmp....Ready\n locked.bmp...Converting failed\n");
  EXPECT_EQ(r.exitCode, 1);
  ExpectJpeg(out_ + "/a.jpg", 3, 2);
  EXPECT_EQ(ReadFile(out_ + "/locked.jpg"), "locked") << "read-only files are never replaced";
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{"a(1).jpg", "a.jpg", "locked.jpg"}));
}

TEST_F(Convert, PageSplitting) {
  WriteTiff(src_ + "/scan.tif", 4, 3, 3);
  WriteTiff(src_ + "/one.tif", 4, 3, 1);
  WriteFile(out_ + "/scan.jpg", "taken");
  ProcessResult r = Run({"s=" + src_ + "/*.tif", "d=" + out_, "-sep"});
  EXPECT_EQ(r.out, " 2 graphic files found\n\n one.tif....Ready\n scan.tif..........Ready\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{"one.jpg", "scan(1)_p0.jpg", "scan(1)_p1.jpg",
                                                      "scan(1)_p2.jpg", "scan.jpg"}));
  ExpectJpeg(out_ + "/scan(1)_p2.jpg", 4, 3);
}

TEST_F(Convert, FailedPageInTheMiddle) {
  WriteTiff(src_ + "/scan.tif", 4, 3, 3);
  fs::create_directory(out_ + "/scan_p1.jpg");  // a folder holds the page's name
  ProcessResult r = Run({"s=" + src_ + "/*.tif", "d=" + out_, "-sep", "-ov"});
  EXPECT_EQ(r.out, " 1 graphic files found\n\n scan.tif.....Converting failed\n....Ready\n");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(ListTree(out_),
            (std::vector<std::string>{"scan_p0.jpg", "scan_p1.jpg/", "scan_p2.jpg"}));
}

TEST_F(Convert, UnusableOutputFolderClosesTheLine) {
  fs::create_directories(src_ + "/X");
  WriteBmp(src_ + "/X/b.bmp", 3, 2);
  WriteBmp(src_ + "/Y.bmp", 3, 2);
  fs::create_directories(src_ + "/Z");
  WriteBmp(src_ + "/Z/c.bmp", 3, 2);
  WriteFile(out_ + "/X", "a file where the folder should be");
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-sf"});
  EXPECT_EQ(r.out,
            " 3 graphic files found\n\n Y.bmp....Ready\n b.bmp...Converting failed\n"
            " c.bmp....Ready\n");
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Convert, NamesArePrintedAsTheyAre) {
  const std::string name = "100% -sf \"q\" \xff.bmp";
  WriteBmp(src_ + "/" + name, 3, 2);
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_});
  EXPECT_EQ(r.out, " 1 graphic files found\n\n " + name + "....Ready\n");
  ExpectJpeg(out_ + "/100% -sf \"q\" \xff.jpg", 3, 2);
}

}  // namespace
