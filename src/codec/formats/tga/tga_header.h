// The 18-byte header of a TGA file, checked strictly: TGA has no magic number, so only a
// header whose every field is one a TGA writer produces is taken for one.
#pragma once

#include <cstdint>

constexpr int kTgaHeaderSize = 18;

struct TgaHeader {
  int idLength = 0;
  int mapType = 0;    // 1 when a colour map follows the ID field
  int imageType = 0;  // 1, 2, 3 uncompressed; 9, 10, 11 run-length encoded
  int mapFirst = 0;   // index of the first map entry
  int mapLength = 0;  // entries
  int mapBits = 0;    // bits per map entry: 15, 16, 24 or 32
  int width = 0;
  int height = 0;
  int pixelBits = 0;
  int alphaBits = 0;  // attribute bits per pixel, the descriptor's low four bits
  bool rightToLeft = false;
  bool topDown = false;

  bool rle() const { return imageType >= 9; }
  bool mapped() const { return (imageType & 7) == 1; }
  bool gray() const { return (imageType & 7) == 3; }
  int pixelBytes() const { return (pixelBits + 7) / 8; }
  int mapBytes() const { return (mapBits + 7) / 8; }
  // Returns where the pixel data starts: after the header, the ID field and the map.
  uint64_t dataOffset() const {
    return kTgaHeaderSize + static_cast<uint64_t>(idLength) +
           (mapType == 1 ? static_cast<uint64_t>(mapLength) * mapBytes() : 0);
  }
};

// Returns true and fills *header when the kTgaHeaderSize bytes at p are a TGA header of a kind
// this program decodes (colour-mapped with 8-bit indices, true colour 15/16/24/32 bits, gray 8
// or 16 bits with alpha, plain or run-length encoded, not interleaved); false otherwise.
bool ParseTgaHeader(const uint8_t* p, TgaHeader* header);
