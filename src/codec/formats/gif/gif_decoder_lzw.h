// Our own reading of a GIF frame's pixel data, for frames giflib refuses: giflib takes an LZW
// minimum code size of at most 8, yet a frame with a 256-colour palette may be written with
// a larger one (its first codes are then 10 to 12 bits wide) and other readers accept it.
#pragma once

#include <array>
#include <cstdint>

#include "codec/io/input_file.h"

// The data sub-blocks of one frame read a byte at a time, one sub-block in memory.
class GifSubBlocks {
 public:
  // offset is where the first sub-block's length byte lies.
  GifSubBlocks(const InputFile& file, uint64_t offset) : file_(file), offset_(offset) {}

  // Returns true and the next data byte; false at the terminating empty sub-block or when
  // the file ends or cannot be read first (failed()).
  bool Next(uint8_t* byte) {
    if (pos_ == length_ && !Load()) return false;
    *byte = block_[pos_++];
    return true;
  }

  // Reads on to just past the terminating empty sub-block; false when the file ends first.
  // Adds the payload bytes it passes to *bytes when given.
  bool SkipRest(uint64_t* bytes = nullptr);

  bool failed() const { return failed_; }
  // Where the record after the data starts, once the terminator has been read.
  uint64_t offset() const { return offset_; }

 private:
  bool Load();

  const InputFile& file_;
  uint64_t offset_;  // of the next length byte
  std::array<uint8_t, 255> block_{};
  int length_ = 0;
  int pos_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// A GIF LZW decoder for any minimum code size from 2 to 11: codes are read least significant
// bit first, grow from minimum + 1 bits up to 12, and the table holds at most 4096 entries
// (once full it takes no more until the next clear code).
class GifLzw {
 public:
  static constexpr int kMinCodeSize = 2;
  static constexpr int kMaxCodeSize = 11;

  // Returns false when minCodeSize is outside kMinCodeSize..kMaxCodeSize.
  bool Start(int minCodeSize);

  // Writes the next count indices to out. Returns false when the data ends or holds the end
  // code before them, or holds a code past the table.
  bool Read(GifSubBlocks* in, uint16_t* out, int count);

 private:
  static constexpr int kTableSize = 4096;

  void Clear();
  bool NextCode(GifSubBlocks* in, int* code);
  // Puts the string of code on stack_, last index first; false when code is not in the table.
  bool Expand(int code);

  int minCodeSize_ = 0;
  int clearCode_ = 0;
  int codeSize_ = 0;
  int next_ = 0;   // the next table entry to be made
  int prev_ = -1;  // the previous code since the last clear, -1 when none
  bool ended_ = false;
  uint32_t bits_ = 0;
  int bitCount_ = 0;
  std::array<uint16_t, kTableSize> prefix_{};
  std::array<uint16_t, kTableSize> suffix_{};
  std::array<uint16_t, kTableSize> first_{};  // the first index of each entry's string
  std::array<uint16_t, kTableSize> stack_{};  // a string being output, last index first
  int stackSize_ = 0;
};
