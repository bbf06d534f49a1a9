// The temporary files of this process that are neither published nor discarded yet, listed
// where a signal handler can find and remove them when the process is interrupted.
#pragma once

#include <signal.h>

#include <string>

// Makes SIGINT, SIGTERM and SIGHUP remove every registered file before they end the process;
// a signal that the caller chose to ignore stays ignored. Later calls do nothing.
void InstallTempFileCleanup();

// While one is alive, the calling thread may make a temporary file and register it without an
// interruption falling in between: SIGINT, SIGTERM and SIGHUP are blocked on this thread, and
// a handler running on another thread waits for it to end before removing the files.
class TempFileCreation {
 public:
  TempFileCreation();
  ~TempFileCreation();
  TempFileCreation(const TempFileCreation&) = delete;
  TempFileCreation& operator=(const TempFileCreation&) = delete;
  // Returns true when a file may be made; false when the process is already being interrupted.
  bool allowed() const { return allowed_; }

 private:
  sigset_t old_;
  bool allowed_;
};

// Adds path to the files removed on interruption; folder is a handle of its folder, which the
// list then owns until the file is taken off. Returns true on success, false when no memory
// could be had for it (the file is then not listed and folder stays the caller's).
bool RegisterTempFile(const std::string& path, int folder);

// Takes path off the list; does nothing when it is not on it.
void UnregisterTempFile(const std::string& path);

// Returns true when a registered file is named name (its last path component), false
// otherwise.
bool IsRegisteredTempName(const std::string& name);
