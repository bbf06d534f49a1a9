// Paths of any length. One system call takes a path shorter than PATH_MAX; a longer one is
// opened here in pieces, each a run of whole components short enough for one call and each
// resolved from the folder handle of the piece before it. The system follows links and ".."
// inside every piece just as it would inside the whole text, so the pieces name what the text
// names. A short path takes the plain call.
#pragma once

#include <sys/types.h>

#include <string>

// Owner of a file descriptor: closes it when dropped or replaced.
class FdOwner {
 public:
  FdOwner() = default;
  explicit FdOwner(int fd) : fd_(fd) {}
  ~FdOwner() { Reset(); }
  FdOwner(FdOwner&& other) noexcept : fd_(other.Release()) {}
  FdOwner& operator=(FdOwner&& other) noexcept;
  FdOwner(const FdOwner&) = delete;
  FdOwner& operator=(const FdOwner&) = delete;

  int get() const { return fd_; }
  // Returns the descriptor, which the caller now owns; -1 when empty.
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A path in the form the *at calls take: rest relative to the folder dir. A short path is
// itself the rest, with dir AT_FDCWD.
struct AtPath {
  FdOwner owner;  // holds dir when it was opened for this path
  int dir = -1;
  std::string rest;
};

// Returns true and sets *at to name path; false, with errno set, when one of its leading
// folders cannot be opened.
bool ResolveAtPath(const std::string& path, AtPath* at);

// Returns a new descriptor (O_PATH) of the folder at path, for *at calls and fchdir; -1 with
// errno set when path is no folder or cannot be reached.
int OpenFolderHandle(const std::string& path);

// Returns a new descriptor of path opened with flags (and mode for a file it creates); -1
// with errno set on failure.
int OpenAnyLength(const char* path, int flags, mode_t mode = 0);

// Returns a new descriptor of path opened for writing with flags, creating the file when it
// is missing; -1 with errno set on failure, and always once an interruption is being handled.
// The open and an interruption's removal of temporary files take turns, so that a writer
// never makes again a temporary file that the interruption has just removed.
int OpenForWriting(const char* path, int flags);

// Returns true when path, which is not a folder, was deleted; false otherwise.
bool RemoveAnyLength(const char* path);
