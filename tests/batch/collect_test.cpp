#include "batch/collect.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fake_platform.h"
#include "support/process.h"

namespace {

// Builds a tree below dir: names ending in '/' are folders, "name -> target" a link.
void MakeTree(const TempDir& dir, const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    size_t arrow = p.find(" -> ");
    if (arrow != std::string::npos) {
      ASSERT_EQ(symlink(p.substr(arrow + 4).c_str(), (dir / p.substr(0, arrow)).c_str()), 0);
    } else if (p.back() == '/') {
      ASSERT_EQ(mkdir((dir / p).c_str(), 0755), 0) << p;
    } else {
      WriteFile(dir / p, "x");
    }
  }
}

std::string Cwd() {
  std::string cwd;
  PosixPlatform().CurrentDir(&cwd);
  return cwd;
}

// Collects below the tree's real path and returns the entries relative to it.
std::vector<std::string> Collect(const TempDir& dir, const std::string& source,
                                 const std::string& mask, bool subfolders, Platform& platform) {
  CConvertJob job;
  job.m_strSource = source;
  job.m_strMask = mask;
  std::string before = Cwd();
  CollectSourceFiles(job, subfolders ? 1 : 0, platform);
  EXPECT_EQ(Cwd(), before) << "the current directory is restored";
  char* real = realpath(dir.path().c_str(), nullptr);
  std::string prefix = std::string(real) + "/";
  free(real);
  std::vector<std::string> relative;
  for (const std::string& f : job.m_files) {
    EXPECT_EQ(f.rfind(prefix, 0), 0u) << f << " is absolute below " << prefix;
    relative.push_back(f.substr(std::min(prefix.size(), f.size())));
  }
  return relative;
}

using Files = std::vector<std::string>;

struct TreeCase {
  const char* label;
  Files tree;
  const char* mask;
  bool subfolders;
  Files expected;
};

const TreeCase kTreeCases[] = {
    {"each folder's files before its sub-folders, depth first",
     {"b.jpg", "a.jpg", "X/", "X/c.jpg", "X/Y/", "X/Y/d.jpg", "Z/", "Z/e.jpg"},
     "*.jpg",
     true,
     {"a.jpg", "b.jpg", "X/c.jpg", "X/Y/d.jpg", "Z/e.jpg"}},
    {"without sub-folders only the top", {"a.jpg", "X/", "X/c.jpg"}, "*.jpg", false, {"a.jpg"}},
    {"a folder matching the mask is entered, never listed",
     {"x.jpg/", "x.jpg/in.jpg", "y.jpg"},
     "*.jpg",
     true,
     {"y.jpg", "x.jpg/in.jpg"}},
    {"sub-folders not matching the mask are entered",
     {"sub/", "sub/a.bmp"},
     "*.bmp",
     true,
     {"sub/a.bmp"}},
    {"every name for *.*, also without a dot",
     {"readme", "a.b", ".hidden"},
     "*.*",
     false,
     {".hidden", "a.b", "readme"}},
    {"hidden files and case-blind masks",
     {".h.JPG", "a.Jpg", "b.png"},
     "*.jpg",
     false,
     {".h.JPG", "a.Jpg"}},
    {"mask without wildcards",
     {"photo.jpg", "photo.jpgx", "PHOTO.JPG"},
     "photo.jpg",
     false,
     {"PHOTO.JPG", "photo.jpg"}},
    {"empty mask matches nothing", {"a.jpg"}, "", true, {}},
    {"link back to an ancestor is not followed",
     {"a.jpg", "S/", "S/b.jpg", "S/up -> ..", "S/self -> ."},
     "*.jpg",
     true,
     {"a.jpg", "S/b.jpg"}},
    {"link to a folder elsewhere is followed",
     {"T/", "T/t.jpg", "U/", "U/to-t -> ../T"},
     "*.jpg",
     true,
     {"T/t.jpg", "U/to-t/t.jpg"}},
};

TEST(Collect, Trees) {
  for (const TreeCase& c : kTreeCases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    MakeTree(dir, c.tree);
    PosixPlatform platform;
    EXPECT_EQ(Collect(dir, dir.path(), c.mask, c.subfolders, platform), c.expected);
  }
}

TEST(Collect, RelativeAndTrailingSeparatorSourcesGiveAbsoluteEntries) {
  TempDir dir;
  MakeTree(dir, {"photos/", "photos/a.jpg", "photos/X/", "photos/X/b.jpg"});
  PosixPlatform platform;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const Files expected{"photos/a.jpg", "photos/X/b.jpg"};
  EXPECT_EQ(Collect(dir, "photos", "*.jpg", true, platform), expected);
  EXPECT_EQ(Collect(dir, "photos/", "*.jpg", true, platform), expected);
  EXPECT_EQ(Collect(dir, "./photos/X/..", "*.jpg", true, platform), expected);
  ASSERT_EQ(chdir("/"), 0);
}

TEST(Collect, MissingOrEmptySourceGivesNothing) {
  TempDir dir;
  PosixPlatform platform;
  EXPECT_EQ(Collect(dir, dir / "missing", "*.*", true, platform), Files{});
  EXPECT_EQ(Collect(dir, dir.path(), "*.*", true, platform), Files{});
  EXPECT_EQ(Collect(dir, "", "", true, platform), Files{});
  WriteFile(dir / "file", "x");
  EXPECT_EQ(Collect(dir, dir / "file", "*.*", true, platform), Files{}) << "not a folder";
}

TEST(Collect, RefusedFolderContributesNothingAndTheWalkGoesOn) {
  TempDir dir;
  MakeTree(dir, {"A/", "A/a.jpg", "A/deep/", "A/deep/d.jpg", "B/", "B/b.jpg", "top.jpg"});
  char* real = realpath(dir.path().c_str(), nullptr);
  std::string root = real;
  free(real);
  RefusingPlatform platform;
  platform.refused.insert(root + "/A");
  EXPECT_EQ(Collect(dir, dir.path(), "*.jpg", true, platform), (Files{"top.jpg", "B/b.jpg"}));
  platform.refused.insert(dir.path());
  EXPECT_EQ(Collect(dir, dir.path(), "*.jpg", true, platform), Files{});
}

TEST(Collect, RootAsSourceHasOneSeparator) {
  std::string name = "xevra-collect-" + std::to_string(getpid()) + ".probe";
  std::string path = "/" + name;
  WriteFile(path, "x");
  if (access(path.c_str(), F_OK) != 0) GTEST_SKIP() << "cannot write a file into /";
  CConvertJob job;
  job.m_strSource = "/";
  job.m_strMask = name;
  CollectSourceFiles(job, 0, SystemPlatform());
  unlink(path.c_str());
  EXPECT_EQ(job.m_files, Files{path});
}

TEST(Collect, AppendsAfterExistingEntries) {
  TempDir dir;
  MakeTree(dir, {"a.jpg"});
  CConvertJob job;
  job.m_files = {"earlier"};
  job.m_strSource = dir.path();
  job.m_strMask = "*.jpg";
  CollectSourceFiles(job, 0, SystemPlatform());
  ASSERT_EQ(job.m_files.size(), 2u);
  EXPECT_EQ(job.m_files[0], "earlier");
}

TEST(CollectBinary, PrintsTheFoundCount) {
  TempDir dir;
  TempDir out;
  MakeTree(dir, {"a.JPG", "X/", "X/b.jpg", "X/c.png"});
  ProcessResult r = RunXevraBinary({"s=" + dir.path() + "/*.jpg", "-sf", "d=" + out.path()}, "/");
  EXPECT_EQ(r.out.rfind(" 2 graphic files found\n\n", 0), 0u) << r.out;
  r = RunXevraBinary({"s=" + dir.path() + "/*.none", "-sf"}, "/");
  EXPECT_EQ(r.out, " 0 graphic files found\n\n");
  EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
