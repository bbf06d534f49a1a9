// A destination that fills up in the middle of a batch.
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>

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

TEST_F(FaultTest, FullDiskFailsTheFileBeingWrittenAndNothingElse) {
  WriteBmp(src_ + "/a-small.bmp", 64, 48, 1);
  WriteBmp(src_ + "/b-big.bmp", 1600, 1200, 2);
  WriteBmp(src_ + "/c-small.bmp", 64, 48, 3);
  // Where the machine lets us mount, a real file system runs full; elsewhere a file-size
  // limit makes the big output's writes fail the same way.
  SmallDisk disk(out_, "160k");
  ProcessLimits limits;
  limits.timeoutSeconds = 120;
  if (disk.mounted()) {
    // Leave about 100 KB free: room for the small outputs, not for the big one.
    WriteFile(out_ + "/filler", std::string(60 * 1024, 'x'));
  } else {
    limits.maxFileBytes = 100 * 1024;
  }
  ProcessResult r = Convert({"-q95", "-j1"}, limits);
  EXPECT_EQ(ProgressLines(r.out),
            (std::vector<std::string>{" a-small.bmp....Ready", " b-big.bmp...Converting failed",
                                      " c-small.bmp....Ready"}))
      << (disk.mounted() ? "on a full tmpfs" : "under a file-size limit");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(out_ + "/b-big.jpg"));
  EXPECT_TRUE(fs::exists(out_ + "/a-small.jpg"));
  EXPECT_TRUE(fs::exists(out_ + "/c-small.jpg"));
}

}  // namespace
