// scripts/split-jobs: the per-folder command lines it prints for a tree, and that those lines,
// run by a shell one after the other, write exactly what one run over the whole tree writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

const std::string kScript = XEVRA_SOURCE_DIR "/scripts/split-jobs";

ProcessResult SplitJobs(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> all{kScript};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram("/bin/bash", all, cwd);
}

// Creates each entry below root: a name ending in "/" is a folder, any other a file.
void MakeTree(const std::string& root, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    fs::path path = fs::path(root) / entry;
    if (entry.back() == '/') {
      fs::create_directories(path);
    } else {
      fs::create_directories(path.parent_path());
      WriteFile(path.string(), "x");
    }
  }
}

struct LinesCase {
  const char* name;
  std::vector<std::string> tree;  // below src/
  std::vector<std::string> switches;
  std::string expected;  // the script's whole output, run as: split-jobs src dst ...
};

void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }

class SplitJobsLines : public testing::TestWithParam<LinesCase> {};

TEST_P(SplitJobsLines, PrintsOneQuotedLinePerJob) {
  const LinesCase& c = GetParam();
  TempDir dir;
  fs::create_directory(dir / "src");
  MakeTree(dir / "src", c.tree);
  std::vector<std::string> args{"src", "dst"};
  args.insert(args.end(), c.switches.begin(), c.switches.end());
  ProcessResult r = SplitJobs(args, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, SplitJobsLines,
    testing::Values(
        LinesCase{"Spaces",
                  {"a.bmp", "two words/b.bmp", " lead/c.bmp"},
                  {"-q90"},
                  "xevra 's=src/*.*' d=dst -q90\n"
                  "xevra 's=src/ lead/*.*' 'd=dst/ lead' -sf -q90\n"
                  "xevra 's=src/two words/*.*' 'd=dst/two words' -sf -q90\n"},
        LinesCase{"Quotes",
                  {"it's/a.bmp", "say \"hi\"/b.bmp", "$HOME `x`/c.bmp", "back\\slash/d.bmp"},
                  {},
                  "xevra 's=src/$HOME `x`/*.*' 'd=dst/$HOME `x`' -sf\n"
                  "xevra 's=src/back\\slash/*.*' 'd=dst/back\\slash' -sf\n"
                  "xevra 's=src/it'\\''s/*.*' 'd=dst/it'\\''s' -sf\n"
                  "xevra 's=src/say \"hi\"/*.*' 'd=dst/say \"hi\"//' -sf\n"},
        // A folder without a file at any depth would only print "0 graphic files found".
        LinesCase{"EmptyFolders",
                  {"empty/", "nested/deeper/", "full/deep/er/a.bmp"},
                  {},
                  "xevra 's=src/full/*.*' d=dst/full -sf\n"},
        LinesCase{"FilesInTheRootOnly",
                  {"a.bmp", "b.png", "empty/"},
                  {"-w100", "-prop", "-?"},
                  "xevra 's=src/*.*' d=dst -w100 -prop '-?'\n"},
        LinesCase{"NothingAtAll", {}, {}, ""},
        // Byte order, so that the list is the same on every machine whatever its locale.
        LinesCase{"ByteOrder",
                  {"b/x", "B/x", "a/x", "_/x"},
                  {},
                  "xevra 's=src/B/*.*' d=dst/B -sf\n"
                  "xevra 's=src/_/*.*' d=dst/_ -sf\n"
                  "xevra 's=src/a/*.*' d=dst/a -sf\n"
                  "xevra 's=src/b/*.*' d=dst/b -sf\n"}),
    [](const testing::TestParamInfo<LinesCase>& param) { return std::string(param.param.name); });

TEST(SplitJobs, MaskAndProgramAreTakenAsGiven) {
  TempDir dir;
  MakeTree(dir / "src", {"a.bmp", "sub/b.bmp"});
  ProcessResult r = RunProgram("/bin/bash", {kScript, "--mask=*.BMP", "src/", "dst/"}, dir.path(),
                               {"XEVRA=/opt/x y/xevra"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "'/opt/x y/xevra' 's=src/*.BMP' d=dst\n"
            "'/opt/x y/xevra' 's=src/sub/*.BMP' d=dst/sub -sf\n");
}

struct RefusedCase {
  const char* name;
  std::vector<std::string> tree;
  std::vector<std::string> args;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class SplitJobsRefuses : public testing::TestWithParam<RefusedCase> {};

// What no line could express is refused, rather than printed as a job that would write
// somewhere else.
TEST_P(SplitJobsRefuses, PrintsNothingAndFails) {
  const RefusedCase& c = GetParam();
  TempDir dir;
  fs::create_directory(dir / "src");
  MakeTree(dir / "src", c.tree);
  ProcessResult r = SplitJobs(c.args, dir.path());
  EXPECT_EQ(r.exitCode, c.args.size() < 2 ? 2 : 1);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitJobsRefuses,
    testing::Values(
        // xevra would read "d=dst/jobs=2" as a source, since it looks for "s=" first.
        RefusedCase{"FolderHoldsSourceKey", {"jobs=2/a.bmp"}, {"src", "dst"}},
        RefusedCase{"FolderHoldsSourceKeyInCapitals", {"JOBS=2/a.bmp"}, {"src", "dst"}},
        // The root's line would come first: nothing of the list may be printed.
        RefusedCase{"RootFilesBeforeBadFolder", {"a.bmp", "jobs=2/b.bmp"}, {"src", "dst"}},
        RefusedCase{"DestinationHoldsSourceKey", {"a.bmp"}, {"src", "out/runs=1"}},
        RefusedCase{"FolderHoldsLineBreak", {"two\nlines/a.bmp"}, {"src", "dst"}},
        RefusedCase{"SwitchSetsDestination", {"a.bmp"}, {"src", "dst", "-cd=8"}},
        RefusedCase{"SwitchSetsSource", {"a.bmp"}, {"src", "dst", "s=other/*.*"}},
        RefusedCase{"SwitchSetsSubfolders", {"a.bmp"}, {"src", "dst", "-sf"}},
        RefusedCase{"MaskHoldsFolder", {"a.bmp"}, {"--mask=x/*.bmp", "src", "dst"}},
        RefusedCase{"MissingSource", {}, {"nowhere", "dst"}},
        RefusedCase{"TooFewArguments", {}, {"src"}}),
    [](const testing::TestParamInfo<RefusedCase>& param) { return std::string(param.param.name); });

// Every file below root with its bytes, relative to root; folders end in "/".
std::vector<std::pair<std::string, std::string>> Contents(const std::string& root) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    if (e.is_directory()) {
      entries.emplace_back(rel + "/", "");
    } else {
      entries.emplace_back(rel, ReadFile(e.path().string()));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(SplitJobs, LinesRunByAShellWriteWhatOneRunWrites) {
  TempDir dir;
  const std::string src = dir / "src";
  for (const char* folder :
       {"it's here/deeper", "$HOME `id`", "ends \"quoted\"", "pages", "empty/deeper"}) {
    fs::create_directories(src + "/" + folder);
  }
  // Names a shell would split or expand, a folder name ending in a quote mark, outputs that collide
  // within a folder (a.bmp and a.png both want a.jpg), and a page split, at several depths.
  WriteBmp(src + "/a.bmp", 12, 8, 1);
  WritePng(src + "/a.png", 9, 7);
  WriteBmp(src + "/it's here/x.bmp", 10, 6, 2);
  WriteBmp(src + "/it's here/deeper/y z.bmp", 5, 5, 3);
  WriteBmp(src + "/$HOME `id`/\"q\".bmp", 7, 9, 4);
  WriteBmp(src + "/ends \"quoted\"/q.bmp", 8, 8, 6);
  WriteTiff(src + "/pages/scan.tif", 6, 4, 3);
  WriteBmp(src + "/pages/scan.bmp", 6, 4, 5);
  const std::vector<std::string> switches{"-q90", "-w20", "-prop", "-sep", "-j1"};

  fs::create_directory(dir / "one");
  std::vector<std::string> single{"s=" + src + "/*.*", "d=" + (dir / "one"), "-sf"};
  single.insert(single.end(), switches.begin(), switches.end());
  ProcessResult whole = RunXevraBinary(single, dir.path());
  ASSERT_EQ(whole.exitCode, 0) << whole.out;

  // The destination root exists before the jobs start: each job creates only its own
  // folder, one level below it.
  fs::create_directory(dir / "split");
  std::vector<std::string> args{src, dir / "split"};
  args.insert(args.end(), switches.begin(), switches.end());
  std::vector<std::string> all{kScript};
  all.insert(all.end(), args.begin(), args.end());
  ProcessResult lines =
      RunProgram("/bin/bash", all, dir.path(), {std::string("XEVRA=") + XEVRA_BINARY});
  ASSERT_EQ(lines.exitCode, 0);
  EXPECT_EQ(std::count(lines.out.begin(), lines.out.end(), '\n'), 5) << lines.out;
  WriteFile(dir / "jobs", lines.out);
  // sh -e: every job must succeed, as a scheduler would require of each.
  ProcessResult ran = RunProgram("/bin/sh", {"-e", dir / "jobs"}, dir.path());
  ASSERT_EQ(ran.exitCode, 0) << ran.out;

  auto expected = Contents(dir / "one");
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(Contents(dir / "split"), expected);
}

}  // namespace
