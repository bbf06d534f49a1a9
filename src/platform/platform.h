// The operating-system layer: the one place that calls the system for the current folder,
// files and the desktop. Everything above it takes a Platform& so that tests can hand in a
// fake that refuses what a real system (or root) would allow.
#pragma once

#include <string>

class Platform {
 public:
  virtual ~Platform() = default;

  // Returns true and stores the current directory's full path in *path; false on failure,
  // leaving *path untouched.
  virtual bool CurrentDir(std::string* path) = 0;

  // Asks the desktop to open document (relative to the current directory) in its viewer,
  // without waiting. Every failure is silent.
  virtual void OpenDocument(const std::string& document) = 0;
};

// Returns the process's real platform; it lives for the whole run.
Platform& SystemPlatform();
