// Reading and checking the headers of a BMP file: file header, one of the info-header
// variants (OS/2 core 12, OS/2 2.x 16 and 64, Windows 40/52/56/108/124), colour masks and palette.
// Everything the pixel decoders need afterwards is resolved into one BmpHeader.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codec/io/input_file.h"

enum class BmpCompression : uint8_t { kNone, kRle8, kRle4, kBitfields };

// One colour channel of a 16- or 32-bit pixel: the bits of mask, scaled to 0..255.
struct BmpChannel {
  uint32_t mask = 0;
  int shift = 0;     // of the mask's lowest set bit
  uint64_t max = 0;  // mask >> shift; 0 when the channel is absent
};

struct BmpHeader {
  int width = 0;
  int height = 0;
  bool topDown = false;
  int bitCount = 0;  // 1, 2, 4, 8, 16, 24 or 32
  BmpCompression compression = BmpCompression::kNone;
  std::array<BmpChannel, 4> channels;  // red, green, blue, alpha (16 and 32 bits)
  bool hasAlphaMask = false;
  std::vector<std::array<uint8_t, 3>> palette;  // RGB, at most 2^bitCount entries
  uint64_t pixelOffset = 0;                     // start of the pixel array in the file
  uint64_t rowStride = 0;  // bytes per stored row, padding included (uncompressed)
  uint64_t rowBytes = 0;   // bytes of pixel data in a stored row (uncompressed)
  uint64_t dataSize = 0;   // bytes from pixelOffset to the end of the file
};

// Returns true and fills *header when file starts with a sound BMP header whose sizes and
// offsets agree with the file (an uncompressed pixel array must be wholly present); false
// otherwise, including for formats this decoder does not handle (JPEG/PNG inside BMP, OS/2
// Huffman and RLE24, 64 bits per pixel) and sources over kMaxSourcePixels.
bool ReadBmpHeader(const InputFile& file, BmpHeader* header);

// Returns the 0..255 value of channel in pixel (0 for an absent channel).
inline uint8_t BmpChannelValue(const BmpChannel& channel, uint32_t pixel) {
  if (channel.max == 0) return 0;
  uint64_t value = (pixel & channel.mask) >> channel.shift;
  return static_cast<uint8_t>((value * 255 + channel.max / 2) / channel.max);
}
