// An interruption in the middle of a large conversion leaves complete outputs and nothing
// else.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "faults/fault_support.h"
#include "support/deep_paths.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

bool TempFileExists(const std::string& folder) {
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().filename().string().rfind(".xevra-", 0) == 0) return true;
  }
  return false;
}

// Starts xevra with args, its console thrown away; returns its process id.
pid_t StartXevra(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    std::vector<char*> argv{const_cast<char*>(XEVRA_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(XEVRA_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// Returns true once done exists and a temporary file is being written in folder; false when
// that has not happened within half a minute.
bool WaitUntilWriting(const std::string& folder, const std::string& done) {
  for (int wait = 0; wait < 6000; ++wait) {
    if (fs::exists(done) && TempFileExists(folder)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

struct InterruptCase {
  int signal;
  const char* jobs;
  bool deep = false;  // d= a folder about 6,000 bytes deep, past one system call's limit
};

TEST_F(FaultTest, InterruptionLeavesNoPartialFile) {
  for (int i = 0; i < 3; ++i) WriteBmp(src_ + "/a" + std::to_string(i) + "-small.bmp", 32, 32, i);
  WriteBmp(src_ + "/b-big.bmp", 3000, 2400, 1);
  WriteBmp(src_ + "/c-big.bmp", 3000, 2400, 2);
  const InterruptCase cases[] = {
      {SIGINT, "-j1"}, {SIGTERM, "-j1"}, {SIGINT, "-j2"}, {SIGTERM, "-j2"}, {SIGTERM, "-j1", true}};
  const std::string deep = DeepRelativePath(30, 200);
  for (const InterruptCase& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + " " + c.jobs + (c.deep ? " deep" : ""));
    RemoveTree(out_);
    fs::create_directory(out_);
    // The program gets the full path; the test looks through a short one.
    std::string dest = out_;
    std::string look = out_;
    if (c.deep) {
      MakeDeepFolders(out_, deep);
      dest = out_ + "/" + deep;
      look = ShortAlias(dir_.path(), "out/" + deep);
    }
    WriteFile(look + "/b-big.jpg", "previous");
    pid_t pid = StartXevra({"s=" + src_ + "/*.bmp", "d=" + dest, "-ov", "-rot33", c.jobs});
    ASSERT_GE(pid, 0);
    // Interrupt once the small files are done and a big one is being written.
    bool writing = WaitUntilWriting(look, look + "/a2-small.jpg");
    kill(pid, c.signal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(writing) << "the conversion was seen under way";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal);
    EXPECT_EQ(Leftovers(look), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(look + "/b-big.jpg"), "previous") << "the file being replaced is intact";
    EXPECT_TRUE(fs::exists(look + "/a0-small.jpg"));
    for (const std::string& name : Tree(look)) {
      if (name == "b-big.jpg") continue;
      JpegInfo info;
      EXPECT_TRUE(ReadJpegInfo(look + "/" + name, &info)) << name << " is a complete JPEG";
    }
  }
}

// kill -9 gives no chance to clean up: the run's temporary files stay, until the same
// command, run again, writes into their folder.
TEST_F(FaultTest, RerunAfterKillRemovesTheLeftovers) {
  for (int i = 0; i < 3; ++i) WriteBmp(src_ + "/a" + std::to_string(i) + "-small.bmp", 32, 32, i);
  WriteBmp(src_ + "/b-big.bmp", 2000, 1600, 1);
  WriteBmp(src_ + "/c-small.bmp", 32, 32, 4);
  std::vector<std::string> args{"s=" + src_ + "/*.bmp", "d=" + out_, "-ov", "-rot33", "-j1"};
  pid_t pid = StartXevra(args);
  ASSERT_GE(pid, 0);
  bool writing = WaitUntilWriting(out_, out_ + "/a2-small.jpg");
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(writing) << "the conversion was seen under way";
  ASSERT_NE(Leftovers(out_), std::vector<std::string>{}) << "the kill left a temporary file";
  ProcessResult r = RunXevraBinary(args, "/");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Tree(out_), (std::vector<std::string>{"a0-small.jpg", "a1-small.jpg", "a2-small.jpg",
                                                  "b-big.jpg", "c-small.jpg"}));
}

}  // namespace
