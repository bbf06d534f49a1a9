// Conversions run side by side must give exactly what one after the other gives: the same
// console text, the same names and the same bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "codec/image_interface.h"
#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

// A tree full of what makes the order matter: names that collide within the batch and with
// existing files, pages, failures and sub-folders.
void MakeCorpus(const std::string& src, const std::string& out) {
  fs::create_directories(src + "/sub/deeper");
  fs::create_directories(src + "/blocked");
  fs::create_directories(out);
  for (int i = 0; i < 6; ++i) {
    std::string n = i == 0 ? "x" : "x(" + std::to_string(i) + ")";
    WriteBmp(src + "/" + n + ".bmp", 40 + i, 30, i);
    WriteTiff(src + "/" + n + ".tif", 20, 10 + i, 1);
  }
  WriteTiff(src + "/p.tif", 30, 20, 3);
  WriteBmp(src + "/p_p0.bmp", 10, 10);
  WriteBmp(src + "/p_p1(1).bmp", 11, 10);
  WriteFile(out + "/p_p1.jpg", "taken before");
  WriteFile(src + "/broken.bmp", "BM broken");
  WriteBmp(src + "/ro.bmp", 5, 5);
  WriteFile(out + "/ro.jpg", "read-only");
  chmod((out + "/ro.jpg").c_str(), 0444);
  for (int i = 0; i < 12; ++i) WriteBmp(src + "/sub/s" + std::to_string(i) + ".bmp", 64, 48, i);
  WriteTiff(src + "/sub/deeper/s0.tif", 8, 8, 2);
  WriteBmp(src + "/blocked/z.bmp", 4, 4);
  WriteFile(out + "/blocked", "a file where a folder should be");
}

struct Mode {
  const char* label;
  std::vector<std::string> switches;
};

TEST(Parallel, SameTextNamesAndBytesAsOneAtATime) {
  const Mode modes[] = {
      {"free names", {"-sf", "-sep"}},
      {"overwriting", {"-sf", "-sep", "-ov"}},
      {"resized and turned", {"-sf", "-w17", "-h13", "-prop", "-rot30"}},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.label);
    std::map<std::string, std::string> trees[2];
    std::string texts[2];
    const char* jobs[2] = {"-j1", "-j8"};
    for (int run = 0; run < 2; ++run) {
      TempDir dir;
      MakeCorpus(dir / "src", dir / "out");
      std::vector<std::string> args{"s=" + dir.path() + "/src/*.*", "d=" + dir.path() + "/out",
                                    jobs[run]};
      args.insert(args.end(), mode.switches.begin(), mode.switches.end());
      ProcessResult r = RunXevraBinary(args, "/");
      EXPECT_EQ(r.exitCode, 1) << "the corpus holds failures";
      texts[run] = r.out;
      trees[run] = TreeContents(dir / "out");
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(trees[0].size(), trees[1].size());
    for (const auto& [name, bytes] : trees[0]) {
      auto other = trees[1].find(name);
      ASSERT_NE(other, trees[1].end()) << name << " is missing in parallel";
      EXPECT_TRUE(other->second == bytes) << name << " differs";
    }
  }
}

TEST(Parallel, OutputsBesideTheirSourcesAreReadAfterTheyAreWritten) {
  // With -ov and no destination, c.bmp writes c.jpg, which is itself a later source: it must
  // be read as c.bmp left it, whatever runs at the same time.
  std::map<std::string, std::string> trees[2];
  std::string texts[2];
  const char* jobs[2] = {"-j1", "-j4"};
  for (int run = 0; run < 2; ++run) {
    TempDir dir;
    WriteBmp(dir / "c.bmp", 300, 200, 1);
    WriteBmp(dir / "old.bmp", 20, 20, 2);
    ProcessResult first = RunXevraBinary({"s=" + dir.path() + "/old.bmp", "-j1"}, "/");
    ASSERT_EQ(first.exitCode, 0);
    fs::rename(dir / "old.jpg", dir / "c.jpg");
    for (int i = 0; i < 6; ++i) WriteBmp(dir / ("a" + std::to_string(i) + ".bmp"), 200, 100, i);
    ProcessResult r = RunXevraBinary({"s=" + dir.path() + "/*.*", "-ov", jobs[run]}, "/");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    texts[run] = r.out;
    trees[run] = TreeContents(dir.path());
    JpegInfo info;
    ASSERT_TRUE(ReadJpegInfo(dir / "c.jpg", &info));
    EXPECT_EQ(info.width, 300) << jobs[run] << ": c.jpg was read before c.bmp replaced it";
  }
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_TRUE(trees[0] == trees[1]);
}

// One large image, or the pages of one file, with a second core: decoding runs beside
// encoding and pages overlap, yet the console text and every byte are those of one core.
TEST(Parallel, LargeImagesAndSplitPagesAsOnOneCore) {
  const fs::path corpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "valid";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  TempDir made;
  // A deflate TIFF of many strips, by our own writer, from a 1.44-megapixel BMP.
  WriteBmp(made / "wide.bmp", 1600, 900, 3);
  CImageInterface codec;
  ASSERT_NE(codec.Load((made / "wide.bmp").c_str()), 0);
  _SAVEIMAGEINFO::_TIF tif;
  InitSaveInfo(tif);
  ASSERT_NE(codec.Save((made / "strips.tif").c_str(), &tif), 0);
  codec.CloseHandle();
  WritePng(made / "big.png", 1300, 1000);
  WriteTiff(made / "pages.tif", 700, 500, 5);
  struct Case {
    const char* label;
    std::string source;
    std::vector<std::string> switches;
  };
  const Case kCases[] = {
      {"multi-strip deflate TIFF", made / "strips.tif", {}},
      {"tiled TIFF enlarged",
       (corpus / "tiff/libtiffpic/cramps-tile.tif").string(),
       {"-w2000", "-prop"}},
      {"PNG", made / "big.png", {}},
      {"PNG resized and turned", made / "big.png", {"-w900", "-prop", "-rot30"}},
      {"BMP quarter turn", made / "wide.bmp", {"-rot90"}},
      {"TIFF pages split", made / "pages.tif", {"-sep"}},
      {"GIF frames split", (corpus / "gif/danbooru/test-animated-400x281.gif").string(), {"-sep"}},
      {"GIF frames split and resized",
       (corpus / "gif/image-rs/large-gif-anim-combine.gif").string(),
       {"-sep", "-w300", "-prop"}},
      {"WebP frames split", (corpus / "webp/image-rs/anim.webp").string(), {"-sep"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(fs::exists(c.source)) << c.source;
    std::map<std::string, std::string> trees[2];
    std::string texts[2];
    const char* jobs[2] = {"-j1", "-j2"};
    for (int run = 0; run < 2; ++run) {
      TempDir dir;
      fs::create_directories(dir / "src");
      fs::copy_file(c.source, dir / ("src/" + fs::path(c.source).filename().string()));
      std::vector<std::string> args{"s=" + dir.path() + "/src/*.*", "d=" + dir.path() + "/out",
                                    jobs[run]};
      args.insert(args.end(), c.switches.begin(), c.switches.end());
      ProcessResult r = RunXevraBinary(args, "/");
      EXPECT_EQ(r.exitCode, 0) << r.out;
      texts[run] = r.out;
      trees[run] = TreeContents(dir / "out");
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_GE(trees[0].size(), 1u);
    EXPECT_TRUE(trees[0] == trees[1]) << "outputs differ between -j1 and -j2";
  }
}

}  // namespace
