// The directory of an ICO or CUR file: a six-byte header (reserved 0, type 1 for icons or 2
// for cursors, entry count) and sixteen bytes per entry, each pointing at a PNG file or at a
// BMP without its file header whose height covers the colour image and the AND mask.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

constexpr int kIcoHeaderSize = 6;
constexpr int kIcoEntrySize = 16;

struct IcoEntry {
  int width = 0;  // from the entry's own header: a directory's size is only a hint
  int height = 0;
  int bits = 0;  // bits per pixel, for choosing between entries of one size
  bool png = false;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Returns true when head (length bytes) starts like an ICO or CUR directory whose entries,
// as far as head holds them, are sane; false otherwise.
bool LooksLikeIcoDirectory(const uint8_t* head, size_t length);

// Returns true and the entries of file that hold a readable image header, largest first (by
// width * height, then bits; directory order between equals); false with the reason in
// *failure when none does.
bool ReadIcoDirectory(const InputFile& file, std::vector<IcoEntry>* entries, Failure* failure);
