// A destination that fills up, or a console that goes away, in the middle of a batch.
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "faults/fault_support.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

// Mounts a small file system on a folder, and unmounts it again.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, const char* size) : folder_(folder) {
    mounted_ =
        mount("tmpfs", folder.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Where the output's writes start failing: a real file system running full, or a file-size
// limit (ulimit -f) whose signal would end the program unless it is ignored.
enum class WriteLimit { kFullDisk, kFileSize };

TEST_F(FaultTest, FullDiskFailsTheFileBeingWrittenAndNothingElse) {
  WriteBmp(src_ + "/a-small.bmp", 64, 48, 1);
  WriteBmp(src_ + "/b-big.bmp", 1600, 1200, 2);
  WriteBmp(src_ + "/c-small.bmp", 64, 48, 3);
  for (WriteLimit kind : {WriteLimit::kFullDisk, WriteLimit::kFileSize}) {
    SCOPED_TRACE(kind == WriteLimit::kFullDisk ? "on a full tmpfs" : "under a file-size limit");
    fs::remove_all(out_);
    fs::create_directory(out_);
    ProcessLimits limits;
    limits.timeoutSeconds = 120;
    std::unique_ptr<SmallDisk> disk;
    if (kind == WriteLimit::kFullDisk) {
      disk = std::make_unique<SmallDisk>(out_, "160k");
      if (!disk->mounted()) continue;  // the machine does not let us mount
      // Leave about 100 KB free: room for the small outputs, not for the big one.
      WriteFile(out_ + "/filler", std::string(60 * 1024, 'x'));
    } else {
      limits.maxFileBytes = 100 * 1024;
    }
    ProcessResult r = Convert({"-q95", "-j1"}, limits);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(ProgressLines(r.out),
              (std::vector<std::string>{" a-small.bmp....Ready", " b-big.bmp...Converting failed",
                                        " c-small.bmp....Ready"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(out_ + "/b-big.jpg"));
    EXPECT_TRUE(fs::exists(out_ + "/a-small.jpg"));
    EXPECT_TRUE(fs::exists(out_ + "/c-small.jpg"));
  }
}

// xevra ... | head -1: the console goes away after the first line, and the batch goes on
// without it, by one worker or by several.
TEST_F(FaultTest, ClosedConsoleStopsNothing) {
  constexpr int kFiles = 24;
  for (int i = 0; i < kFiles; ++i) {
    WriteBmp(src_ + "/f" + std::to_string(100 + i) + ".bmp", 320, 240, i);
  }
  for (const char* jobs : {"-j1", "-j2"}) {
    SCOPED_TRACE(jobs);
    fs::remove_all(out_);
    fs::create_directory(out_);
    ProcessLimits limits;
    limits.timeoutSeconds = 120;
    limits.outputLines = 1;
    ProcessResult r = Convert({jobs}, limits);
    EXPECT_EQ(r.out, " " + std::to_string(kFiles) + " graphic files found\n");
    EXPECT_EQ(r.signal, 0) << strsignal(r.signal);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    for (int i = 0; i < kFiles; ++i) {
      std::string name = "f" + std::to_string(100 + i) + ".jpg";
      JpegInfo info;
      EXPECT_TRUE(ReadJpegInfo(out_ + "/" + name, &info)) << name;
    }
  }
}

}  // namespace
