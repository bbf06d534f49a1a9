#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/long_path.h"
#include "platform/text.h"
#include "support/deep_paths.h"
#include "support/process.h"

namespace {

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

const MatchCase kMatchCases[] = {
    {"*.*", "readme", true},
    {"*.*", ".hidden", true},
    {"*.*", ".", true},
    {"*.jpg", "a.jpg", true},
    {"*.jpg", "A.JPG", true},
    {"*.JPG", "a.jpg", true},
    {"*.jpg", "a.jpg.bak", false},
    {"*.jpg", ".jpg", true},
    {"*.jpg", "ajpg", false},
    {"a?c", "abc", true},
    {"a?c", "ac", false},
    {"a?c", "abbc", false},
    {"*", "", true},
    {"*", "anything", true},
    {"", "a", false},
    {"[ab].jpg", "[ab].jpg", true},
    {"[ab].jpg", "a.jpg", false},
    {"a*b*c", "aXbYbZc", true},
    {"a*b*c", "aXbYbZ", false},
    {"photo", "PHOTO", true},
    {"photo", "photos", false},
    {"**x", "x", true},
    {"*.b?p", "scan.bmp", true},
    {"?", "\xc3\xa9", true},
};

TEST(Platform, WildcardMatching) {
  setlocale(LC_ALL, "C.UTF-8");
  for (const MatchCase& c : kMatchCases) {
    EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.matches)
        << "pattern '" << c.pattern << "' name '" << c.name << "'";
  }
  setlocale(LC_ALL, "C");
}

TEST(Platform, ResolveDots) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/./c", "/a/b/c"}, {"/a/b/../c", "/a/c"},  {"/..", "/"}, {"/../a", "/a"},
      {"/a//b", "/a/b"},      {"/a/b/..", "/a"},      {"/", "/"},   {"/a/.", "/a"},
      {"/a/..b", "/a/..b"},   {"/a/b/../../..", "/"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(ResolveDots(in), out) << in;
}

TEST(Platform, FullPathJoinsTheCurrentDirectory) {
  TempDir dir;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  PosixPlatform platform;
  std::string cwd;
  ASSERT_TRUE(platform.CurrentDir(&cwd));
  EXPECT_EQ(platform.FullPath("*.jpg"), cwd + "/*.jpg");
  EXPECT_EQ(platform.FullPath("../x/*.*"), ResolveDots(cwd + "/..") + "/x/*.*");
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(platform.FullPath("*.*"), "/*.*");
}

TEST(Platform, WriteAccessCountsOnlyExistingWritableThings) {
  TempDir dir;
  PosixPlatform platform;
  WriteFile(dir / "file", "x");
  WriteFile(dir / "readonly", "x");
  chmod((dir / "readonly").c_str(), 0444);
  mkdir((dir / "folder").c_str(), 0755);
  mkdir((dir / "rofolder").c_str(), 0555);
  EXPECT_TRUE(platform.IsWritable(dir / "file"));
  EXPECT_TRUE(platform.IsWritable(dir / "folder"));
  // Root may write anything, but a file without write bits still counts as read-only.
  EXPECT_FALSE(platform.IsWritable(dir / "readonly"));
  EXPECT_FALSE(platform.IsWritable(dir / "rofolder"));
  EXPECT_FALSE(platform.IsWritable(dir / "missing"));
  EXPECT_FALSE(platform.IsWritable(dir / "missing/below"));
}

TEST(Platform, MakeDirAndRemoveFile) {
  TempDir dir;
  PosixPlatform platform;
  EXPECT_TRUE(platform.MakeDir(dir / "one"));
  EXPECT_FALSE(platform.MakeDir(dir / "one"));
  EXPECT_FALSE(platform.MakeDir(dir / "two/levels"));
  EXPECT_FALSE(platform.RemoveFile(dir / "one"));  // never a folder
  EXPECT_TRUE(platform.IsWritable(dir / "one"));
  WriteFile(dir / "f", "x");
  EXPECT_TRUE(platform.RemoveFile(dir / "f"));
  EXPECT_FALSE(platform.RemoveFile(dir / "f"));
}

TEST(Platform, EnumerationIsSortedAndMarksFolders) {
  TempDir dir;
  for (const char* name : {"b.jpg", "B.jpg", "a.JPG", "c.txt", ".hidden.jpg"}) {
    WriteFile(dir / name, "x");
  }
  mkdir((dir / "d.jpg").c_str(), 0755);
  ASSERT_EQ(symlink("d.jpg", (dir / "link.jpg").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir / "dangling.jpg").c_str()), 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  PosixPlatform platform;
  std::vector<DirEntry> entries = platform.Enumerate("*.jpg");
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name + (e.isFolder ? "/" : ""));
  EXPECT_EQ(names, (std::vector<std::string>{".hidden.jpg", "a.JPG", "B.jpg", "b.jpg", "d.jpg/",
                                             "dangling.jpg", "link.jpg/"}));
  std::vector<DirEntry> all = platform.Enumerate("*.*");
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[0].name, ".");
  EXPECT_EQ(all[1].name, "..");
  EXPECT_TRUE(all[0].isFolder && all[1].isFolder);
  auto link = std::find_if(entries.begin(), entries.end(),
                           [](const DirEntry& e) { return e.name == "link.jpg"; });
  auto target = std::find_if(entries.begin(), entries.end(),
                             [](const DirEntry& e) { return e.name == "d.jpg"; });
  EXPECT_EQ(link->inode, target->inode);
  ASSERT_EQ(chdir("/"), 0);
}

TEST(Platform, PathsLongerThanOneSystemCallTakes) {
  TempDir dir;
  PosixPlatform platform;
  // Thirty levels of 200-byte names, each made from its full text: about 6,000 bytes.
  const std::string relative = DeepRelativePath(30, 200);
  const std::string deep = dir / relative;
  ASSERT_GT(deep.size(), 6000u);
  for (size_t slash = relative.find('/');; slash = relative.find('/', slash + 1)) {
    ASSERT_TRUE(platform.MakeDir(dir / relative.substr(0, slash))) << slash;
    if (slash == std::string::npos) break;
  }
  const std::string parent = deep.substr(0, deep.rfind('/'));
  const std::string alias = ShortAlias(dir.path(), relative);  // the test's own way in
  EXPECT_TRUE(platform.IsFolder(deep));
  EXPECT_TRUE(platform.IsFolder(dir.path() + "//" + relative + "/"));
  EXPECT_TRUE(platform.IsWritable(deep + "/.." + deep.substr(parent.size())));
  EXPECT_FALSE(platform.MakeDir(deep));

  // Outputs: made, written through the codec's open, published, replaced and discarded.
  WriteFile(alias + "/taken.jpg", "old");
  std::string temp;
  ASSERT_TRUE(platform.CreateTempFile(deep, &temp));
  EXPECT_EQ(temp.rfind(deep + "/.xevra-", 0), 0u);
  int fd = OpenAnyLength(temp.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "new", 3), 3);
  close(fd);
  EXPECT_FALSE(platform.PublishFile(temp, deep + "/taken.jpg", false));
  EXPECT_TRUE(platform.PublishFile(temp, deep + "/free.jpg", false));
  EXPECT_EQ(ReadFile(alias + "/free.jpg"), "new");
  ASSERT_TRUE(platform.CreateTempFile(deep, &temp));
  EXPECT_TRUE(platform.IsWritable(temp));
  EXPECT_TRUE(platform.PublishFile(temp, deep + "/taken.jpg", true));
  EXPECT_EQ(ReadFile(alias + "/taken.jpg"), "");
  ASSERT_TRUE(platform.CreateTempFile(deep, &temp));
  platform.DiscardTempFile(temp);
  EXPECT_FALSE(platform.RemoveFile(deep + "/missing.jpg"));
  EXPECT_TRUE(platform.RemoveFile(deep + "/free.jpg"));
  EXPECT_EQ(ListTree(alias), std::vector<std::string>{"taken.jpg"});

  // Entered, listed and named like any folder, and left again.
  ASSERT_TRUE(platform.ChangeDir(deep));
  std::string cwd;
  EXPECT_TRUE(platform.CurrentDir(&cwd));
  EXPECT_EQ(cwd, deep);
  EXPECT_EQ(platform.FullPath("*.jpg"), deep + "/*.jpg");
  std::vector<DirEntry> entries = platform.Enumerate("*.jpg");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "taken.jpg");
  EXPECT_TRUE(platform.ChangeDir(".."));
  EXPECT_TRUE(platform.CurrentDir(&cwd));
  EXPECT_EQ(cwd, parent);
  ASSERT_EQ(chdir("/"), 0);
}

TEST(Text, SearchesStepByCharacter) {
  setlocale(LC_ALL, "C.UTF-8");
  std::string lowered = "S=/Ph\xc3\x89oto/*.JPG";
  LowerCaseInPlace(lowered);
  EXPECT_EQ(lowered, "s=/ph\xc3\x89oto/*.jpg");  // multibyte characters untouched
  EXPECT_EQ(FindText("xs=y", "s="), 1u);
  EXPECT_EQ(FindText("abc", "s="), std::string::npos);
  EXPECT_EQ(FindLastChar("/a/b.c/d", '/'), 6u);
  EXPECT_EQ(FindLastChar("abc", '/'), std::string::npos);
  setlocale(LC_ALL, "C");
}

}  // namespace
