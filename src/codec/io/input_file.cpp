#include "codec/io/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/long_path.h"

namespace {

constexpr size_t kStdioBuffer = 64 * 1024;

}  // namespace

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
  std::unique_ptr<InputFile> file(new InputFile(fd, static_cast<uint64_t>(st.st_size), path));
  file->identity_ = {true,
                     static_cast<uint64_t>(st.st_dev),
                     static_cast<uint64_t>(st.st_ino),
                     static_cast<uint64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<int64_t>(st.st_mtim.tv_nsec)};
  return file;
}

std::unique_ptr<InputFile> InputFile::OpenRange(const InputFile& whole, uint64_t offset,
                                                uint64_t length) {
  if (offset > whole.size_ || length > whole.size_ - offset) return nullptr;
  if (whole.fd_ < 0) {
    const auto first = whole.bytes_.begin() + static_cast<ptrdiff_t>(offset);
    return FromBytes({first, first + static_cast<ptrdiff_t>(length)}, whole.path_);
  }
  const int fd = fcntl(whole.fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  return std::unique_ptr<InputFile>(
      new InputFile(fd, length, whole.path_, whole.base_ + offset, true));
}

std::unique_ptr<InputFile> InputFile::FromBytes(std::vector<uint8_t> bytes, std::string path) {
  std::unique_ptr<InputFile> file(new InputFile(-1, bytes.size(), std::move(path)));
  file->bytes_ = std::move(bytes);
  return file;
}

InputFile::~InputFile() {
  if (stdio_ != nullptr) {
    std::fclose(stdio_);  // closes fd_ too
  } else if (fd_ >= 0) {
    close(fd_);
  }
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t length) const {
  return ReadUpTo(offset, buffer, length) == length;
}

size_t InputFile::ReadUpTo(uint64_t offset, void* buffer, size_t length) const {
  auto* out = static_cast<unsigned char*>(buffer);
  // A range ends where its length says, even when the file goes on.
  if (offset >= size_) return 0;
  length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
  if (fd_ < 0) {
    std::memcpy(out, bytes_.data() + offset, length);
    return length;
  }
  offset += base_;
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

FILE* InputFile::Stdio() {
  if (range_) return nullptr;  // a stream would see the whole file, not the range
  if (stdio_ == nullptr) {
    // fmemopen takes no empty buffer: empty bytes give no stream, as an unreadable file does.
    if (fd_ >= 0) {
      stdio_ = fdopen(fd_, "rb");
      // stdio's own buffer is one disk block, and libjpeg asks for 4 KB at a time: a larger
      // buffer makes that one read of the file per 64 KB instead of one per 4 KB. glibc
      // ignores the size asked for unless it is also given the buffer.
      stdioBuffer_.reset(new (std::nothrow) char[kStdioBuffer]);
      if (stdio_ != nullptr && stdioBuffer_ != nullptr) {
        std::setvbuf(stdio_, stdioBuffer_.get(), _IOFBF, kStdioBuffer);
      }
    } else if (!bytes_.empty()) {
      stdio_ = fmemopen(bytes_.data(), bytes_.size(), "rb");
    }
  }
  if (stdio_ != nullptr) {
    DropReadAhead();  // a rewind within the buffer would keep it
    std::rewind(stdio_);
  }
  return stdio_;
}

void InputFile::DropReadAhead() {
  // On a stream being read, fflush discards the buffered input and moves the descriptor back
  // to the stream's position.
  if (stdio_ != nullptr) std::fflush(stdio_);
}
