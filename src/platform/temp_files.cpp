// Temporary output files: made beside their target, published by a rename, and removed by a
// signal handler when the process is interrupted before that.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/long_path.h"
#include "platform/platform.h"

namespace {

// The handler may only touch memory that never moves, so the temporary files alive at a time
// live in fixed slots. More files in flight than slots still work; only their removal on
// interruption is not guaranteed. A slot keeps its file's folder open, so that the handler
// removes it by its short name however long the folder's path is.
constexpr int kSlots = 256;
constexpr char kTempName[] = ".xevra-XXXXXX.tmp";
struct Slot {
  std::atomic<int> used{0};
  int folder = -1;
  char name[sizeof kTempName];
  std::string path;  // the full text, to find the slot again; the handler never reads it
};
Slot gSlots[kSlots];
std::mutex gSlotsLock;  // taken by all but the handler
mode_t gFileMode = 0644;

void RemoveTempFilesAndDie(int sig) {
  for (Slot& slot : gSlots) {
    if (slot.used.load(std::memory_order_acquire) == 2) unlinkat(slot.folder, slot.name, 0);
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

// Hands folder to a free slot, which then owns it. Returns false, folder untouched, when
// every slot is in use.
bool Register(FdOwner& folder, const char* name, const std::string& path) {
  std::lock_guard<std::mutex> lock(gSlotsLock);
  for (Slot& slot : gSlots) {
    int expected = 0;
    if (slot.used.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
      slot.folder = folder.Release();
      std::memcpy(slot.name, name, sizeof slot.name);
      slot.path = path;
      slot.used.store(2, std::memory_order_release);
      return true;
    }
  }
  return false;
}

void Unregister(const std::string& path) {
  std::lock_guard<std::mutex> lock(gSlotsLock);
  for (Slot& slot : gSlots) {
    if (slot.used.load(std::memory_order_acquire) == 2 && path == slot.path) {
      FdOwner folder(slot.folder);
      slot.path.clear();
      slot.used.store(0, std::memory_order_release);
      return;
    }
  }
}

// Returns a descriptor of a new, private file in folder whose name is name with its six X
// replaced (name keeps the name used); -1 when none can be made.
int CreateUniqueFile(int folder, char* name) {
  static constexpr char kCharacters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<uint64_t> counter{0};
  char* xs = std::strstr(name, "XXXXXX");
  for (int attempt = 0; attempt < 1000; ++attempt) {
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
      // Without the random source (early at boot) a mixed counter still gives distinct names.
      struct timespec now {};
      clock_gettime(CLOCK_REALTIME, &now);
      bits = (counter.fetch_add(1) + static_cast<uint64_t>(now.tv_nsec) +
              (static_cast<uint64_t>(getpid()) << 32)) *
             0x9E3779B97F4A7C15ull;
    }
    for (int i = 0; i < 6; ++i, bits /= sizeof kCharacters - 1) {
      xs[i] = kCharacters[bits % (sizeof kCharacters - 1)];
    }
    int fd = openat(folder, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool PosixPlatform::CreateTempFile(const std::string& folder, std::string* tempPath) {
  InstallHandlers();
  std::string prefix = folder.empty() || folder.back() != '/' ? folder + "/" : folder;
  FdOwner handle(OpenFolderHandle(prefix));
  if (handle.get() < 0) return false;
  char name[sizeof kTempName];
  std::memcpy(name, kTempName, sizeof name);
  // No interruption may fall between the file's creation and its registration.
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  int fd = CreateUniqueFile(handle.get(), name);
  if (fd >= 0) Register(handle, name, prefix + name);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) return false;
  // The file is made private; outputs get the permissions any new file would get.
  fchmod(fd, gFileMode);
  close(fd);
  *tempPath = prefix + name;
  return true;
}

bool PosixPlatform::PublishFile(const std::string& tempPath, const std::string& target,
                                bool replace) {
  AtPath from, to;
  if (!ResolveAtPath(tempPath, &from) || !ResolveAtPath(target, &to)) return false;
  const char* fromName = from.rest.c_str();
  const char* toName = to.rest.c_str();
  bool published = false;
  if (replace) {
    struct stat st;
    bool exists = fstatat(to.dir, toName, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && (S_ISDIR(st.st_mode) || !IsWritable(target))) return false;
    published = renameat(from.dir, fromName, to.dir, toName) == 0;
  } else if (renameat2(from.dir, fromName, to.dir, toName, RENAME_NOREPLACE) == 0) {
    published = true;
  } else if (errno == EINVAL || errno == ENOSYS) {
    // File systems without the no-replace rename: a hard link fails just as surely on an
    // existing name.
    published = linkat(from.dir, fromName, to.dir, toName, 0) == 0;
    if (published) unlinkat(from.dir, fromName, 0);
  }
  if (published) Unregister(tempPath);
  return published;
}

void PosixPlatform::DiscardTempFile(const std::string& tempPath) {
  RemoveAnyLength(tempPath.c_str());
  Unregister(tempPath);
}
