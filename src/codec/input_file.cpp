#include "codec/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/long_path.h"

std::unique_ptr<InputFile> InputFile::Open(const char* path) {
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; the type test below then
  // refuses it before any read.
  int fd = OpenAnyLength(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::unique_ptr<InputFile>(new InputFile(fd, static_cast<uint64_t>(st.st_size), path));
}

InputFile::~InputFile() {
  if (stdio_ != nullptr) {
    std::fclose(stdio_);  // closes fd_ too
  } else {
    close(fd_);
  }
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t length) const {
  auto* out = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    ssize_t n = pread(fd_, out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

FILE* InputFile::Stdio() {
  if (stdio_ == nullptr) stdio_ = fdopen(fd_, "rb");
  if (stdio_ != nullptr) std::rewind(stdio_);
  return stdio_;
}
