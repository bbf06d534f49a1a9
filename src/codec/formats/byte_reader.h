// Sequential byte access over an InputFile for the decoders that parse a stream a byte at a
// time (Netpbm text, QOI) and for C libraries that pull their input in small pieces (giflib,
// libspng): one chunk of the file is held at a time, so that many small reads cost one system
// call per chunk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/io/input_file.h"

class ByteReader {
 public:
  static constexpr size_t kReadChunk = 64 * 1024;

  // Reads file from offset on, chunk bytes at a time (smaller chunks suit readers that seek).
  ByteReader(const InputFile& file, uint64_t offset, size_t chunk = kReadChunk)
      : file_(file), offset_(offset), chunk_(chunk) {}

  // Returns the next byte without consuming it, or -1 at the end of the file.
  int Peek() {
    if (pos_ == buffer_.size() && !Fill()) return -1;
    return buffer_[pos_];
  }
  // Returns the next byte, or -1 at the end of the file.
  int Get() {
    int c = Peek();
    if (c >= 0) ++pos_;
    return c;
  }
  // Returns true and the next n bytes in out; false when the file ends before them.
  bool Read(uint8_t* out, size_t n) { return ReadUpTo(out, n) == n; }
  // Returns how many of the next n bytes were copied to out: n, or fewer (0 included) when the
  // file ends first or its next chunk cannot be read. The bytes copied are valid either way.
  size_t ReadUpTo(uint8_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
      if (pos_ == buffer_.size() && !Fill()) break;
      const size_t take = std::min(n - done, buffer_.size() - pos_);
      std::memcpy(out + done, buffer_.data() + pos_, take);
      pos_ += take;
      done += take;
    }
    return done;
  }
  // Returns the file offset of the next byte.
  uint64_t offset() const { return offset_ - (buffer_.size() - pos_); }
  // Moves to file offset, keeping the held chunk when it covers the offset.
  void Seek(uint64_t offset) {
    const uint64_t start = offset_ - buffer_.size();
    if (offset >= start && offset <= offset_) {
      pos_ = static_cast<size_t>(offset - start);
      return;
    }
    Restart(offset);
  }
  // Moves to file offset and drops the held chunk, so that a decoder starting over reads the
  // file as it is now.
  void Restart(uint64_t offset) {
    buffer_.clear();
    pos_ = 0;
    offset_ = offset;
  }

 private:
  bool Fill() {
    if (offset_ >= file_.size()) return false;
    size_t length = static_cast<size_t>(std::min<uint64_t>(chunk_, file_.size() - offset_));
    buffer_.resize(length);
    if (!file_.ReadAt(offset_, buffer_.data(), length)) {
      buffer_.clear();
      pos_ = 0;
      return false;
    }
    offset_ += length;
    pos_ = 0;
    return true;
  }

  const InputFile& file_;
  uint64_t offset_;
  size_t chunk_;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;
};
