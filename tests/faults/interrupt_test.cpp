// An interruption in the middle of a large conversion leaves complete outputs and nothing
// else.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

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
    std::string args[] = {"s=" + src_ + "/*.bmp", "d=" + dest, "-ov", "-rot33", c.jobs};
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      freopen("/dev/null", "w", stdout);
      execl(XEVRA_BINARY, XEVRA_BINARY, args[0].c_str(), args[1].c_str(), args[2].c_str(),
            args[3].c_str(), args[4].c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Interrupt once the small files are done and a big one is being written.
    bool writing = false;
    for (int wait = 0; wait < 6000 && !writing; ++wait) {
      writing = fs::exists(look + "/a2-small.jpg") && TempFileExists(look);
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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

}  // namespace
