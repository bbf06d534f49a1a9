// The real Platform, on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/long_path.h"
#include "platform/platform.h"

namespace {

#ifdef __APPLE__
constexpr const char* kOpener = "open";
#else
constexpr const char* kOpener = "xdg-open";
#endif

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The platform's own listing order, made repeatable: names compared without regard to
// letter case, ties broken by the bytes.
bool ListingOrder(const DirEntry& a, const DirEntry& b) {
  int folded = strcasecmp(a.name.c_str(), b.name.c_str());
  if (folded != 0) return folded < 0;
  return a.name < b.name;
}

}  // namespace

namespace {

// Returns true and fills *st with what path leads to, links followed; false when it cannot
// be examined.
bool StatAnyLength(const std::string& path, struct stat* st) {
  AtPath at;
  return ResolveAtPath(path, &at) && fstatat(at.dir, at.rest.c_str(), st, 0) == 0;
}

bool SameFolder(const std::string& a, const char* b) {
  struct stat sa, sb;
  return StatAnyLength(a, &sa) && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Returns true when path (as long as it may be) became the current directory.
bool EnterFolder(const std::string& path) {
  if (path.size() < PATH_MAX) return chdir(path.c_str()) == 0;
  FdOwner folder(OpenFolderHandle(path));
  return folder.get() >= 0 && fchdir(folder.get()) == 0;
}

}  // namespace

bool PosixPlatform::CurrentDir(std::string* path) {
  // The folder as it was entered, links kept, as long as it still is the current one.
  if (!logicalCwd_.empty() && SameFolder(logicalCwd_, ".")) {
    *path = logicalCwd_;
    return true;
  }
  std::string buffer(4096, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return false;
    buffer.resize(buffer.size() * 2);
  }
  *path = buffer.c_str();
  return true;
}

bool PosixPlatform::ChangeDir(const std::string& path) {
  if (path.empty()) return false;
  // Entered by its textual full path, so that a folder reached through a link keeps the
  // link's name in every path built below it.
  std::string target = path;
  if (path[0] == '/') {
    target = ResolveDots(path);
  } else if (std::string cwd; CurrentDir(&cwd)) {
    target = ResolveDots(cwd + "/" + path);
  }
  if (!EnterFolder(target)) return false;
  logicalCwd_ = target[0] == '/' ? target : std::string();
  return true;
}

std::vector<DirEntry> PosixPlatform::Enumerate(const std::string& pattern) {
  std::vector<DirEntry> entries;
  DirHandle dir(opendir("."));
  if (!dir) return entries;
  int dirFd = dirfd(dir.get());
  while (dirent* d = readdir(dir.get())) {
    if (!MatchesPattern(pattern, d->d_name)) continue;
    DirEntry entry;
    entry.name = d->d_name;
    // Plain files need no stat; folders need one for their identity, and links and unknown
    // kinds for what they lead to.
    if (d->d_type != DT_REG) {
      struct stat st;
      if (fstatat(dirFd, d->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
        entry.isFolder = true;
        entry.device = static_cast<uint64_t>(st.st_dev);
        entry.inode = static_cast<uint64_t>(st.st_ino);
      }
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), ListingOrder);
  return entries;
}

std::string PosixPlatform::FullPath(const std::string& pattern) {
  if (!pattern.empty() && pattern[0] == '/') return ResolveDots(pattern);
  std::string cwd;
  if (!CurrentDir(&cwd)) return std::string();
  return ResolveDots(cwd + "/" + pattern);
}

bool PosixPlatform::IsWritable(const std::string& path) {
  AtPath at;
  if (!ResolveAtPath(path, &at)) return false;
  struct stat st;
  if (fstatat(at.dir, at.rest.c_str(), &st, 0) != 0) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return faccessat(at.dir, at.rest.c_str(), W_OK, 0) == 0;
}

bool PosixPlatform::IsFolder(const std::string& path) {
  struct stat st;
  return StatAnyLength(path, &st) && S_ISDIR(st.st_mode);
}

bool PosixPlatform::ModifiedTime(const std::string& path, int64_t* nanoseconds) {
  struct stat st;
  if (!StatAnyLength(path, &st) || S_ISDIR(st.st_mode)) return false;
  *nanoseconds = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool PosixPlatform::MakeDir(const std::string& path) {
  AtPath at;
  return ResolveAtPath(path, &at) && mkdirat(at.dir, at.rest.c_str(), 0777) == 0;
}

bool PosixPlatform::RemoveFile(const std::string& path) {
  AtPath at;
  if (!ResolveAtPath(path, &at)) return false;
  struct stat st;
  if (fstatat(at.dir, at.rest.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
    return false;
  }
  return unlinkat(at.dir, at.rest.c_str(), 0) == 0;
}

void PosixPlatform::OpenDocument(const std::string& document) {
  // The viewer must outlive us and must not become our zombie, so it is started by a
  // short-lived intermediate child that we reap at once.
  std::fflush(stdout);
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      // The viewer starts with the signal dispositions any program expects.
      signal(SIGPIPE, SIG_DFL);
      signal(SIGXFSZ, SIG_DFL);
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
      }
      execlp(kOpener, kOpener, document.c_str(), static_cast<char*>(nullptr));
    }
    _exit(0);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int PosixPlatform::ProcessorCount() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : static_cast<int>(count);
}

Platform& SystemPlatform() {
  // A write to a pipe whose reader has gone (xevra ... | head) or past a file-size limit
  // would otherwise end the process with outputs half made. Ignored, it fails like any
  // other write: the console text is lost, the one output fails, the batch goes on.
  static const bool writeSignalsIgnored = [] {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    return true;
  }();
  static_cast<void>(writeSignalsIgnored);
  static PosixPlatform platform;
  return platform;
}
