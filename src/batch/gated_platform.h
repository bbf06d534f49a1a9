// A view of the platform for the conversion's coordinator while outputs are still being made
// on other threads: any question about a name that an unfinished file may still create waits
// until that file is finished, so the answer is the one a strictly sequential run would get.
#pragma once

#include <functional>
#include <string>

#include "platform/platform.h"

class GatedPlatform final : public Platform {
 public:
  // settle(path) must return only once no unfinished file may still create path.
  GatedPlatform(Platform& inner, std::function<void(const std::string&)> settle)
      : inner_(inner), settle_(std::move(settle)) {}

  bool IsWritable(const std::string& path) override {
    settle_(path);
    return inner_.IsWritable(path);
  }
  bool IsFolder(const std::string& path) override {
    settle_(path);
    return inner_.IsFolder(path);
  }
  bool ModifiedTime(const std::string& path, int64_t* nanoseconds) override {
    settle_(path);
    return inner_.ModifiedTime(path, nanoseconds);
  }
  bool MakeDir(const std::string& path) override {
    settle_(path);
    return inner_.MakeDir(path);
  }
  bool RemoveFile(const std::string& path) override {
    settle_(path);
    return inner_.RemoveFile(path);
  }
  bool CurrentDir(std::string* path) override { return inner_.CurrentDir(path); }
  bool ChangeDir(const std::string& path) override { return inner_.ChangeDir(path); }
  std::vector<DirEntry> Enumerate(const std::string& pattern) override {
    return inner_.Enumerate(pattern);
  }
  std::string FullPath(const std::string& pattern) override { return inner_.FullPath(pattern); }
  void OpenDocument(const std::string& document) override { inner_.OpenDocument(document); }
  bool CreateTempFile(const std::string& folder, std::string* tempPath) override {
    return inner_.CreateTempFile(folder, tempPath);
  }
  bool PublishFile(const std::string& tempPath, const std::string& target, bool replace) override {
    return inner_.PublishFile(tempPath, target, replace);
  }
  void DiscardTempFile(const std::string& tempPath) override { inner_.DiscardTempFile(tempPath); }
  int ProcessorCount() override { return inner_.ProcessorCount(); }
  bool IsErrorTerminal() override { return inner_.IsErrorTerminal(); }
  int ErrorTerminalColumns() override { return inner_.ErrorTerminalColumns(); }
  int64_t MonotonicMilliseconds() override { return inner_.MonotonicMilliseconds(); }
  std::string WhyNotWritable(const std::string& folder) override {
    return inner_.WhyNotWritable(folder);
  }
  std::string WhyNotPublished(const std::string& target) override {
    return inner_.WhyNotPublished(target);
  }

 private:
  Platform& inner_;
  std::function<void(const std::string&)> settle_;
};
