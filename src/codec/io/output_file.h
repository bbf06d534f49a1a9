// Output files of the writers: a stdio stream owner whose close reports write errors, and a
// guard that removes a partly written file unless the save succeeded.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

class OutputFile {
 public:
  // Returns the file created or truncated at path, nullptr when it cannot be opened.
  static std::unique_ptr<OutputFile> Create(const char* path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  FILE* stream() const { return stream_; }
  // Returns true when everything written reached the file and it closed cleanly.
  bool Close();

 private:
  OutputFile(FILE* stream, std::unique_ptr<char[]> buffer)
      : stream_(stream), buffer_(std::move(buffer)) {}
  FILE* stream_;
  // The stream's buffer, larger than stdio's 4 KB so that a large output takes one write
  // call per 64 KB instead of one per block a writer hands over.
  std::unique_ptr<char[]> buffer_;
};

class RemoveUnlessKept {
 public:
  explicit RemoveUnlessKept(const char* path) : path_(path) {}
  ~RemoveUnlessKept();
  RemoveUnlessKept(const RemoveUnlessKept&) = delete;
  RemoveUnlessKept& operator=(const RemoveUnlessKept&) = delete;
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};
