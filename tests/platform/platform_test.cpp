#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <vector>

#include "platform/long_path.h"
#include "platform/memory.h"
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

// Counts the flushes that publishing asks for, and can make them fail.
class FlushCountingPlatform : public PosixPlatform {
 public:
  int flushes = 0;
  bool flushFails = false;

 protected:
  bool FlushFile(const std::string& path) override {
    ++flushes;
    return !flushFails && PosixPlatform::FlushFile(path);
  }
};

enum class Existing { kNothing, kFile, kReadOnlyFile, kFolder };

struct PublishCase {
  const char* what;
  Existing existing;  // what the target's name holds before the publish
  bool replace;
  bool flushFails;
  bool published;
  int flushes;  // only a file that is replaced needs its replacement on disk first
};

const PublishCase kPublishCases[] = {
    {"new name", Existing::kNothing, false, false, true, 0},
    {"new name, replacing allowed", Existing::kNothing, true, false, true, 0},
    {"name taken", Existing::kFile, false, false, false, 0},
    {"file replaced", Existing::kFile, true, false, true, 1},
    {"replacement not on disk", Existing::kFile, true, true, false, 1},
    {"read-only file", Existing::kReadOnlyFile, true, false, false, 0},
    {"folder", Existing::kFolder, true, false, false, 0},
};

TEST(Platform, PublishingReplacesOnlyWhatItMayAndOnlyOnceOnDisk) {
  for (const PublishCase& c : kPublishCases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string target = dir / "out.jpg";
    if (c.existing == Existing::kFolder) {
      ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    } else if (c.existing != Existing::kNothing) {
      WriteFile(target, "old");
      if (c.existing == Existing::kReadOnlyFile) chmod(target.c_str(), 0444);
    }
    FlushCountingPlatform platform;
    platform.flushFails = c.flushFails;
    std::string temp;
    ASSERT_TRUE(platform.CreateTempFile(dir.path(), &temp));
    WriteFile(temp, "new");
    EXPECT_EQ(platform.PublishFile(temp, target, c.replace), c.published);
    EXPECT_EQ(platform.flushes, c.flushes);
    if (c.published) {
      EXPECT_EQ(ReadFile(target), "new");
    } else {
      if (c.existing != Existing::kFolder) {
        EXPECT_EQ(ReadFile(target), "old");
      }
      platform.DiscardTempFile(temp);
    }
    EXPECT_EQ(ListTree(dir.path()),
              std::vector<std::string>{c.existing == Existing::kFolder ? "out.jpg/" : "out.jpg"});
  }
}

// However many temporary files are alive when the run is interrupted (a -sep run on a file
// of hundreds of pages holds one for each), none is left behind. SIGTERM stands for the
// three signals: unlike SIGINT, a test runner started in the background does not ignore it.
TEST(Platform, InterruptionRemovesEveryTemporaryFile) {
  constexpr int kFiles = 300;
  TempDir dir;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    PosixPlatform platform;
    std::string temp;
    for (int i = 0; i < kFiles; ++i) {
      if (!platform.CreateTempFile(dir.path(), &temp)) _exit(1);
    }
    raise(SIGTERM);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(ListTree(dir.path()).size(), 0u);
}

// Returns the id of a process that has ended.
pid_t DeadProcessId() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A name of the form the platform gives temporary files.
std::string TempName(const std::string& host, pid_t pid, const char* random = "a1B2c3") {
  return ".xevra-" + host + "-" + std::to_string(pid) + "-" + random + ".tmp";
}

struct LeftoverCase {
  const char* what;
  std::string name;
  bool stale;  // last written two days ago
  bool removed;
};

// Leftovers of killed runs go when a run first writes into their folder; the files of
// runs still going, and anything not of ours, stay.
TEST(Platform, FirstTemporaryFileInAFolderRemovesLeftoversOfKilledRuns) {
  TempDir dir;
  PosixPlatform platform;
  // The host part of this host's names, as the platform writes them.
  std::string probe;
  ASSERT_TRUE(platform.CreateTempFile(dir.path(), &probe));
  std::string probeName = probe.substr(probe.rfind('/') + 1);
  std::string ownTail = "-" + std::to_string(getpid()) + "-";
  ASSERT_EQ(probeName.rfind(".xevra-", 0), 0u) << probeName;
  size_t tail = probeName.rfind(ownTail);
  ASSERT_NE(tail, std::string::npos) << probeName << " names this process";
  ASSERT_EQ(probeName.size(), tail + ownTail.size() + 6 + 4) << probeName;
  for (const char* mask : {"*.jpg", "*.bmp", "*.tif", "*.gif", "*.png"}) {
    EXPECT_FALSE(MatchesPattern(mask, probeName)) << mask;
  }
  std::string host = probeName.substr(7, tail - 7);
  platform.DiscardTempFile(probe);

  pid_t dead = DeadProcessId();
  const LeftoverCase cases[] = {
      {"this host, process gone", TempName(host, dead), false, true},
      {"this host, process running", TempName(host, getppid()), false, false},
      {"this host, running, two days old", TempName(host, getppid(), "d4E5f6"), true, true},
      {"this process's id, not its file", TempName(host, getpid()), false, true},
      {"other host", TempName("node-7", dead), false, false},
      {"other host, two days old", TempName("node-7", dead, "g7H8i9"), true, true},
      {"old form", ".xevra-Q1w2E3.tmp", false, false},
      {"old form, two days old", ".xevra-R4t5Y6.tmp", true, true},
      {"not ours: another extension", TempName(host, dead) + ".jpg", true, false},
      {"not ours: not hidden", TempName(host, dead).substr(1), true, false},
      {"not ours: short random part", TempName(host, dead, "abc"), true, false},
      {"not ours: no process id", ".xevra-" + host + "-x1-j1K2l3.tmp", true, false},
      {"not ours: old form's length, other letters", ".xevra-notes.tmp", true, false},
      {"not ours: a folder", TempName(host, dead, "m4N5o6"), true, false},
  };
  TempDir folder;
  for (const LeftoverCase& c : cases) {
    if (std::string(c.what) == "not ours: a folder") {
      ASSERT_EQ(mkdir((folder / c.name).c_str(), 0755), 0);
    } else {
      WriteFile(folder / c.name, "leftover");
    }
    if (c.stale) {
      struct timespec times[2] = {{std::time(nullptr) - 2 * 24 * 3600, 0}, {0, UTIME_OMIT}};
      times[1] = times[0];
      ASSERT_EQ(utimensat(AT_FDCWD, (folder / c.name).c_str(), times, 0), 0) << c.what;
    }
  }
  std::string temp;
  ASSERT_TRUE(platform.CreateTempFile(folder.path(), &temp));
  for (const LeftoverCase& c : cases) {
    struct stat st;
    EXPECT_EQ(lstat((folder / c.name).c_str(), &st) != 0, c.removed) << c.what << ": " << c.name;
  }
  // One sweep a folder and run, however the folder is reached.
  ASSERT_EQ(symlink(folder.path().c_str(), (dir / "link").c_str()), 0);
  std::string later = TempName(host, dead, "p7Q8r9");
  WriteFile(folder / later, "leftover");
  std::string more;
  ASSERT_TRUE(platform.CreateTempFile(folder.path(), &more));
  ASSERT_TRUE(platform.CreateTempFile(dir / "link", &more));
  EXPECT_TRUE(std::filesystem::exists(folder / later));
  // Another sweep of the folder while this process's files are in it keeps them.
  PosixPlatform nextRun;
  ASSERT_TRUE(nextRun.CreateTempFile(folder.path(), &more));
  EXPECT_FALSE(std::filesystem::exists(folder / later));
  EXPECT_TRUE(std::filesystem::exists(temp)) << "this process's own file stays";
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

// Pages mapped ahead from a start inside a page: every page of the range is then resident,
// a page written before keeps its bytes, and the untouched ones read as zeros.
TEST(Platform, PrefaultMapsAndReleaseGivesBackWholePagesOfARange) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), pages = 64;
  void* mapped =
      mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* base = static_cast<char*>(mapped);
  base[page + 7] = 'x';
  ASSERT_TRUE(PrefaultForWriting(base + 100, pages * page - 200));
  std::vector<unsigned char> resident(pages);
  ASSERT_EQ(mincore(base, pages * page, resident.data()), 0);
  EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }),
            static_cast<long>(pages));
  EXPECT_EQ(base[page + 7], 'x');
  EXPECT_EQ(std::count(base, base + pages * page, '\0'), static_cast<long>(pages * page - 1));
  EXPECT_FALSE(PrefaultForWriting(nullptr, page));

  // Giving pages back from inside pages: the partial first and last pages keep their bytes
  // (they hold other data), every whole page between goes back and reads as zeros.
  std::fill(base, base + pages * page, 'y');
  ASSERT_TRUE(ReleaseWholePages(base + 100, pages * page - 200));
  EXPECT_EQ(std::count(base, base + page, 'y'), static_cast<long>(page));
  EXPECT_EQ(std::count(base + (pages - 1) * page, base + pages * page, 'y'),
            static_cast<long>(page));
  EXPECT_EQ(std::count(base + page, base + (pages - 1) * page, '\0'),
            static_cast<long>((pages - 2) * page));
  EXPECT_FALSE(ReleaseWholePages(base + 100, page)) << "no whole page inside";
  EXPECT_EQ(base[page + 50], '\0');
  munmap(mapped, pages * page);
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
