// The parts of a Photoshop document (PSD, and PSB its large variant) that come before the
// merged composite image: the header, the colour mode data (an indexed document's palette),
// the image resources (ICC profile, EXIF, transparency index) and the length of the layer
// and mask section, which is skipped except for its layer count.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

enum class PsdMode : uint8_t { kBitmap, kGray, kIndexed, kRgb, kCmyk };

struct PsdHeader {
  bool large = false;  // PSB: 8-byte layer section length, 4-byte RLE row counts
  int channels = 0;    // stored channels of the composite
  int width = 0;
  int height = 0;
  int depth = 8;  // 1 (bitmap), 8 or 16 bits per sample
  PsdMode mode = PsdMode::kRgb;
  int colorChannels = 3;         // the channels that make the colour: 1, 3 or 4
  bool mergedAlpha = false;      // the channel after them is the composite's transparency
  std::vector<uint8_t> palette;  // indexed: 256 reds, then 256 greens, then 256 blues
  int transparentIndex = -1;     // indexed: the palette entry that stands for transparency
  std::vector<uint8_t> icc;
  std::vector<uint8_t> exif;  // from its TIFF header on
  int compression = 0;        // 0 raw, 1 PackBits
  uint64_t dataOffset = 0;    // of the composite, after its compression word
};

// Returns true and the document's header in *header; false with the reason in *failure when
// the file is damaged or holds a variant this program does not convert.
bool ReadPsdHeader(const InputFile& file, PsdHeader* header, Failure* failure);
