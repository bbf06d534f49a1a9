// RLE4/RLE8 pixel data of a BMP read a row at a time. One pass over the stream records where
// the stream's cursor enters each row it reaches (after an end of line, or a delta moving down),
// so any stored row can later be decoded on its own, in any order, from that point to where the
// stream leaves the row. Memory is one RGB row plus one entry per row the stream reaches; the
// stream itself is read through a small window, never whole.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codec/formats/bmp/bmp_decoder_header.h"
#include "codec/io/input_file.h"

// The stream, read through a window of the file that moves on demand.
class BmpRleWindow {
 public:
  BmpRleWindow(const InputFile& file, uint64_t offset, uint64_t size);

  uint64_t size() const { return size_; }
  bool failed() const { return failed_; }

  // Returns the n (at most kMaxRequest) bytes at stream position pos, valid until the next
  // call; nullptr when the stream ends before them or the file cannot be read (failed()).
  const uint8_t* Get(uint64_t pos, size_t n);

  static constexpr size_t kMaxRequest = 1024;

 private:
  const InputFile& file_;
  uint64_t offset_;
  uint64_t size_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;  // stream position of buffer_[0]
  size_t length_ = 0;   // valid bytes in buffer_
  bool failed_ = false;
};

class BmpRleRows {
 public:
  // header must be an RLE4 or RLE8 one; file must outlive this object.
  BmpRleRows(const InputFile& file, const BmpHeader& header);

  // Walks the whole stream. Returns false when it cannot be read, or breaks off (runs out
  // without end of bitmap, or inside an escape or absolute run) before the last row.
  bool Scan();

  // Writes stored row `row` (0 = first in the file) as RGB into out, 3 * width bytes; pixels
  // the stream leaves unwritten get palette entry 0, indices past the palette black. Needs a
  // successful Scan. Returns false only when the file cannot be read.
  bool ReadRow(int row, uint8_t* out);

 private:
  // Where the cursor enters a row: stream position, and column clamped to the width (past
  // the width nothing more is drawn in the row).
  struct Entry {
    uint64_t pos;
    uint32_t row;
    uint32_t column;
  };

  void Enter(uint64_t pos, int64_t row, int64_t column);

  BmpRleWindow window_;
  int width_;
  int height_;
  bool rle4_;
  std::array<std::array<uint8_t, 3>, 256> colors_;
  std::vector<uint8_t> blankRow_;  // every pixel palette entry 0
  std::vector<Entry> entries_;     // increasing rows, as the stream reaches them
};
