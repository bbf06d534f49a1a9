#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_platform.h"

namespace {

struct Parsed {
  CConvertSettings settings;
  CConvertJob job;
  bool help = false;
};

Parsed Parse(const std::vector<std::string>& args, bool cwdReadable = true) {
  FakePlatform platform;
  platform.cwdReadable = cwdReadable;
  Parsed parsed;
  InitConvertSettings(parsed.settings);
  std::vector<std::string> store{"xevra"};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : store) argv.push_back(s.data());
  parsed.help = ApplyArguments(static_cast<int>(argv.size()), argv.data(), parsed.settings,
                               parsed.job, platform);
  return parsed;
}

struct Case {
  const char* label;
  std::vector<std::string> args;
  std::string source = "";
  std::string mask = "";
  std::string dest = "";
  int quality = 75;
  int colorDepth = 24;
  int width = -1;
  int height = -1;
  float rotation = 0.0f;
  bool help = false;
  int jobs = 0;
  int shardIndex = 0;
  int shardCount = 0;
  int update = 0;
};

// The working directory of these cases is /work (see FakePlatform).
const Case kCases[] = {
    {.label = "absolute folder and mask, case kept",
     .args = {"s=/photos/*.JPG"},
     .source = "/photos",
     .mask = "*.JPG"},
    {.label = "root folder", .args = {"s=/*.bmp"}, .source = "/", .mask = "*.bmp"},
    {.label = "folder with trailing separator",
     .args = {"s=/photos/"},
     .source = "/photos",
     .mask = "*.*"},
    {.label = "doubled separator keeps one",
     .args = {"s=/photos//*.jpg"},
     .source = "/photos/",
     .mask = "*.jpg"},
    {.label = "folder without mask separator",
     .args = {"s=/photos"},
     .source = "/",
     .mask = "photos"},
    {.label = "relative folder", .args = {"s=photos/*.tif"}, .source = "photos", .mask = "*.tif"},
    {.label = "mask only", .args = {"s=*.tif"}, .source = "/work", .mask = "*.tif"},
    {.label = "empty source", .args = {"s="}, .source = "/work", .mask = "*.*"},
    {.label = "key in upper case", .args = {"S=/X/*.BMP"}, .source = "/X", .mask = "*.BMP"},
    {.label = "text before the key", .args = {"xs=/a/*.jpg"}, .source = "/a", .mask = "*.jpg"},
    {.label = "second source wins",
     .args = {"s=/a/*.jpg", "s=*.png"},
     .source = "/work",
     .mask = "*.png"},
    {.label = "s= inside a destination",
     .args = {"d=/years=2001"},
     .source = "/work",
     .mask = "2001"},
    {.label = "destination separator removed", .args = {"d=/out/"}, .dest = "/out"},
    {.label = "destination doubled separator", .args = {"d=/out//"}, .dest = "/out/"},
    {.label = "destination root stays", .args = {"d=/"}, .dest = "/"},
    {.label = "destination case kept", .args = {"D=/Out"}, .dest = "/Out"},
    {.label = "empty destination", .args = {"d="}, .dest = ""},
    {.label = "-cd=8 is a destination", .args = {"-cd=8"}, .dest = "8"},
    {.label = "quality", .args = {"-q90"}, .quality = 90},
    {.label = "quality in upper case", .args = {"-Q90"}, .quality = 90},
    {.label = "quality as two arguments", .args = {"-q", "90"}},
    {.label = "quality with equals sign", .args = {"-q=90"}},
    {.label = "negative quality stored", .args = {"-q-5"}, .quality = -5},
    {.label = "number stops at text", .args = {"-q90abc"}, .quality = 90},
    {.label = "later readable value wins", .args = {"-q90", "-q80", "-qx"}, .quality = 80},
    {.label = "over-long quality reads what fits", .args = {"-q12345"}, .quality = 1234},
    {.label = "colour depth", .args = {"-cd8"}, .colorDepth = 8},
    {.label = "width -1", .args = {"-w-1"}},
    {.label = "width", .args = {"-w640"}, .width = 640},
    {.label = "width then height in one argument", .args = {"-w640-h480"}, .width = 640},
    {.label = "over-long width reads what fits", .args = {"-w12345678901"}, .width = 123456789},
    {.label = "height", .args = {"-h480"}, .height = 480},
    {.label = "-help is a height without number", .args = {"-help"}},
    {.label = "rotation", .args = {"-rot90"}, .rotation = 90.0f},
    {.label = "rotation with space in one argument", .args = {"-rot 90"}, .rotation = 90.0f},
    {.label = "rotation with exponent", .args = {"-rot1.5e1"}, .rotation = 15.0f},
    {.label = "over-long rotation reads what fits",
     .args = {"-rot1234567890123456"},
     .rotation = 12345678901234.0f},
    {.label = "help", .args = {"-?"}, .help = true},
    {.label = "help with other switches",
     .args = {"s=/a/*.jpg", "-?", "-q50"},
     .source = "/a",
     .mask = "*.jpg",
     .quality = 50,
     .help = true},
    {.label = "argument without key", .args = {"/some/path.jpg", "90"}},
    {.label = "conversions at once", .args = {"-j3"}, .jobs = 3},
    {.label = "-j is tried after every other key", .args = {"-j4-q50"}, .quality = 50},
    {.label = "-j in a destination is the destination", .args = {"d=/a-j2"}, .dest = "/a-j2"},
    {.label = "part", .args = {"-shard2/7"}, .shardIndex = 2, .shardCount = 7},
    {.label = "part in upper case", .args = {"-SHARD0/1"}, .shardIndex = 0, .shardCount = 1},
    // Kept, so that the run converts nothing instead of everything.
    {.label = "part index past the count", .args = {"-shard7/7"}, .shardIndex = 7, .shardCount = 7},
    {.label = "part without count", .args = {"-shard2"}},
    {.label = "part of no parts", .args = {"-shard0/0"}},
    {.label = "part as two arguments", .args = {"-shard", "1/2"}},
    {.label = "later readable part wins",
     .args = {"-shard1/2", "-shard3/4", "-shardx"},
     .shardIndex = 3,
     .shardCount = 4},
    {.label = "-shard= holds d=", .args = {"-shard=1/2"}, .dest = "1/2"},
    {.label = "update", .args = {"-u"}, .update = 1},
    {.label = "update in upper case", .args = {"-U"}, .update = 1},
    {.label = "-u is tried after every other key", .args = {"-u-q50"}, .quality = 50},
    {.label = "-u in a destination is the destination", .args = {"d=/a-u"}, .dest = "/a-u"},
};

TEST(Options, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.job.m_strSource, c.source);
    EXPECT_EQ(p.job.m_strMask, c.mask);
    EXPECT_EQ(p.job.m_strDest, c.dest);
    EXPECT_EQ(p.settings.m_jpg.nQuality, c.quality);
    EXPECT_EQ(p.settings.m_jpg.nColorDepth, c.colorDepth);
    EXPECT_EQ(p.settings.m_jpg.nWidth, c.width);
    EXPECT_EQ(p.settings.m_jpg.nHeight, c.height);
    EXPECT_EQ(p.settings.m_jpg.fRotation, c.rotation);
    EXPECT_EQ(p.help, c.help);
    EXPECT_EQ(p.settings.m_nJobs, c.jobs);
    EXPECT_EQ(p.settings.m_nShardIndex, c.shardIndex);
    EXPECT_EQ(p.settings.m_nShardCount, c.shardCount);
    EXPECT_EQ(p.settings.m_bUpdate, c.update);
  }
}

TEST(Options, FlagsSetOnlyTheirFieldAndOnlyTheJpegRecord) {
  Parsed p = Parse({"-SF", "-Prop", "-sep", "-ov", "-w10", "-h20", "-rot45"});
  EXPECT_EQ(p.settings.m_bSubfolders, 1);
  EXPECT_EQ(p.settings.m_jpg.bProportional, 1);
  EXPECT_EQ(p.settings.m_bSeparatePages, 1);
  EXPECT_EQ(p.settings.m_bOverwrite, 1);
  EXPECT_EQ(p.settings.m_nFormat, kFormatJpg);
  EXPECT_EQ(p.settings.m_bSingleFile, 0);
  for (const SaveHeader* h : {static_cast<const SaveHeader*>(&p.settings.m_bmp),
                              static_cast<const SaveHeader*>(&p.settings.m_tif),
                              static_cast<const SaveHeader*>(&p.settings.m_gif)}) {
    EXPECT_EQ(h->nWidth, -1);
    EXPECT_EQ(h->nHeight, -1);
    EXPECT_EQ(h->bProportional, 0);
    EXPECT_EQ(h->fRotation, 0.0f);
  }
}

TEST(Options, FlagArgumentCarriesOnlyItsFirstKey) {
  // "-sf-ov" holds two keys; "-ov" comes first in the order and alone takes effect.
  Parsed p = Parse({"-sf-ov"});
  EXPECT_EQ(p.settings.m_bOverwrite, 1);
  EXPECT_EQ(p.settings.m_bSubfolders, 0);
}

TEST(Options, UnreadableWorkingDirectoryLeavesSourceEmpty) {
  Parsed p = Parse({"s=*.tif"}, /*cwdReadable=*/false);
  EXPECT_EQ(p.job.m_strSource, "");
  EXPECT_EQ(p.job.m_strMask, "*.tif");
}

}  // namespace
