// Platforms for tests: one with a current directory set by the test and documents recorded
// instead of opened; one that is the real system except for the folders it refuses to enter.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

class FakePlatform : public PosixPlatform {
 public:
  bool CurrentDir(std::string* path) override {
    if (!cwdReadable) return false;
    *path = cwd;
    return true;
  }
  void OpenDocument(const std::string& document) override { opened.push_back(document); }

  std::string cwd = "/work";
  bool cwdReadable = true;
  std::vector<std::string> opened;
};

// Refuses to enter the folders named in refused (as given to ChangeDir, or as full paths),
// the way a folder without execute permission refuses an ordinary user.
class RefusingPlatform : public PosixPlatform {
 public:
  bool ChangeDir(const std::string& path) override {
    if (refused.count(path) != 0) return false;
    ++changes;
    return PosixPlatform::ChangeDir(path);
  }
  std::set<std::string> refused;
  int changes = 0;
};
