#include "codec/formats/tiff/tiff_decoder_rows.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

bool IsPackedInteger(int bits) { return bits >= 1 && bits <= 16 && bits != 16; }

// The bitsPerSample-wide integer at sample position index of a packed, MSB-first row.
uint32_t PackedSample(const uint8_t* row, size_t index, int bits) {
  uint64_t bitPos = static_cast<uint64_t>(index) * static_cast<uint64_t>(bits);
  size_t first = static_cast<size_t>(bitPos >> 3);
  size_t last = static_cast<size_t>((bitPos + static_cast<uint64_t>(bits) - 1) >> 3);
  uint32_t window = 0;
  for (size_t i = first; i <= last; ++i) window = (window << 8) | row[i];
  int unusedLow = static_cast<int>((last + 1) * 8 - (bitPos + static_cast<uint64_t>(bits)));
  return (window >> unusedLow) & ((1u << bits) - 1u);
}

// The raw integer value of a sample (palette index or unsigned level).
uint32_t RawSample(const TiffRowFormat& format, const uint8_t* row, size_t index) {
  switch (format.bitsPerSample) {
    case 8:
      return row[index];
    case 16: {
      uint16_t v;
      std::memcpy(&v, row + index * 2, 2);
      return v;
    }
    case 32: {
      uint32_t v;
      std::memcpy(&v, row + index * 4, 4);
      return v;
    }
    default:
      return PackedSample(row, index, format.bitsPerSample);
  }
}

uint8_t FromFloat(double v) {
  if (!(v > 0.0)) return 0;  // also NaN
  if (v >= 1.0) return 255;
  return static_cast<uint8_t>(std::lround(v * 255.0));
}

// A sample's level scaled to 0..255.
uint8_t Level8(const TiffRowFormat& format, const uint8_t* row, size_t index) {
  const int bits = format.bitsPerSample;
  if (format.kind == TiffSampleKind::kFloat) {
    if (bits == 32) {
      float v;
      std::memcpy(&v, row + index * 4, 4);
      return FromFloat(v);
    }
    double v;
    std::memcpy(&v, row + index * 8, 8);
    return FromFloat(v);
  }
  uint32_t raw = RawSample(format, row, index);
  if (format.kind == TiffSampleKind::kSigned) {
    // Two's complement of bits width; negative levels clamp to black.
    uint32_t sign = 1u << (bits - 1);
    if (raw & sign) return 0;
    uint64_t max = sign - 1;
    return static_cast<uint8_t>((raw * 255ull + max / 2) / max);
  }
  if (bits == 8) return static_cast<uint8_t>(raw);
  if (bits == 32) return static_cast<uint8_t>(raw >> 24);
  uint64_t max = (1ull << bits) - 1;
  return static_cast<uint8_t>((raw * 255ull + max / 2) / max);
}

// Rows that are already canonical: 8-bit unsigned, interleaved, no inversion or premultiplied
// alpha, and no samples beyond those delivered.
bool IsCanonical(const TiffRowFormat& f, int colorSamples) {
  if (f.bitsPerSample != 8 || f.kind != TiffSampleKind::kUnsigned || f.invert || f.separate ||
      f.color == TiffColor::kPalette) {
    return false;
  }
  bool alpha = f.alphaSample >= 0 && f.color != TiffColor::kCmyk;
  if (alpha)
    return !f.premultiplied && f.alphaSample == colorSamples &&
           f.samplesPerPixel == colorSamples + 1;
  return f.samplesPerPixel == colorSamples;
}

// Gray of 1 to 8 bits without alpha, through a table of its levels.
void ConvertSmallGray(const TiffRowFormat& f, const uint8_t* row, uint8_t* out) {
  const int bits = f.bitsPerSample;
  const uint32_t max = (1u << bits) - 1u;
  uint8_t levels[256];
  for (uint32_t v = 0; v <= max; ++v) {
    uint8_t level = static_cast<uint8_t>((v * 255u + max / 2u) / max);
    levels[v] = f.invert ? static_cast<uint8_t>(255 - level) : level;
  }
  const size_t width = static_cast<size_t>(f.width);
  const size_t step = f.separate ? 1 : static_cast<size_t>(f.samplesPerPixel);
  if (bits == 1 && step == 1) {
    for (size_t x = 0; x < width; ++x) out[x] = levels[(row[x >> 3] >> (7 - (x & 7))) & 1u];
    return;
  }
  if (bits == 8) {
    for (size_t x = 0; x < width; ++x) out[x] = levels[row[x * step]];
    return;
  }
  for (size_t x = 0; x < width; ++x) out[x] = levels[PackedSample(row, x * step, bits)];
}

// Returns sample s (0 L*, 1 a*, 2 b*) of a CIELab pixel in lcms2's 16-bit encoding. TIFF keeps
// L* unsigned (0..100 over the full range) and a*, b* as two's complement: whole units at 8
// bits, 1/256 units at 16.
uint16_t LabSample16(uint32_t raw, size_t s, int bits) {
  if (bits == 8) return static_cast<uint16_t>((s == 0 ? raw : raw ^ 0x80u) * 257u);
  if (s == 0) return static_cast<uint16_t>(raw);
  uint32_t biased = raw ^ 0x8000u;  // a* + 128 in 1/256 units
  return static_cast<uint16_t>(std::min<uint32_t>((biased * 257u + 128u) / 256u, 65535u));
}

// CIELab rows go to sRGB through the lcms2 converter, a piece of the row at a time.
void ConvertLabRow(const TiffRowFormat& f, const uint8_t* const* planes, uint8_t* out) {
  constexpr size_t kPiece = 256;
  uint16_t lab[kPiece * 3];
  const size_t width = static_cast<size_t>(f.width);
  for (size_t first = 0; first < width; first += kPiece) {
    const size_t n = std::min(kPiece, width - first);
    for (size_t i = 0; i < n; ++i) {
      for (size_t s = 0; s < 3; ++s) {
        const uint8_t* row = f.separate ? planes[s] : planes[0];
        size_t index = f.separate ? first + i : (first + i) * 3 + s;
        lab[3 * i + s] = LabSample16(RawSample(f, row, index), s, f.bitsPerSample);
      }
    }
    f.lab->Convert(lab, out + 3 * first, n);
  }
}

}  // namespace

bool TiffRowFormatSupported(const TiffRowFormat& format) {
  const int bits = format.bitsPerSample;
  int base = TiffColorSamples(format.color);
  if (format.samplesPerPixel < base || format.width <= 0) return false;
  if (format.alphaSample >= format.samplesPerPixel) return false;
  switch (format.kind) {
    case TiffSampleKind::kUnsigned:
      if (!(bits == 16 || bits == 32 || IsPackedInteger(bits))) return false;
      break;
    case TiffSampleKind::kSigned:
      if (bits != 8 && bits != 16) return false;
      break;
    case TiffSampleKind::kFloat:
      if (bits != 32 && bits != 64) return false;
      break;
  }
  if (format.color == TiffColor::kPalette) {
    if (format.kind != TiffSampleKind::kUnsigned || bits > 16) return false;
    if (format.palette.size() != 3u * (1u << bits)) return false;
  }
  if (format.color == TiffColor::kLab) {
    return (bits == 8 || bits == 16) && format.kind != TiffSampleKind::kFloat &&
           format.samplesPerPixel == 3 && format.alphaSample < 0 && format.lab != nullptr;
  }
  return true;
}

PixelLayout TiffRowLayout(const TiffRowFormat& format) {
  bool alpha = format.alphaSample >= 0;
  switch (format.color) {
    case TiffColor::kGray:
      return alpha ? PixelLayout::kGA8 : PixelLayout::kG8;
    case TiffColor::kRgb:
    case TiffColor::kPalette:
      return alpha ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    case TiffColor::kLab:
      return PixelLayout::kRGB8;
    case TiffColor::kCmyk:
      return PixelLayout::kCMYK8;
  }
  return PixelLayout::kRGB8;
}

uint64_t TiffPlaneRowBytes(const TiffRowFormat& format, uint64_t pixels) {
  uint64_t perPixel = format.separate ? 1u : static_cast<uint64_t>(format.samplesPerPixel);
  if (perPixel != 0 && pixels > UINT64_MAX / 64 / perPixel) return 0;
  uint64_t samples = pixels * perPixel;
  return (samples * static_cast<uint64_t>(format.bitsPerSample) + 7) / 8;
}

void SetTiffPalette(TiffRowFormat& format, const uint16_t* red, const uint16_t* green,
                    const uint16_t* blue) {
  size_t entries = size_t{1} << format.bitsPerSample;
  bool eightBit = true;
  for (size_t i = 0; i < entries && eightBit; ++i) {
    eightBit = red[i] < 256 && green[i] < 256 && blue[i] < 256;
  }
  format.palette.resize(entries * 3);
  for (size_t i = 0; i < entries; ++i) {
    const uint16_t in[3] = {red[i], green[i], blue[i]};
    for (int c = 0; c < 3; ++c) {
      format.palette[i * 3 + c] =
          static_cast<uint8_t>(eightBit ? in[c] : (static_cast<unsigned>(in[c]) + 128u) / 257u);
    }
  }
}

void ConvertTiffRow(const TiffRowFormat& format, const uint8_t* const* planes, uint8_t* out) {
  const size_t spp = static_cast<size_t>(format.samplesPerPixel);
  if (format.color == TiffColor::kLab) {
    ConvertLabRow(format, planes, out);
    return;
  }
  int colorSamples = TiffColorSamples(format.color);
  // Sample s of pixel x lives in row planes[plane(s)] at position index(x, s).
  if (IsCanonical(format, colorSamples)) {
    std::memcpy(out, planes[0], static_cast<size_t>(format.width) * spp);
    return;
  }
  if (format.color == TiffColor::kGray && format.alphaSample < 0 &&
      format.kind == TiffSampleKind::kUnsigned && format.bitsPerSample <= 8) {
    ConvertSmallGray(format, planes[0], out);
    return;
  }
  auto rowOf = [&](size_t s) { return format.separate ? planes[s] : planes[0]; };
  auto indexOf = [&](size_t x, size_t s) { return format.separate ? x : x * spp + s; };
  const bool alpha = format.alphaSample >= 0 && format.color != TiffColor::kCmyk;
  const size_t alphaIndex = alpha ? static_cast<size_t>(format.alphaSample) : 0;
  for (size_t x = 0; x < static_cast<size_t>(format.width); ++x) {
    uint8_t a = alpha ? Level8(format, rowOf(alphaIndex), indexOf(x, alphaIndex)) : 255;
    uint8_t* px = out;
    if (format.color == TiffColor::kPalette) {
      uint32_t entry = RawSample(format, rowOf(0), indexOf(x, 0));
      std::memcpy(px, &format.palette[static_cast<size_t>(entry) * 3], 3);
      out += 3;
    } else {
      for (int c = 0; c < colorSamples; ++c) {
        uint8_t v =
            Level8(format, rowOf(static_cast<size_t>(c)), indexOf(x, static_cast<size_t>(c)));
        *out++ = format.invert ? static_cast<uint8_t>(255 - v) : v;
      }
    }
    if (!alpha) continue;
    if (format.premultiplied) {
      for (uint8_t* p = px; p < out; ++p) *p = Unpremultiply(*p, a);
    }
    *out++ = a;
  }
}
