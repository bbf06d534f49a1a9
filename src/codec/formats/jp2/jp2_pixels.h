// From decoded JPEG 2000 components to the canonical 8-bit rows: which channel goes where
// (palette, channel definitions, the colour space's channel count), and the conversion of one
// tile's planar samples of any precision and subsampling into interleaved output rows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "codec/decoder.h"
#include "codec/formats/jp2/jp2_header.h"
#include "codec/pipeline/lab_color.h"

// One output sample: a component's samples, or a palette column looked up by them.
struct Jp2OutputChannel {
  int component = 0;
  int column = -1;
};

struct Jp2Model {
  PixelLayout layout = PixelLayout::kRGB8;
  std::vector<Jp2OutputChannel> channels;  // in the layout's order
  bool ycc = false;                        // the three colour channels are Y, Cb, Cr
  bool lab = false;                        // the three colour channels are L*, a*, b*
};

// Returns true and how header's channels make the output in *model; false with the reason in
// *failure when the colour space is one we do not convert.
bool BuildJp2Model(const Jp2Header& header, Jp2Model* model, Failure* failure);

// A tile's place: its area on the reference grid and the decode's reduce factor.
struct Jp2TileArea {
  uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int reduce = 0;
};

// Rows of output being filled from tiles: row 0 is output row firstRow (both counted from the
// top of the reduced image).
struct Jp2Band {
  uint32_t firstRow = 0;
  uint32_t rows = 0;
  int tiles = 0;  // converted into it so far
  std::vector<uint8_t> pixels;
};

class Jp2TileConverter {
 public:
  Jp2TileConverter(const Jp2Header& header, const Jp2Model& model, int reduce);

  // Returns the byte size of a tile's decoded data (planar components, 1, 2 or 4 bytes a
  // sample by precision) over area.
  uint64_t TileBytes(const Jp2TileArea& area) const;

  // Converts the tile whose decoded data (TileBytes long) covers area into band. Returns
  // nothing.
  void Convert(const uint8_t* data, const Jp2TileArea& area, Jp2Band* band) const;
  // Converts the decoded part of the image over area, one plane of 32-bit samples per
  // component (as ComponentSize gives it, row by row), into band. Returns nothing.
  void ConvertPlanes(const int32_t* const* planes, const Jp2TileArea& area, Jp2Band* band) const;
  // Returns the width and height of component c's samples over area.
  void ComponentSize(const Jp2TileArea& area, int c, uint32_t* width, uint32_t* height) const;

  int channels() const { return static_cast<int>(luts_.size()); }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  // Returns the first and end output rows of tile row `row`.
  void TileRowSpan(uint32_t row, uint32_t* first, uint32_t* end) const;

 private:
  struct Lut {
    int component = 0;
    int32_t offset = 0;  // added to a sample before it indexes values
    std::vector<uint8_t> values;
  };
  // Returns the reduced area of component c of a tile.
  void ComponentArea(const Jp2TileArea& area, int c, uint32_t out[4]) const;
  // Returns the samples of row `row` (counted from the top of area) of component c's plane.
  using RowReader = std::function<const int32_t*(size_t c, uint32_t row)>;
  // Converts the decoded samples over area, read a row at a time through rowOf, into band.
  // Returns nothing.
  void ConvertRows(const Jp2TileArea& area, Jp2Band* band, const RowReader& rowOf) const;

  // Turns count pixels of L*, a*, b* (channels samples apart) into sRGB in place.
  void LabToRgb(uint8_t* pixels, uint32_t count, size_t channels) const;

  const Jp2Header& header_;
  bool ycc_ = false;
  std::shared_ptr<const LabToSrgb> lab_;  // set for CIELab images
  uint16_t labEncoding_[3][256] = {};     // 8-bit L*, a*, b* samples in lcms2's encoding
  int reduce_ = 0;
  uint32_t originX_ = 0, originY_ = 0;  // of the reduced image
  uint32_t width_ = 0, height_ = 0;
  std::vector<Lut> luts_;
};
