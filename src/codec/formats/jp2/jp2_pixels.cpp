#include "codec/formats/jp2/jp2_pixels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "codec/formats/formats.h"

namespace {

// Returns v, a sample of precision bits in 0..2^precision-1, as 8 bits.
uint8_t To8Bits(int64_t v, int precision) {
  const int64_t max = (int64_t{1} << precision) - 1;
  v = std::clamp<int64_t>(v, 0, max);
  if (precision == 8) return static_cast<uint8_t>(v);
  return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

int SampleBytes(int precision) { return precision <= 8 ? 1 : 2; }

int32_t ReadSample(const uint8_t* p, int bytes, bool isSigned) {
  if (bytes == 1) return isSigned ? int32_t{static_cast<int8_t>(*p)} : int32_t{*p};
  uint16_t v;
  std::memcpy(&v, p, 2);  // OpenJPEG writes them in the machine's order
  return isSigned ? int32_t{static_cast<int16_t>(v)} : int32_t{v};
}

uint8_t Clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Full-range YCbCr (sYCC) to RGB, in place over one pixel.
void YccToRgb(uint8_t* p) {
  const int y = p[0], cb = p[1] - 128, cr = p[2] - 128;
  p[0] = Clamp8(y + ((91881 * cr + 32768) >> 16));
  p[1] = Clamp8(y - ((22554 * cb + 46802 * cr - 32768) >> 16));
  p[2] = Clamp8(y + ((116130 * cb + 32768) >> 16));
}

}  // namespace

bool BuildJp2Model(const Jp2Header& header, Jp2Model* model, Failure* failure) {
  const int n = static_cast<int>(header.channels.size());
  const std::vector<Jp2Component>& comps = header.siz.components;
  int colours = 1;
  bool ycc = false;
  switch (header.colour) {
    case Jp2ColourSpace::kGrey:
      colours = 1;
      break;
    case Jp2ColourSpace::kRgb:
      colours = 3;
      break;
    case Jp2ColourSpace::kYcc:
      colours = 3;
      ycc = true;
      break;
    case Jp2ColourSpace::kCmyk:
      colours = 4;
      break;
    case Jp2ColourSpace::kLab:
      colours = 3;
      break;
    case Jp2ColourSpace::kUnknown:
      // A bare codestream says nothing of colour: three components are colour, and with the
      // second and third subsampled they can only be luma and chroma.
      colours = n >= 3 ? 3 : 1;
      ycc = n == 3 && !header.hasPalette && comps.size() == 3 && comps[0].dx == 1 &&
            comps[0].dy == 1 && (comps[1].dx > 1 || comps[1].dy > 1);
      break;
  }
  if (n < colours) {
    colours = n >= 3 ? 3 : 1;
    ycc = false;
  }
  std::vector<int> order(static_cast<size_t>(colours));
  for (int i = 0; i < colours; ++i) order[static_cast<size_t>(i)] = i;
  int alpha = colours != 4 && n > colours ? colours : -1;
  if (!header.definitions.empty()) {
    alpha = -1;
    for (const Jp2ChannelDefinition& d : header.definitions) {
      if (d.channel >= n) continue;
      if (d.type == 0 && d.association >= 1 && d.association <= colours) {
        order[static_cast<size_t>(d.association - 1)] = d.channel;
      } else if ((d.type == 1 || d.type == 2) && alpha < 0) {
        alpha = d.channel;  // premultiplied opacity is taken as straight
      }
    }
  }
  if (colours == 4) {
    model->layout = PixelLayout::kCMYK8;
  } else if (colours == 3) {
    model->layout = alpha >= 0 ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
  } else {
    model->layout = alpha >= 0 ? PixelLayout::kGA8 : PixelLayout::kG8;
  }
  if (alpha >= 0 && colours != 4) order.push_back(alpha);
  model->channels.clear();
  for (int channel : order) {
    const Jp2ChannelSource& source = header.channels[static_cast<size_t>(channel)];
    model->channels.push_back({source.component, source.column});
  }
  model->ycc = ycc;
  model->lab = header.colour == Jp2ColourSpace::kLab && colours == 3;
  if (model->lab && (header.hasPalette || !LabToSrgb::Create())) {
    Refuse(failure, FailureKind::kUnsupported, "CIELab JPEG 2000 with a palette");
    return false;
  }
  return true;
}

Jp2TileConverter::Jp2TileConverter(const Jp2Header& header, const Jp2Model& model, int reduce)
    : header_(header), ycc_(model.ycc), reduce_(reduce) {
  const Jp2Siz& siz = header.siz;
  originX_ = CeilDivPow2(siz.x0, reduce);
  originY_ = CeilDivPow2(siz.y0, reduce);
  width_ = CeilDivPow2(siz.x1, reduce) - originX_;
  height_ = CeilDivPow2(siz.y1, reduce) - originY_;
  for (const Jp2OutputChannel& channel : model.channels) {
    const Jp2Component& comp = siz.components[static_cast<size_t>(channel.component)];
    Lut lut;
    lut.component = channel.component;
    lut.offset = comp.isSigned ? 1 << (comp.precision - 1) : 0;
    lut.values.resize(size_t{1} << comp.precision);
    for (size_t i = 0; i < lut.values.size(); ++i) {
      if (channel.column < 0) {
        lut.values[i] = To8Bits(static_cast<int64_t>(i), comp.precision);
        continue;
      }
      // The sample is an index into the palette, whose column has its own depth and sign.
      const Jp2Palette& palette = header.palette;
      const int64_t index =
          std::clamp<int64_t>(static_cast<int64_t>(i) - lut.offset, 0, palette.entries - 1);
      const Jp2Component& column = palette.columns[static_cast<size_t>(channel.column)];
      const int64_t value = palette.values[static_cast<size_t>(index) * palette.columns.size() +
                                           static_cast<size_t>(channel.column)];
      lut.values[i] = To8Bits(value + (column.isSigned ? int64_t{1} << (column.precision - 1) : 0),
                              column.precision);
    }
    luts_.push_back(std::move(lut));
  }
  if (model.lab) {
    lab_ = LabToSrgb::Create(header.lab.d65);
    // Without ranges in the file, the defaults for each component's precision.
    for (int k = 0; k < 3; ++k) {
      const int precision =
          siz.components[static_cast<size_t>(model.channels[k].component)].precision;
      const double max = static_cast<double>((uint64_t{1} << precision) - 1);
      static constexpr double kRange[3] = {100, 170, 200};
      const double offsets[3] = {0, std::ldexp(1.0, precision - 1),
                                 std::ldexp(1.0, precision - 2) + std::ldexp(1.0, precision - 3)};
      const double range = header.lab.given ? header.lab.range[k] : kRange[k];
      const double offset = header.lab.given ? header.lab.offset[k] : offsets[k];
      for (int v = 0; v < 256; ++v) {
        const double value = range * (v / 255.0 - offset / max);
        // lcms2's 16-bit Lab: L* 0..100 over 0..65535, a* and b* -128..127 + 128 times 257.
        const double encoded = k == 0 ? value * 655.35 : (value + 128) * 257;
        labEncoding_[k][v] = static_cast<uint16_t>(std::clamp(std::lround(encoded), 0L, 65535L));
      }
    }
  }
}

void Jp2TileConverter::LabToRgb(uint8_t* pixels, uint32_t count, size_t channels) const {
  std::vector<uint16_t> lab(size_t{count} * 3);
  for (uint32_t i = 0; i < count; ++i) {
    for (int k = 0; k < 3; ++k) lab[size_t{i} * 3 + k] = labEncoding_[k][pixels[i * channels + k]];
  }
  std::vector<uint8_t> rgb(size_t{count} * 3);
  lab_->Convert(lab.data(), rgb.data(), count);
  for (uint32_t i = 0; i < count; ++i) std::memcpy(pixels + i * channels, &rgb[size_t{i} * 3], 3);
}

void Jp2TileConverter::ComponentArea(const Jp2TileArea& area, int c, uint32_t out[4]) const {
  const Jp2Component& comp = header_.siz.components[static_cast<size_t>(c)];
  out[0] = CeilDivPow2(CeilDiv(area.x0, comp.dx), area.reduce);
  out[1] = CeilDivPow2(CeilDiv(area.y0, comp.dy), area.reduce);
  out[2] = CeilDivPow2(CeilDiv(area.x1, comp.dx), area.reduce);
  out[3] = CeilDivPow2(CeilDiv(area.y1, comp.dy), area.reduce);
}

uint64_t Jp2TileConverter::TileBytes(const Jp2TileArea& area) const {
  uint64_t total = 0;
  for (size_t c = 0; c < header_.siz.components.size(); ++c) {
    uint32_t a[4];
    ComponentArea(area, static_cast<int>(c), a);
    total += uint64_t{a[2] - a[0]} * (a[3] - a[1]) *
             static_cast<uint64_t>(SampleBytes(header_.siz.components[c].precision));
  }
  return total;
}

void Jp2TileConverter::TileRowSpan(uint32_t row, uint32_t* first, uint32_t* end) const {
  const Jp2Siz& siz = header_.siz;
  const uint64_t top = uint64_t{siz.tileY0} + uint64_t{row} * siz.tileHeight;
  const uint32_t y0 = static_cast<uint32_t>(std::max<uint64_t>(top, siz.y0));
  const uint32_t y1 = static_cast<uint32_t>(std::min<uint64_t>(top + siz.tileHeight, siz.y1));
  *first = CeilDivPow2(y0, reduce_) - originY_;
  *end = std::max(CeilDivPow2(y1, reduce_) - originY_, *first);
}

void Jp2TileConverter::ComponentSize(const Jp2TileArea& area, int c, uint32_t* width,
                                     uint32_t* height) const {
  uint32_t a[4];
  ComponentArea(area, c, a);
  *width = a[2] - a[0];
  *height = a[3] - a[1];
}

void Jp2TileConverter::Convert(const uint8_t* data, const Jp2TileArea& area, Jp2Band* band) const {
  const std::vector<Jp2Component>& comps = header_.siz.components;
  // Where each component's plane starts in data, and its width.
  std::vector<size_t> planeStart(comps.size());
  std::vector<uint32_t> widths(comps.size());
  size_t at = 0;
  for (size_t c = 0; c < comps.size(); ++c) {
    uint32_t height = 0;
    ComponentSize(area, static_cast<int>(c), &widths[c], &height);
    planeStart[c] = at;
    at += size_t{widths[c]} * height * static_cast<size_t>(SampleBytes(comps[c].precision));
  }
  std::vector<int32_t> unpacked;
  ConvertRows(area, band, [&](size_t c, uint32_t row) {
    const int bytes = SampleBytes(comps[c].precision);
    const uint8_t* p = data + planeStart[c] + size_t{row} * widths[c] * static_cast<size_t>(bytes);
    unpacked.resize(widths[c]);
    for (uint32_t i = 0; i < widths[c]; ++i, p += bytes) {
      unpacked[i] = ReadSample(p, bytes, comps[c].isSigned);
    }
    return static_cast<const int32_t*>(unpacked.data());
  });
}

void Jp2TileConverter::ConvertPlanes(const int32_t* const* planes, const Jp2TileArea& area,
                                     Jp2Band* band) const {
  std::vector<uint32_t> widths(header_.siz.components.size());
  for (size_t c = 0; c < widths.size(); ++c) {
    uint32_t height = 0;
    ComponentSize(area, static_cast<int>(c), &widths[c], &height);
  }
  ConvertRows(area, band,
              [&](size_t c, uint32_t row) { return planes[c] + size_t{row} * widths[c]; });
}

void Jp2TileConverter::ConvertRows(const Jp2TileArea& area, Jp2Band* band,
                                   const RowReader& rowOf) const {
  const std::vector<Jp2Component>& comps = header_.siz.components;
  std::vector<std::array<uint32_t, 4>> areas(comps.size());
  for (size_t c = 0; c < comps.size(); ++c)
    ComponentArea(area, static_cast<int>(c), areas[c].data());
  const uint32_t outX0 = CeilDivPow2(area.x0, reduce_), outX1 = CeilDivPow2(area.x1, reduce_);
  const uint32_t outY0 = CeilDivPow2(area.y0, reduce_), outY1 = CeilDivPow2(area.y1, reduce_);
  const uint32_t rowFirst = std::max(outY0, band->firstRow + originY_);
  const uint32_t rowEnd = std::min(outY1, band->firstRow + band->rows + originY_);
  if (outX1 <= outX0 || rowEnd <= rowFirst) return;
  const size_t channels = luts_.size();
  const size_t bandStride = size_t{width_} * channels;
  // Each output column's sample in each channel's component: the nearest one at or before it,
  // kept inside the tile (chroma subsampling, origins that do not fall on a sample).
  std::vector<std::vector<uint32_t>> columns(channels);
  for (size_t k = 0; k < channels; ++k) {
    const size_t c = static_cast<size_t>(luts_[k].component);
    const uint32_t left = areas[c][0], right = areas[c][2];
    if (right <= left) return;  // a component with no samples here: nothing to show
    columns[k].resize(outX1 - outX0);
    for (uint32_t x = outX0; x < outX1; ++x) {
      columns[k][x - outX0] =
          std::clamp<uint32_t>(x / static_cast<uint32_t>(comps[c].dx), left, right - 1) - left;
    }
  }
  for (uint32_t y = rowFirst; y < rowEnd; ++y) {
    uint8_t* out = band->pixels.data() + size_t{y - originY_ - band->firstRow} * bandStride +
                   size_t{outX0 - originX_} * channels;
    for (size_t k = 0; k < channels; ++k) {
      const Lut& lut = luts_[k];
      const size_t c = static_cast<size_t>(lut.component);
      const uint32_t top = areas[c][1], bottom = areas[c][3];
      if (bottom <= top) return;
      const uint32_t sy =
          std::clamp<uint32_t>(y / static_cast<uint32_t>(comps[c].dy), top, bottom - 1) - top;
      const int32_t* row = rowOf(c, sy);
      const int64_t last = static_cast<int64_t>(lut.values.size()) - 1;
      for (uint32_t i = 0; i < outX1 - outX0; ++i) {
        const int64_t sample = row[columns[k][i]];
        out[i * channels + k] =
            lut.values[static_cast<size_t>(std::clamp<int64_t>(sample + lut.offset, 0, last))];
      }
    }
    if (ycc_) {
      for (uint32_t i = 0; i < outX1 - outX0; ++i) YccToRgb(out + i * channels);
    }
    if (lab_) LabToRgb(out, outX1 - outX0, channels);
  }
}
