#include "codec/io/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/long_path.h"

namespace {

constexpr size_t kOutputBuffer = 64u << 10;

}  // namespace

std::unique_ptr<OutputFile> OutputFile::Create(const char* path) {
  int fd = OpenForWriting(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  auto buffer = std::make_unique<char[]>(kOutputBuffer);
  std::setvbuf(stream, buffer.get(), _IOFBF, kOutputBuffer);
  return std::unique_ptr<OutputFile>(new OutputFile(stream, std::move(buffer)));
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
  if (!kept_) RemoveAnyLength(path_.c_str());
}
