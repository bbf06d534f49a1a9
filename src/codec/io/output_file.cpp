#include "codec/io/output_file.h"

#include <unistd.h>

std::unique_ptr<OutputFile> OutputFile::Create(const char* path) {
  FILE* stream = std::fopen(path, "wb");
  if (stream == nullptr) return nullptr;
  return std::unique_ptr<OutputFile>(new OutputFile(stream));
}

OutputFile::~OutputFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

bool OutputFile::Close() {
  if (stream_ == nullptr) return false;
  bool ok = std::fflush(stream_) == 0 && std::ferror(stream_) == 0;
  ok = std::fclose(stream_) == 0 && ok;
  stream_ = nullptr;
  return ok;
}

RemoveUnlessKept::~RemoveUnlessKept() {
  if (!kept_) unlink(path_.c_str());
}
