// The real platform's answers for the messages on standard error: the terminal, the clock,
// and the system's words for a folder or an output name that cannot be used.
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/long_path.h"
#include "platform/platform.h"

namespace {

// Returns the folder part of path ("/" for a name at the root, "." for a bare name).
std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Returns true and fills *st with what path leads to, links followed; false with errno set.
bool StatPath(const std::string& path, struct stat* st) {
  AtPath at;
  return ResolveAtPath(path, &at) && fstatat(at.dir, at.rest.c_str(), st, 0) == 0;
}

bool HasWriteBits(const struct stat& st) {
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

// Returns why nothing can be made in the existing folder path; empty when it can.
std::string WhyNotWritableFolder(const std::string& path, const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return "a file of that name is in the way";
  if (!HasWriteBits(st)) return "it is read-only";
  AtPath at;
  if (ResolveAtPath(path, &at) && faccessat(at.dir, at.rest.c_str(), W_OK, 0) != 0) {
    return std::strerror(errno);
  }
  return std::string();
}

}  // namespace

bool PosixPlatform::IsErrorTerminal() { return isatty(STDERR_FILENO) == 1; }

int PosixPlatform::ErrorTerminalColumns() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int64_t PosixPlatform::MonotonicMilliseconds() {
  struct timespec now {};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string PosixPlatform::WhyNotWritable(const std::string& folder) {
  struct stat st;
  if (StatPath(folder, &st)) return WhyNotWritableFolder(folder, st);
  if (errno != ENOENT) return std::strerror(errno);
  // Missing: the reason lies with the nearest level that exists, which could not hold it,
  // or with a missing level above the one that was to be made.
  std::string missing = folder;
  while (true) {
    std::string level = ParentOf(missing);
    if (level == missing) return std::strerror(ENOENT);
    if (!StatPath(level, &st)) {
      if (errno != ENOENT) return level + ": " + std::strerror(errno);
      missing = level;
      continue;
    }
    std::string why = WhyNotWritableFolder(level, st);
    if (!why.empty()) return level + ": " + why;
    return missing == folder ? std::strerror(ENOENT) : "the folder " + missing + " is missing";
  }
}

std::string PosixPlatform::WhyNotPublished(const std::string& target) {
  size_t slash = target.find_last_of('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string folder = ParentOf(target);
  FdOwner handle(OpenFolderHandle(folder));
  long limit = handle.get() >= 0 ? fpathconf(handle.get(), _PC_NAME_MAX) : -1;
  if (limit <= 0) limit = NAME_MAX;
  if (static_cast<long>(name.size()) > limit) {
    return "the name is " + std::to_string(name.size()) + " bytes long, over the file system's " +
           "limit of " + std::to_string(limit);
  }
  struct stat st;
  if (StatPath(target, &st)) {
    if (S_ISDIR(st.st_mode)) return "a folder of that name is in the way";
    if (!HasWriteBits(st)) return "a read-only file of that name is in the way";
    return "a file of that name is in the way";
  }
  return WhyNotWritable(folder);
}
