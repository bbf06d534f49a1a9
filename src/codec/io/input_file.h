// A source file opened for decoding: only regular files are opened, and never with a
// blocking open or read on a FIFO or device. A file can also be a range of another file (an
// image stored inside a container) or bytes held in memory (a picture embedded in another
// file), read through the same calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// What tells one state of a file from another without reading it: the file (device and inode)
// and its size and modification time when it was opened. Two equal identities are taken to
// be the same content. Files that are not on disk have none (known false), equal to nothing.
struct FileIdentity {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanoseconds = 0;

  // Returns true when both are known and name the same file in the same state; false otherwise.
  bool SameAs(const FileIdentity& other) const {
    return known && other.known && device == other.device && inode == other.inode &&
           size == other.size && modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds;
  }
};

class InputFile {
 public:
  // Returns an open file, or nullptr when path is not a readable regular file.
  static std::unique_ptr<InputFile> Open(const char* path);
  // Returns a file that reads only length bytes of whole from offset on (an image stored
  // inside a container), through a handle of its own; nullptr when the range is not wholly
  // inside whole or no handle is left. Its Stdio() gives nullptr.
  static std::unique_ptr<InputFile> OpenRange(const InputFile& whole, uint64_t offset,
                                              uint64_t length);
  // Returns a file whose content is bytes, named path for messages; never nullptr.
  static std::unique_ptr<InputFile> FromBytes(std::vector<uint8_t> bytes, std::string path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int fd() const { return fd_; }  // -1 for bytes in memory
  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // The file as it was when opened; unknown for a range or bytes in memory.
  const FileIdentity& identity() const { return identity_; }

  // Returns true when exactly length bytes were read at offset into buffer; false on a short
  // read or an error.
  bool ReadAt(uint64_t offset, void* buffer, size_t length) const;

  // Returns how many bytes were read at offset into buffer: length, or fewer (0 included) when
  // the file ends first or a read fails. The bytes read are valid either way.
  size_t ReadUpTo(uint64_t offset, void* buffer, size_t length) const;

  // Returns a stdio stream over the file, positioned at its start, owned by this object
  // (closed with it); nullptr on failure. Every call rewinds the same stream.
  FILE* Stdio();

  // Forgets what the stdio stream read ahead, keeping its position, so that the next reads
  // see the file as it is now.
  void DropReadAhead();

 private:
  InputFile(int fd, uint64_t size, std::string path, uint64_t base = 0, bool range = false)
      : fd_(fd), size_(size), path_(std::move(path)), base_(base), range_(range) {}
  int fd_;
  uint64_t size_;
  std::string path_;
  uint64_t base_;               // where the range this object reads starts in the file
  bool range_;                  // reads a range of the file, not all of it
  std::vector<uint8_t> bytes_;  // the content when fd_ is -1
  FILE* stdio_ = nullptr;
  std::unique_ptr<char[]> stdioBuffer_;  // stdio_'s buffer, freed after stdio_ is closed
  FileIdentity identity_;
};
