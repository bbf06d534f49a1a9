// Parts of one batch ("-shardK/N") and reruns that only fill in ("-u"), through the built
// program: parts run one after another or at once, by GNU parallel, or killed and run again,
// write together what one run writes, name for name and byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

// Returns the number of " N graphic files found" of a run's console text, -1 without one.
int FoundCount(const std::string& out) {
  int count = -1;
  return std::sscanf(out.c_str(), " %d graphic files found", &count) == 1 ? count : -1;
}

std::vector<std::string> Args(const std::string& src, const std::string& dest,
                              const std::vector<std::string>& switches,
                              const std::vector<std::string>& more = {}) {
  std::vector<std::string> args{"s=" + src + "/*.*", "d=" + dest};
  args.insert(args.end(), switches.begin(), switches.end());
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string Part(int index, int count) {
  return "-shard" + std::to_string(index) + "/" + std::to_string(count);
}

struct TreeCase {
  const char* name;
  void (*make)(const std::string& src, const std::string& dest);  // sources, earlier outputs
  std::vector<std::string> switches;
};

void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.name; }

void SameStems(const std::string& src, const std::string&) {
  fs::create_directories(src);
  WriteBmp(src + "/a.bmp", 12, 8, 1);
  WritePng(src + "/a.png", 9, 7);
  WriteBmp(src + "/a(1).bmp", 7, 5, 2);
  WriteBmp(src + "/A.bmp", 6, 6, 3);
  for (int i = 0; i < 8; ++i) WriteBmp(src + "/b" + std::to_string(i) + ".bmp", 5, 4, i);
}

void GappedCounters(const std::string& src, const std::string& dest) {
  SameStems(src, dest);
  fs::create_directories(dest);
  WriteFile(dest + "/a.jpg", "earlier a");
  WriteFile(dest + "/a(2).jpg", "earlier a(2)");
  WriteFile(dest + "/a(1)(2).jpg", "earlier a(1)(2)");
  WriteFile(dest + "/b3.jpg", "earlier b3");
}

void PagesMeetNames(const std::string& src, const std::string& dest) {
  fs::create_directories(src + "/sub");
  fs::create_directories(dest);
  WriteTiff(src + "/p.tif", 8, 6, 3);
  WriteBmp(src + "/p_p0.bmp", 6, 4, 1);
  WriteBmp(src + "/p_p1(1).bmp", 5, 4, 2);
  WriteBmp(src + "/p.bmp", 4, 4, 3);
  WriteFile(dest + "/p_p1.jpg", "earlier page");
  WriteTiff(src + "/sub/q.tif", 5, 5, 2);
  WriteBmp(src + "/sub/q_p1.bmp", 4, 3, 4);
  for (int i = 0; i < 6; ++i) WriteBmp(src + "/sub/r" + std::to_string(i) + ".bmp", 4, 4, i);
}

void DeepFolders(const std::string& src, const std::string&) {
  std::string deep = src + "/1/2/3/4/5/6";
  fs::create_directories(deep);
  for (int i = 0; i < 6; ++i) {
    WriteBmp(deep + "/d" + std::to_string(i) + ".bmp", 4, 4, i);
    WriteBmp(src + "/1/2/e" + std::to_string(i) + ".bmp", 4, 4, i);
  }
  WriteBmp(deep + "/d0.png.bmp", 4, 4, 9);
}

void OddNames(const std::string& src, const std::string&) {
  for (const char* folder : {"it's here", "$HOME `id`", "x.y", "caf\xc3\xa9", "ends \""}) {
    fs::create_directories(src + "/" + folder);
  }
  WriteBmp(src + "/it's here/two words.bmp", 5, 4, 1);
  WriteBmp(src + "/$HOME `id`/\"q\".bmp", 5, 4, 2);
  WriteBmp(src + "/x.y/readme", 5, 4, 3);
  WriteBmp(src + "/x.y/readme.bmp", 5, 4, 4);
  WriteBmp(src + "/.hidden", 5, 4, 5);
  WriteBmp(src + "/caf\xc3\xa9/\xc3\xa9t\xc3\xa9.bmp", 5, 4, 6);
  WriteBmp(src + "/ends \"/(1).bmp", 5, 4, 7);
  WriteBmp(src + "/ends \"/_p0.bmp", 5, 4, 8);
  WriteFile(src + "/broken.bmp", "BM broken");
}

class PartsTree : public testing::TestWithParam<TreeCase> {};

// N parts, run one after another (last part first) and run all at once, each into a
// destination that held what the plain run's held, give the plain run's tree; their counts
// add up to its count.
TEST_P(PartsTree, PartsWriteWhatOneRunWrites) {
  const TreeCase& c = GetParam();
  TempDir dir;
  const std::string src = dir / "src";
  c.make(src, dir / "plain");
  ProcessResult plain = RunXevraBinary(Args(src, dir / "plain", c.switches), dir.path());
  auto expected = TreeContents(dir / "plain");
  for (int count : {1, 2, 3, 7}) {
    for (bool atOnce : {false, true}) {
      SCOPED_TRACE(std::to_string(count) + (atOnce ? " parts at once" : " parts in turn"));
      std::string dest = dir / ("parts" + std::to_string(count) + (atOnce ? "b" : "a"));
      TempDir scratch;  // the earlier outputs of the case, copied
      c.make(scratch / "src", dest);
      std::vector<ProcessResult> results(count);
      std::vector<std::thread> threads;
      for (int index = count - 1; index >= 0; --index) {
        auto run = [&, index] {
          results[index] =
              RunXevraBinary(Args(src, dest, c.switches, {Part(index, count)}), dir.path());
        };
        if (atOnce) {
          threads.emplace_back(run);
        } else {
          run();
        }
      }
      for (std::thread& t : threads) t.join();
      int total = 0;
      for (const ProcessResult& r : results) total += FoundCount(r.out);
      EXPECT_EQ(total, FoundCount(plain.out));
      EXPECT_EQ(TreeContents(dest), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Trees, PartsTree,
    testing::Values(TreeCase{"SameStems", SameStems, {"-j2"}},
                    TreeCase{"GappedCounters", GappedCounters, {"-j2"}},
                    TreeCase{"PagesMeetNames", PagesMeetNames, {"-sf", "-sep", "-j2"}},
                    TreeCase{"DeepFolders", DeepFolders, {"-sf", "-j1"}},
                    TreeCase{"OddNames", OddNames, {"-sf", "-sep", "-q90", "-j2"}}),
    [](const testing::TestParamInfo<TreeCase>& param) { return std::string(param.param.name); });

// The recipe's GNU parallel line, run here on this machine instead of over ssh.
TEST(Parts, GnuParallelRunsTheRecipe) {
  if (RunProgram("/bin/sh", {"-c", "command -v parallel"}, "/").exitCode != 0) {
    GTEST_SKIP() << "GNU parallel is not installed (Debian package parallel)";
  }
  TempDir dir;
  const std::string src = dir / "src";
  PagesMeetNames(src, dir / "plain");
  PagesMeetNames(dir / "scratch", dir / "parallel");
  const std::vector<std::string> switches{"-sf", "-sep", "-q90", "-u", "-j1"};
  ProcessResult plain = RunXevraBinary(Args(src, dir / "plain", switches), dir.path());
  std::vector<std::string> args{"--will-cite", "-q", "-j4", XEVRA_BINARY};
  for (const std::string& arg : Args(src, dir / "parallel", switches, {"-shard{}/4"})) {
    args.push_back(arg);
  }
  for (const char* part : {":::", "0", "1", "2", "3"}) args.push_back(part);
  ProcessResult ran = RunProgram("/usr/bin/parallel", args, dir.path());
  EXPECT_EQ(ran.exitCode, 0) << ran.out;
  EXPECT_EQ(TreeContents(dir / "parallel"), TreeContents(dir / "plain"));
}

// Starts xevra with its console on a pipe, and kills it with SIGKILL once lines progress
// lines have come. Returns false when it ended before that.
bool KillAfterLines(const std::vector<std::string>& args, int lines) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv{const_cast<char*>(XEVRA_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(XEVRA_BINARY, argv.data());
    _exit(127);
  }
  close(fds[1]);
  int seen = -2;  // the found-count line and its empty line
  char c;
  while (seen < lines && read(fds[0], &c, 1) == 1) seen += c == '\n';
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  return seen >= lines && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// A part killed outright in the middle (a node that dies) and run again with -u ends with
// exactly the tree of an undisturbed run: no duplicates, no temporary files. A further -u run
// of the whole batch then converts nothing.
TEST(Parts, KilledPartRunAgainGivesTheUndisturbedTree) {
  TempDir dir;
  const std::string src = dir / "src";
  for (const char* folder : {"a", "b"}) {
    fs::create_directories(src + "/" + folder);
    for (int i = 0; i < 16; ++i) {
      WriteBmp(src + "/" + folder + "/f" + std::to_string(i) + ".bmp", 160, 120, i);
    }
  }
  WriteTiff(src + "/a/pages.tif", 64, 48, 4);
  const std::vector<std::string> switches{"-sf", "-sep", "-u", "-j2"};
  ProcessResult plain = RunXevraBinary(Args(src, dir / "plain", switches), dir.path());
  ASSERT_EQ(plain.exitCode, 0);
  auto expected = TreeContents(dir / "plain");

  const std::string dest = dir / "killed";
  ASSERT_TRUE(KillAfterLines(Args(src, dest, switches, {Part(0, 2)}), 3));
  for (int index : {0, 1}) {
    ProcessResult again = RunXevraBinary(Args(src, dest, switches, {Part(index, 2)}), dir.path());
    EXPECT_EQ(again.exitCode, 0) << again.out;
  }
  EXPECT_EQ(TreeContents(dest), expected);

  ProcessResult rerun = RunXevraBinary(Args(src, dest, switches), dir.path());
  EXPECT_EQ(rerun.exitCode, 0);
  std::string lines = rerun.out.substr(rerun.out.find("\n\n") + 2);
  std::string onlyUpToDate;
  for (size_t start = 0; start < lines.size();) {
    size_t end = lines.find('\n', start);
    std::string line = lines.substr(start, end - start);
    size_t dots = line.rfind("..");
    onlyUpToDate += line.substr(0, dots) + "..Up to date\n";
    start = end + 1;
  }
  EXPECT_EQ(FoundCount(rerun.out), 33);
  EXPECT_EQ(lines, onlyUpToDate);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 33);
  EXPECT_EQ(TreeContents(dest), expected);
}

// 90% of the files in one folder: the largest of 8 parts holds at most 14% of them (a split
// by folder would give one part 90%). The count lines come from the program itself; the
// destination cannot be made, so nothing is converted.
TEST(Parts, EightPartsOfALopsidedTreeAreBalanced) {
  TempDir dir;
  fs::create_directories(dir / "src/big");
  for (int i = 0; i < 1800; ++i)
    WriteFile(dir / ("src/big/IMG_" + std::to_string(1000 + i) + ".JPG"), "");
  for (int f = 0; f < 20; ++f) {
    std::string folder = dir / ("src/f" + std::to_string(f));
    fs::create_directories(folder);
    for (int i = 0; i < 10; ++i) WriteFile(folder + "/p" + std::to_string(i) + ".png", "");
  }
  int total = 0;
  int largest = 0;
  for (int index = 0; index < 8; ++index) {
    ProcessResult r = RunXevraBinary(
        Args(dir / "src", dir / "no/such/folder", {"-sf", Part(index, 8)}), dir.path());
    total += FoundCount(r.out);
    largest = std::max(largest, FoundCount(r.out));
  }
  EXPECT_EQ(total, 2000);
  EXPECT_LE(largest * 100, total * 14);
}

// A part that does not exist (an array numbered from 1) converts nothing and fails, so that
// the part it should have been is not silently missing.
TEST(Parts, PartOutsideTheCountFails) {
  TempDir dir;
  fs::create_directories(dir / "src");
  WriteBmp(dir / "src/a.bmp", 4, 4);
  ProcessResult r = RunXevraBinary(Args(dir / "src", dir / "out", {Part(2, 2)}), dir.path());
  EXPECT_EQ(r.out, " 0 graphic files found\n\n");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(dir / "out/a.jpg"));
}

struct UpdateCase {
  const char* name;
  std::vector<std::string> switches;
  // Outputs there before the run, with their age against their source: -1 older, +1 newer.
  std::vector<std::pair<std::string, int>> earlier;
  std::string console;            // after the found-count line
  std::vector<std::string> kept;  // earlier outputs the run must leave as they were
  std::vector<std::string> tree;  // the destination afterwards
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

class Update : public testing::TestWithParam<UpdateCase> {};

// Sources a.bmp and p.tif (three pages).
TEST_P(Update, ConvertsOnlyWhatIsMissingOrStale) {
  const UpdateCase& c = GetParam();
  TempDir dir;
  fs::create_directories(dir / "src");
  fs::create_directories(dir / "out");
  WriteBmp(dir / "src/a.bmp", 6, 4);
  WriteTiff(dir / "src/p.tif", 6, 4, 3);
  auto now = fs::file_time_type::clock::now();
  for (const auto& [name, age] : c.earlier) {
    WriteFile(dir / ("out/" + name), "earlier");
    fs::last_write_time(dir / ("out/" + name), now + std::chrono::hours(age));
  }
  std::vector<std::string> args = Args(dir / "src", dir / "out", c.switches, {"-u", "-j1"});
  ProcessResult r = RunXevraBinary(args, dir.path());
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, " 2 graphic files found\n\n" + c.console);
  for (const std::string& name : c.kept)
    EXPECT_EQ(ReadFile(dir / ("out/" + name)), "earlier") << name;
  EXPECT_EQ(ListTree(dir / "out"), c.tree);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Update,
    testing::Values(
        UpdateCase{
            "NothingThere", {}, {}, " a.bmp....Ready\n p.tif....Ready\n", {}, {"a.jpg", "p.jpg"}},
        UpdateCase{"NewerOutputsKept",
                   {},
                   {{"a.jpg", 1}, {"p.jpg", 1}},
                   " a.bmp..Up to date\n p.tif..Up to date\n",
                   {"a.jpg", "p.jpg"},
                   {"a.jpg", "p.jpg"}},
        // Replaced under its own name, as with -ov: no a(1).jpg.
        UpdateCase{"StaleOutputReplaced",
                   {},
                   {{"a.jpg", -1}, {"p.jpg", 1}},
                   " a.bmp....Ready\n p.tif..Up to date\n",
                   {"p.jpg"},
                   {"a.jpg", "p.jpg"}},
        UpdateCase{"EveryPageThere",
                   {"-sep"},
                   {{"a.jpg", 1}, {"p_p0.jpg", 1}, {"p_p1.jpg", 1}, {"p_p2.jpg", 1}},
                   " a.bmp..Up to date\n p.tif..Up to date\n",
                   {"p_p0.jpg", "p_p1.jpg", "p_p2.jpg"},
                   {"a.jpg", "p_p0.jpg", "p_p1.jpg", "p_p2.jpg"}},
        // One page missing: the file is converted again, every page under its own name.
        UpdateCase{"OnePageMissing",
                   {"-sep"},
                   {{"a.jpg", 1}, {"p_p0.jpg", 1}, {"p_p2.jpg", 1}},
                   " a.bmp..Up to date\n p.tif..........Ready\n",
                   {},
                   {"a.jpg", "p_p0.jpg", "p_p1.jpg", "p_p2.jpg"}},
        // The whole-file output of an earlier run without -sep is not the pages.
        UpdateCase{"WholeFileIsNotThePages",
                   {"-sep"},
                   {{"p.jpg", 1}},
                   " a.bmp....Ready\n p.tif..........Ready\n",
                   {"p.jpg"},
                   {"a.jpg", "p.jpg", "p_p0.jpg", "p_p1.jpg", "p_p2.jpg"}}),
    [](const testing::TestParamInfo<UpdateCase>& param) { return std::string(param.param.name); });

}  // namespace
