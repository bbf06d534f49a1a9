// A Platform for tests: a current directory set by the test, documents recorded instead of
// opened.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

class FakePlatform : public Platform {
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
