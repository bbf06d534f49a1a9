#include "platform/long_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// The longest text one system call takes, its terminating NUL not counted.
constexpr size_t kLongestCallText = PATH_MAX - 1;

}  // namespace

FdOwner& FdOwner::operator=(FdOwner&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int FdOwner::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void FdOwner::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool ResolveAtPath(const std::string& path, AtPath* at) {
  at->owner.Reset();
  at->dir = AT_FDCWD;
  if (path.size() <= kLongestCallText) {
    at->rest = path;
    return true;
  }
  size_t start = 0;
  while (path.size() - start > kLongestCallText) {
    // Each piece ends at the last separator that keeps it short enough, but never at the
    // path's own final separator, which belongs to the last name ("x/" asks for a folder).
    size_t limit = std::min(start + kLongestCallText, path.size() - 2);
    size_t cut = path.rfind('/', limit);
    if (cut == std::string::npos || cut < start) {
      errno = ENAMETOOLONG;  // one name longer than any call takes
      return false;
    }
    std::string piece = cut == start ? std::string("/") : path.substr(start, cut - start);
    int fd = openat(at->dir, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    at->owner.Reset(fd);
    at->dir = fd;
    start = cut + 1;
    // The rest must stay relative to the piece: repeated separators go with the cut.
    while (start < path.size() && path[start] == '/') ++start;
  }
  at->rest = start < path.size() ? path.substr(start) : std::string(".");
  return true;
}

int OpenFolderHandle(const std::string& path) {
  AtPath at;
  if (!ResolveAtPath(path, &at)) return -1;
  return openat(at.dir, at.rest.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int OpenAnyLength(const char* path, int flags, mode_t mode) {
  if (std::strlen(path) <= kLongestCallText) return open(path, flags, mode);
  AtPath at;
  if (!ResolveAtPath(path, &at)) return -1;
  return openat(at.dir, at.rest.c_str(), flags, mode);
}

bool RemoveAnyLength(const char* path) {
  if (std::strlen(path) <= kLongestCallText) return unlink(path) == 0;
  AtPath at;
  return ResolveAtPath(path, &at) && unlinkat(at.dir, at.rest.c_str(), 0) == 0;
}
