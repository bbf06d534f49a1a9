// Turns one row of TIFF samples, as libtiff hands them out (bit-packed integers, native 16-bit,
// 32-bit integers or floats; contiguous or one plane per sample), into a row of the codec's
// canonical 8-bit layouts. CIE L*a*b* rows come out as sRGB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/decoder.h"
#include "codec/pipeline/lab_color.h"

enum class TiffColor : uint8_t { kGray, kRgb, kPalette, kCmyk, kLab };

// Returns the number of colour samples a pixel of color stores (extra samples aside).
inline int TiffColorSamples(TiffColor color) {
  return color == TiffColor::kRgb || color == TiffColor::kLab ? 3
         : color == TiffColor::kCmyk                          ? 4
                                                              : 1;
}

enum class TiffSampleKind : uint8_t { kUnsigned, kSigned, kFloat };

struct TiffRowFormat {
  TiffColor color = TiffColor::kGray;
  TiffSampleKind kind = TiffSampleKind::kUnsigned;
  int bitsPerSample = 8;    // 1..16 for integers, also 32; 32 or 64 for floats
  int samplesPerPixel = 1;  // stored samples per pixel, extra samples included
  bool separate = false;    // one plane per sample instead of interleaved samples
  bool invert = false;      // min-is-white gray
  int alphaSample = -1;     // stored index of the alpha sample, -1 when none
  bool premultiplied = false;
  int width = 0;
  std::vector<uint8_t> palette;  // 3 bytes per entry, 8-bit red, green, blue
  // CIELab only (8 or 16 bits, a* and b* signed whatever the sample format says).
  std::shared_ptr<const LabToSrgb> lab;
};

// Returns true when format is one ConvertTiffRow handles; false otherwise.
bool TiffRowFormatSupported(const TiffRowFormat& format);

// Returns the layout ConvertTiffRow writes for format.
PixelLayout TiffRowLayout(const TiffRowFormat& format);

// Returns the bytes one stored row of one plane takes (the whole row when contiguous), or 0 on
// overflow.
uint64_t TiffPlaneRowBytes(const TiffRowFormat& format, uint64_t pixels);

// Fills format.palette from 16-bit colour maps of 1 << bitsPerSample entries (maps that only
// use 0..255 are taken as 8-bit, as many writers store them). Returns nothing.
void SetTiffPalette(TiffRowFormat& format, const uint16_t* red, const uint16_t* green,
                    const uint16_t* blue);

// Converts one row: planes[0] is the row when contiguous, planes[s] is sample s's row when
// separate. Writes width pixels of TiffRowLayout(format) to out. Returns nothing.
void ConvertTiffRow(const TiffRowFormat& format, const uint8_t* const* planes, uint8_t* out);

// Returns the straight (unpremultiplied) value of colour c under alpha a.
inline uint8_t Unpremultiply(uint8_t c, uint8_t a) {
  if (a == 0) return 0;
  unsigned v = (static_cast<unsigned>(c) * 255u + a / 2u) / a;
  return static_cast<uint8_t>(v > 255u ? 255u : v);
}
