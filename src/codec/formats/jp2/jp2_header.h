// What a JPEG 2000 file says about itself before any decoding: the JP2 boxes that describe its
// colour (colr, pclr, cmap, cdef) and the codestream's SIZ marker, read directly from the file
// so that a hostile size, tile grid or component count is refused before OpenJPEG allocates
// for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

// One component of the codestream (SIZ).
struct Jp2Component {
  int precision = 8;  // bits, 1..16
  bool isSigned = false;
  int dx = 1;  // subsampling on the reference grid
  int dy = 1;
};

// The codestream's image and tile grid (SIZ), on the reference grid.
struct Jp2Siz {
  uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // image area: the picture is x1-x0 by y1-y0
  uint32_t tileX0 = 0, tileY0 = 0;          // tile grid origin
  uint32_t tileWidth = 0, tileHeight = 0;   // tile size
  uint32_t tilesAcross = 0, tilesDown = 0;
  std::vector<Jp2Component> components;
};

// The palette (pclr) and its mapping (cmap): each output channel is a component's samples,
// or a palette column looked up by a component's samples.
struct Jp2Palette {
  int entries = 0;
  std::vector<Jp2Component> columns;  // bit depth and sign of each column (dx, dy unused)
  std::vector<int32_t> values;        // entries x columns, row by row
};
struct Jp2ChannelSource {
  int component = 0;
  int column = -1;  // palette column, or -1 for the component's own samples
};

// How the channels are to be taken as colour (an ICC profile's by its data colour space).
enum class Jp2ColourSpace : uint8_t { kUnknown, kGrey, kRgb, kYcc, kCmyk, kLab };

// A channel definition (cdef) entry.
struct Jp2ChannelDefinition {
  int channel = 0;
  int type = 0;         // 0 colour, 1 opacity, 2 premultiplied opacity, 65535 unspecified
  int association = 0;  // 1-based colour index, 0 the whole image, 65535 none
};

// How a CIELab image's samples map to L*, a* and b*: each is range * (v / max - offset / max)
// for a sample v of max = 2^precision - 1. A colr box may give them; otherwise the defaults
// for the component's precision hold. The white is D50 unless the box says D65.
struct Jp2LabRanges {
  bool given = false;
  uint32_t range[3] = {};
  uint32_t offset[3] = {};
  bool d65 = false;
};

struct Jp2Header {
  bool isJp2 = false;  // a JP2 file (boxes); false for a bare codestream
  uint64_t codestreamOffset = 0;
  Jp2Siz siz;
  Jp2ColourSpace colour = Jp2ColourSpace::kUnknown;
  std::vector<uint8_t> icc;  // the colr box's ICC profile, empty when none
  Jp2LabRanges lab;          // for a CIELab image
  bool hasPalette = false;   // pclr together with cmap
  Jp2Palette palette;
  std::vector<Jp2ChannelSource> channels;  // after the palette; one per component without one
  std::vector<Jp2ChannelDefinition> definitions;
};

// Components larger than this many bits are not decoded.
constexpr int kJp2MaxPrecision = 16;
// Codestreams with more components than this are not decoded.
constexpr int kJp2MaxComponents = 16;

// Returns true and the header of file in *header; false with the reason in *failure when the
// file is not a JPEG 2000 image we decode.
bool ReadJp2Header(const InputFile& file, Jp2Header* header, Failure* failure);

// Returns ceil(a / 2^shift) for non-negative a.
inline uint32_t CeilDivPow2(uint32_t a, int shift) {
  return static_cast<uint32_t>((uint64_t{a} + (uint64_t{1} << shift) - 1) >> shift);
}
// Returns ceil(a / b) for b > 0.
inline uint32_t CeilDiv(uint32_t a, uint32_t b) {
  return static_cast<uint32_t>((uint64_t{a} + b - 1) / b);
}
