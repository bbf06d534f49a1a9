// An interruption in the middle of a large conversion leaves complete outputs and nothing
// else.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "faults/fault_support.h"
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
};

TEST_F(FaultTest, InterruptionLeavesNoPartialFile) {
  for (int i = 0; i < 3; ++i) WriteBmp(src_ + "/a" + std::to_string(i) + "-small.bmp", 32, 32, i);
  WriteBmp(src_ + "/b-big.bmp", 3000, 2400, 1);
  WriteBmp(src_ + "/c-big.bmp", 3000, 2400, 2);
  const InterruptCase cases[] = {
      {SIGINT, "-j1"}, {SIGTERM, "-j1"}, {SIGINT, "-j2"}, {SIGTERM, "-j2"}};
  for (const InterruptCase& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signal)) + " " + c.jobs);
    fs::remove_all(out_);
    fs::create_directory(out_);
    WriteFile(out_ + "/b-big.jpg", "previous");
    std::string args[] = {"s=" + src_ + "/*.bmp", "d=" + out_, "-ov", "-rot33", c.jobs};
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
      writing = fs::exists(out_ + "/a2-small.jpg") && TempFileExists(out_);
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, c.signal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(writing) << "the conversion was seen under way";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal);
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(out_ + "/b-big.jpg"), "previous") << "the file being replaced is intact";
    EXPECT_TRUE(fs::exists(out_ + "/a0-small.jpg"));
    for (const std::string& name : Tree(out_)) {
      if (name == "b-big.jpg") continue;
      JpegInfo info;
      EXPECT_TRUE(ReadJpegInfo(out_ + "/" + name, &info)) << name << " is a complete JPEG";
    }
  }
}

}  // namespace
