// Temporary output files: made beside their target, published by a rename, removed by a signal
// handler when the process is interrupted before that (temp_registry.cpp), and by a later run
// when the process was killed outright (temp_names.cpp).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/platform.h"
#include "platform/temp_names.h"
#include "platform/temp_registry.h"

namespace {

// Sweeps and creations take turns, so that a sweep never finds a file of this process
// between its creation and its registration.
std::mutex gCreateMutex;

// Returns the permissions that any new file of this process gets.
mode_t NewFileMode() {
  static const mode_t mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// Owns a file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool PosixPlatform::CreateTempFile(const std::string& folder, std::string* tempPath) {
  InstallTempFileCleanup();
  mode_t mode = NewFileMode();
  std::string name = TempFileTemplate(folder);
  std::lock_guard<std::mutex> lock(gCreateMutex);
  // Once per folder and run, however many paths lead to it.
  struct stat st;
  if (stat(folder.empty() ? "." : folder.c_str(), &st) == 0 &&
      swept_.emplace(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)).second) {
    SweepTempLeftovers(folder);
  }
  // No interruption may fall between the file's creation and its registration.
  bool registered = false;
  {
    TempFileCreation creation;
    if (!creation.allowed()) return false;
    Descriptor file(mkstemps(name.data(), 4));
    registered = file.get() >= 0 && RegisterTempFile(name);
    if (file.get() >= 0 && !registered) unlink(name.c_str());
    // mkstemp makes the file private; outputs get the permissions any new file would get.
    if (registered) fchmod(file.get(), mode);
  }
  if (!registered) return false;
  *tempPath = name;
  return true;
}

bool PosixPlatform::PublishFile(const std::string& tempPath, const std::string& target,
                                bool replace) {
  bool published = false;
  if (replace) {
    struct stat st;
    bool exists = lstat(target.c_str(), &st) == 0;
    if (exists && (S_ISDIR(st.st_mode) || !IsWritable(target))) return false;
    // After a power loss a file system may hold the rename but not yet the data it names, and
    // the file replaced would be gone with its replacement; so the data goes to disk first. A
    // new name loses nothing that way and is not worth the wait.
    if (exists && !FlushFile(tempPath)) return false;
    published = rename(tempPath.c_str(), target.c_str()) == 0;
  } else if (renameat2(AT_FDCWD, tempPath.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
             0) {
    published = true;
  } else if (errno == EINVAL || errno == ENOSYS) {
    // File systems without the no-replace rename: a hard link fails just as surely on an
    // existing name.
    published = link(tempPath.c_str(), target.c_str()) == 0;
    if (published) unlink(tempPath.c_str());
  }
  if (published) UnregisterTempFile(tempPath);
  return published;
}

void PosixPlatform::DiscardTempFile(const std::string& tempPath) {
  unlink(tempPath.c_str());
  UnregisterTempFile(tempPath);
}

bool PosixPlatform::FlushFile(const std::string& path) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  // EINVAL: a file system that has nothing to force.
  return fsync(file.get()) == 0 || errno == EINVAL;
}
