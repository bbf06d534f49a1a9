// Names as real trees hold them: every byte but "/" and NUL, long components, long paths and
// crowded folders. They reach the outputs and the console unchanged.
#include <filesystem>

#include "faults/fault_support.h"
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

TEST_F(FaultTest, DeepPathsOfFourThousandBytes) {
  // Sixteen levels of 245-byte folder names: the deepest source is about 4,000 bytes long.
  std::string relative;
  for (int level = 0; level < 16; ++level) {
    relative += (level == 0 ? "" : "/") + std::string(244, static_cast<char>('a' + level)) + "D";
  }
  fs::create_directories(src_ + "/" + relative);
  WriteBmp(src_ + "/" + relative + "/deep.bmp", 3, 2);
  ASSERT_GT((src_ + "/" + relative + "/deep.bmp").size(), 3950u);
  ProcessResult r = Convert({"-sf"});
  EXPECT_EQ(ProgressLines(r.out), std::vector<std::string>{" deep.bmp....Ready"});
  EXPECT_TRUE(fs::exists(out_ + "/" + relative + "/deep.jpg"));
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
