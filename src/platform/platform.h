// The operating-system layer: the one place that calls the system for the current folder,
// files, folders and the desktop. Everything above it takes a Platform& so that tests can hand
// in a fake that refuses what a real system (or root) would allow. Every path may be of any
// length, also longer than one system call takes.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

// One entry of a folder listing.
struct DirEntry {
  std::string name;       // as the file system spells it
  bool isFolder = false;  // true when the entry is a folder or a link to one
  uint64_t device = 0;    // with inode, identifies a folder (0 for files)
  uint64_t inode = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Returns true and stores the current directory's full path in *path; false on failure,
  // leaving *path untouched.
  virtual bool CurrentDir(std::string* path) = 0;

  // Makes path (absolute, or relative to the current directory; "." and ".." resolved as
  // text) the current directory. Returns true on success, false when it is refused.
  virtual bool ChangeDir(const std::string& path) = 0;

  // Returns the entries of the current directory whose names match pattern ("*" any run,
  // "?" one character, letter case ignored, "*.*" everything), "." and ".." included, in a
  // fixed order (by name, letter case ignored, ties by byte order). Returns an empty list
  // when nothing matches or the folder cannot be read.
  virtual std::vector<DirEntry> Enumerate(const std::string& pattern) = 0;

  // Returns the current directory joined with pattern, "." and ".." resolved as text; an
  // empty string when the current directory cannot be read.
  virtual std::string FullPath(const std::string& pattern) = 0;

  // Returns true when path exists, may be written and carries a write permission bit; false
  // when it is missing, read-only or cannot be examined. Root gets no exemption.
  virtual bool IsWritable(const std::string& path) = 0;

  // Returns true when path is a folder or a link to one, whoever owns it and whatever its
  // permissions; false otherwise.
  virtual bool IsFolder(const std::string& path) = 0;

  // Returns true and the last modification time of the file at path (links followed), in
  // nanoseconds since 1970, in *nanoseconds; false when it is missing, a folder or cannot be
  // examined.
  virtual bool ModifiedTime(const std::string& path, int64_t* nanoseconds) = 0;

  // Creates the one folder path (its parent must exist). Returns true on success.
  virtual bool MakeDir(const std::string& path) = 0;

  // Deletes path when it is not a folder. Returns true on success, false otherwise.
  virtual bool RemoveFile(const std::string& path) = 0;

  // Asks the desktop to open document (relative to the current directory) in its viewer,
  // without waiting. Every failure is silent.
  virtual void OpenDocument(const std::string& document) = 0;

  // Outputs are written into a temporary file beside their final name and published only
  // when complete, so that a failure or an interruption never leaves a partial file.

  // Returns true and the path of a new, empty temporary file in folder (a hidden name that
  // no usual mask matches); false when none can be made. Until it is published or discarded
  // it is removed if the process is interrupted (SIGINT, SIGTERM, SIGHUP). The first one made
  // in a folder also removes the temporary files there that killed runs left behind.
  virtual bool CreateTempFile(const std::string& folder, std::string* tempPath) = 0;

  // Moves the temporary file to target. Without replace it fails when anything named target
  // exists; with replace it still fails for a read-only file or a folder, and an existing
  // file is only replaced once the new data is on disk. Returns true on success; on failure
  // the temporary file is left for DiscardTempFile.
  virtual bool PublishFile(const std::string& tempPath, const std::string& target,
                           bool replace) = 0;

  // Removes a temporary file that will not be published.
  virtual void DiscardTempFile(const std::string& tempPath) = 0;

  // Returns the number of processors online, at least 1.
  virtual int ProcessorCount() = 0;

  // What the console and the clock tell, for the messages on standard error. A platform that
  // cannot tell answers as a pipe would: no terminal, no width, a clock that stands still.

  // Returns true when standard error is a terminal; false otherwise.
  virtual bool IsErrorTerminal() { return false; }

  // Returns the width in columns of standard error's terminal; 0 when it cannot be told.
  virtual int ErrorTerminalColumns() { return 0; }

  // Returns milliseconds from a clock that never goes back; 0 when there is none.
  virtual int64_t MonotonicMilliseconds() { return 0; }

  // Returns the system's words for why folder cannot be written into (it is missing, its
  // parent is a file, permission is refused, ...); empty when nothing seems to stand in the way.
  virtual std::string WhyNotWritable(const std::string& folder) {
    static_cast<void>(folder);
    return std::string();
  }

  // Returns why a finished output cannot take the name target (a name longer than the file
  // system allows, a folder or a read-only file of that name, ...); empty when it cannot tell.
  virtual std::string WhyNotPublished(const std::string& target) {
    static_cast<void>(target);
    return std::string();
  }
};

// The real platform of a POSIX system. Tests derive from it to make single operations fail.
class PosixPlatform : public Platform {
 public:
  bool CurrentDir(std::string* path) override;
  bool ChangeDir(const std::string& path) override;
  std::vector<DirEntry> Enumerate(const std::string& pattern) override;
  std::string FullPath(const std::string& pattern) override;
  bool IsWritable(const std::string& path) override;
  bool IsFolder(const std::string& path) override;
  bool ModifiedTime(const std::string& path, int64_t* nanoseconds) override;
  bool MakeDir(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  void OpenDocument(const std::string& document) override;
  bool CreateTempFile(const std::string& folder, std::string* tempPath) override;
  bool PublishFile(const std::string& tempPath, const std::string& target, bool replace) override;
  void DiscardTempFile(const std::string& tempPath) override;
  int ProcessorCount() override;
  bool IsErrorTerminal() override;
  int ErrorTerminalColumns() override;
  int64_t MonotonicMilliseconds() override;
  std::string WhyNotWritable(const std::string& folder) override;
  std::string WhyNotPublished(const std::string& target) override;

 protected:
  // Forces the data of the file at path to disk. Returns true on success (or where the file
  // system has nothing to force), false when the data may not have reached the disk.
  virtual bool FlushFile(const std::string& path);

 private:
  std::string logicalCwd_;  // the full path last entered through ChangeDir
  // Device and inode of each folder already rid of leftovers (under the temporary files' lock).
  std::set<std::pair<uint64_t, uint64_t>> swept_;
};

// Returns the process's real platform; it lives for the whole run. Its first call also makes
// a write to a closed pipe or past a file-size limit fail like any other write, instead of
// ending the process (SIGPIPE, SIGXFSZ).
Platform& SystemPlatform();

// Returns true when name matches pattern by the rules of Platform::Enumerate.
bool MatchesPattern(const std::string& pattern, const std::string& name);

// Returns the absolute path with "." and ".." components resolved as text (no link is
// followed) and repeated separators made one; ".." at the root stays at the root.
std::string ResolveDots(const std::string& path);
