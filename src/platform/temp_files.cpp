// Temporary output files: made beside their target, published by a rename, and removed by a
// signal handler when the process is interrupted before that.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

// The handler may only touch memory that never moves, so the paths of the temporary files
// alive at a time live in fixed slots. More files in flight than slots still work; only their
// removal on interruption is not guaranteed.
constexpr int kSlots = 256;
struct Slot {
  std::atomic<int> used{0};
  char path[PATH_MAX];
};
Slot gSlots[kSlots];
mode_t gFileMode = 0644;

void RemoveTempFilesAndDie(int sig) {
  for (Slot& slot : gSlots) {
    if (slot.used.load(std::memory_order_acquire) == 2) unlink(slot.path);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    mode_t mask = umask(0);
    umask(mask);
    gFileMode = 0666 & ~mask;
    struct sigaction action {};
    action.sa_handler = RemoveTempFilesAndDie;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction old {};
      // A signal that the caller chose to ignore stays ignored.
      if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
      sigaction(sig, &action, nullptr);
    }
  });
}

void Register(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  for (Slot& slot : gSlots) {
    int expected = 0;
    if (slot.used.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
      std::memcpy(slot.path, path.c_str(), path.size() + 1);
      slot.used.store(2, std::memory_order_release);
      return;
    }
  }
}

void Unregister(const std::string& path) {
  for (Slot& slot : gSlots) {
    if (slot.used.load(std::memory_order_acquire) == 2 && path == slot.path) {
      slot.used.store(0, std::memory_order_release);
      return;
    }
  }
}

}  // namespace

bool PosixPlatform::CreateTempFile(const std::string& folder, std::string* tempPath) {
  InstallHandlers();
  std::string name =
      (folder.empty() || folder.back() != '/' ? folder + "/" : folder) + ".xevra-XXXXXX.tmp";
  // No interruption may fall between the file's creation and its registration.
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  int fd = mkstemps(name.data(), 4);
  if (fd >= 0) Register(name);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) return false;
  // mkstemp makes the file private; outputs get the permissions any new file would get.
  fchmod(fd, gFileMode);
  close(fd);
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
  if (published) Unregister(tempPath);
  return published;
}

void PosixPlatform::DiscardTempFile(const std::string& tempPath) {
  unlink(tempPath.c_str());
  Unregister(tempPath);
}
