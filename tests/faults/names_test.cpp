// Names as real trees hold them: every byte but "/" and NUL, long components, paths longer
// than one system call takes and crowded folders. They reach the outputs and the console
// unchanged.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "faults/fault_support.h"
#include "support/deep_paths.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

TEST_F(FaultTest, OddNamesSurviveByteForByte) {
  const std::vector<std::string> stems = {
      "with space",          "quote\"s and 'apostrophes'",
      "100%d%s%n",           "new\nline",
      "-sf -ov -q1",         "latin1 \xe9\xe8 and bad utf-8 \xff\xfe",
      std::string(246, 'L'),
  };
  for (const std::string& stem : stems) WriteBmp(src_ + "/" + stem + ".bmp", 3, 2);
  ProcessResult r = Convert({});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::vector<std::string> sorted = Tree(out_);
  for (const std::string& stem : stems) {
    EXPECT_TRUE(fs::exists(out_ + "/" + stem + ".jpg")) << stem;
    EXPECT_NE(r.out.find(" " + stem + ".bmp....Ready\n"), std::string::npos) << stem;
  }
  EXPECT_EQ(sorted.size(), stems.size());
}

TEST_F(FaultTest, DeepPathsPastTheSystemLimit) {
  // Thirty levels of 200-byte names: mid.bmp lies just under the 4,096 bytes that one system
  // call takes, deep.bmp and the three-page scan.tif at about 6,000.
  const std::string deep = DeepRelativePath(30, 200);
  const std::string mid = DeepRelativePath(20, 200);
  MakeDeepFolders(src_, deep);
  ASSERT_FALSE(HasFatalFailure());
  WriteBmp(src_ + "/top.bmp", 3, 2);
  WriteBmp(src_ + "/" + mid + "/mid.bmp", 3, 2);
  ASSERT_LT((src_ + "/" + mid + "/mid.jpg").size(), 4096u);
  const std::string srcDeep = ShortAlias(dir_.path(), "src/" + deep);
  WriteBmp(srcDeep + "/deep.bmp", 3, 2);
  WriteTiff(srcDeep + "/scan.tif", 4, 3, 3);
  ASSERT_GT((src_ + "/" + deep + "/deep.bmp").size(), 6000u);
  enum class Before { kNothing, kOldOutput, kReadOnlyFolder };  // in the deepest output folder
  struct Case {
    const char* label;
    std::vector<std::string> switches;
    bool besideSources;  // without d=: every output beside its source
    Before before;
    std::vector<std::string> deepLines;  // the console lines of deep.bmp and scan.tif
    std::vector<std::string> deepest;    // what the deepest output folder holds afterwards
  };
  const std::vector<std::string> kReady{" deep.bmp....Ready", " scan.tif....Ready"};
  const Case cases[] = {
      {"-sf into d= elsewhere, missing folders made",
       {"-sf"},
       false,
       Before::kNothing,
       kReady,
       {"deep.jpg", "scan.jpg"}},
      {"-sep splits the deep multi-page source",
       {"-sf", "-sep"},
       false,
       Before::kNothing,
       {" deep.bmp....Ready", " scan.tif..........Ready"},
       {"deep.jpg", "scan_p0.jpg", "scan_p1.jpg", "scan_p2.jpg"}},
      {"an existing deep output gets a counter",
       {"-sf"},
       false,
       Before::kOldOutput,
       kReady,
       {"deep(1).jpg", "deep.jpg", "scan.jpg"}},
      {"-ov replaces it",
       {"-sf", "-ov"},
       false,
       Before::kOldOutput,
       kReady,
       {"deep.jpg", "scan.jpg"}},
      {"a deep folder that cannot be written fails its files, each on its own line",
       {"-sf"},
       false,
       Before::kReadOnlyFolder,
       {" deep.bmp...Converting failed", " scan.tif...Converting failed"},
       {}},
      {"without d= the outputs go beside their sources",
       {"-sf"},
       true,
       Before::kNothing,
       kReady,
       {"deep.bmp", "deep.jpg", "scan.jpg", "scan.tif"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    RemoveTree(out_);
    fs::create_directory(out_);
    const std::string outRoot = c.besideSources ? src_ : out_;
    const std::string outDeep = ShortAlias(dir_.path(), (c.besideSources ? "src/" : "out/") + deep);
    if (c.before != Before::kNothing) MakeDeepFolders(out_, deep);
    if (c.before == Before::kOldOutput) WriteFile(outDeep + "/deep.jpg", "old");
    if (c.before == Before::kReadOnlyFolder) chmod(outDeep.c_str(), 0555);
    std::vector<std::string> args{"s=" + src_ + "/*.*"};
    if (!c.besideSources) args.push_back("d=" + out_);
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    ProcessResult r = RunXevraBinary(args, "/");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 2), " 4 graphic files found\n\n");
    std::vector<std::string> lines{" top.bmp....Ready", " mid.bmp....Ready"};
    lines.insert(lines.end(), c.deepLines.begin(), c.deepLines.end());
    EXPECT_EQ(ProgressLines(r.out), lines);
    bool allReady = std::all_of(lines.begin(), lines.end(),
                                [](const std::string& line) { return line.ends_with("Ready"); });
    EXPECT_EQ(r.exitCode, allReady ? 0 : 1);
    EXPECT_TRUE(fs::exists(outRoot + "/top.jpg"));
    EXPECT_TRUE(fs::exists(outRoot + "/" + mid + "/mid.jpg"));
    EXPECT_EQ(Tree(outDeep), c.deepest);
    for (const std::string& name : c.deepest) {
      if (name.find(".jpg") == std::string::npos) continue;
      if (c.before == Before::kOldOutput && name == "deep.jpg" && c.switches.back() != "-ov") {
        EXPECT_EQ(ReadFile(outDeep + "/" + name), "old");
        continue;
      }
      JpegInfo info;
      EXPECT_TRUE(ReadJpegInfo(outDeep + "/" + name, &info)) << name << " is a complete JPEG";
    }
  }
}

TEST_F(FaultTest, HundredThousandFilesInOneFolder) {
  for (int i = 0; i < 100000; ++i) {
    std::FILE* f = std::fopen((src_ + "/n" + std::to_string(i) + ".txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  WriteBmp(src_ + "/m1.bmp", 3, 2);
  WriteBmp(src_ + "/z9.bmp", 3, 2);
  ProcessResult r = RunXevraBinary({"s=" + src_ + "/*.bmp", "d=" + out_}, "/");
  EXPECT_EQ(r.out, " 2 graphic files found\n\n m1.bmp....Ready\n z9.bmp....Ready\n");
}

}  // namespace
