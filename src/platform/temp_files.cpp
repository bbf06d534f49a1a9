// Temporary output files: made beside their target, published by a rename, removed by a signal
// handler when the process is interrupted before that (temp_registry.cpp), and by a later run
// when the process was killed outright (temp_names.cpp).
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

#include "platform/long_path.h"
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

// Returns a descriptor of a new, private file in folder whose name is name with the six X
// before its four-character extension replaced (name keeps the name used); -1 when none can
// be made.
int CreateUniqueFile(int folder, char* name) {
  static constexpr char kCharacters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<uint64_t> counter{0};
  char* xs = name + std::strlen(name) - 4 - 6;
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
  InstallTempFileCleanup();
  mode_t mode = NewFileMode();
  std::string path = TempFileTemplate(folder);
  size_t nameAt = path.rfind('/') + 1;
  // The file is made and later removed through a handle of its folder, so that the folder's
  // path may be longer than one system call takes.
  FdOwner handle(OpenFolderHandle(path.substr(0, nameAt)));
  if (handle.get() < 0) return false;
  std::lock_guard<std::mutex> lock(gCreateMutex);
  // Once per folder and run, however many paths lead to it.
  struct stat st;
  if (fstat(handle.get(), &st) == 0 &&
      swept_.emplace(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)).second) {
    SweepTempLeftovers(handle.get());
  }
  // No interruption may fall between the file's creation and its registration.
  bool registered = false;
  {
    TempFileCreation creation;
    if (!creation.allowed()) return false;
    FdOwner file(CreateUniqueFile(handle.get(), path.data() + nameAt));
    registered = file.get() >= 0 && RegisterTempFile(path, handle.get());
    if (registered) {
      handle.Release();  // the list owns it now
      // The file is made private; outputs get the permissions any new file would get.
      fchmod(file.get(), mode);
    } else if (file.get() >= 0) {
      unlinkat(handle.get(), path.c_str() + nameAt, 0);
    }
  }
  if (!registered) return false;
  *tempPath = path;
  return true;
}

int OpenForWriting(const char* path, int flags) {
  TempFileCreation creation;
  if (!creation.allowed()) {
    errno = EINTR;
    return -1;
  }
  return OpenAnyLength(path, flags | O_CREAT, 0666);
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
    // After a power loss a file system may hold the rename but not yet the data it names, and
    // the file replaced would be gone with its replacement; so the data goes to disk first. A
    // new name loses nothing that way and is not worth the wait.
    if (exists && !FlushFile(tempPath)) return false;
    published = renameat(from.dir, fromName, to.dir, toName) == 0;
  } else if (renameat2(from.dir, fromName, to.dir, toName, RENAME_NOREPLACE) == 0) {
    published = true;
  } else if (errno == EINVAL || errno == ENOSYS) {
    // File systems without the no-replace rename: a hard link fails just as surely on an
    // existing name.
    published = linkat(from.dir, fromName, to.dir, toName, 0) == 0;
    if (published) unlinkat(from.dir, fromName, 0);
  }
  if (published) UnregisterTempFile(tempPath);
  return published;
}

void PosixPlatform::DiscardTempFile(const std::string& tempPath) {
  RemoveAnyLength(tempPath.c_str());
  UnregisterTempFile(tempPath);
}

bool PosixPlatform::FlushFile(const std::string& path) {
  FdOwner file(OpenAnyLength(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  // EINVAL: a file system that has nothing to force.
  return fsync(file.get()) == 0 || errno == EINVAL;
}
