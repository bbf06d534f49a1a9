#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/decoder.h"
#include "codec/formats/formats.h"
#include "codec/formats/registry.h"
#include "codec/io/bytes.h"
#include "codec/test_image.h"
#include "support/process.h"

// The cases name only the fields that differ from BmpShape's defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using Bytes = std::vector<uint8_t>;
using Rgb = std::array<uint8_t, 3>;

void Put16(Bytes& b, size_t at, uint32_t v) { StoreLe16(&b[at], static_cast<uint16_t>(v)); }
void Put32(Bytes& b, size_t at, uint32_t v) { StoreLe32(&b[at], v); }

struct BmpShape {
  uint32_t headerSize = 40;
  int32_t width = 3;
  int32_t height = 2;
  uint16_t bits = 8;
  uint32_t compression = 0;
  std::vector<uint32_t> masks;  // inside a V2+ header, else after a 40-byte one
  std::vector<Rgb> palette;
  uint32_t colorsUsed = 0;
  std::vector<Bytes> rows;  // stored order; each padded to 4 bytes
  Bytes rle;                // the pixel array of RLE files, as is
};

Bytes MakeBmp(const BmpShape& s) {
  Bytes b(14 + s.headerSize, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 14, s.headerSize);
  if (s.headerSize == 12) {
    Put16(b, 18, s.width);
    Put16(b, 20, s.height);
    Put16(b, 22, 1);
    Put16(b, 24, s.bits);
  } else {
    Put32(b, 18, s.width);
    Put32(b, 22, s.height);
    Put16(b, 26, 1);
    Put16(b, 28, s.bits);
  }
  if (s.headerSize >= 40) {
    Put32(b, 30, s.compression);
    Put32(b, 46, s.colorsUsed);
    if (s.headerSize >= 52) {
      for (size_t i = 0; i < s.masks.size(); ++i) Put32(b, 54 + 4 * i, s.masks[i]);
    } else {
      for (uint32_t m : s.masks) {
        b.resize(b.size() + 4);
        Put32(b, b.size() - 4, m);
      }
    }
  }
  for (const Rgb& c : s.palette) {
    b.insert(b.end(), {c[2], c[1], c[0]});
    if (s.headerSize != 12) b.push_back(0);
  }
  Put32(b, 10, static_cast<uint32_t>(b.size()));
  for (Bytes row : s.rows) {
    row.resize((row.size() + 3) & ~size_t{3}, 0);
    b.insert(b.end(), row.begin(), row.end());
  }
  b.insert(b.end(), s.rle.begin(), s.rle.end());
  Put32(b, 2, static_cast<uint32_t>(b.size()));
  return b;
}

// Decodes page 0 of path in one read.
DecodeStage DecodeFile(const std::string& path, DecodedPage* out) {
  return DecodePage(OpenDecoder(path.c_str()).get(), 0, {}, 0, out);
}

DecodeStage DecodeBytes(const Bytes& bytes, DecodedPage* out) {
  TempDir dir;
  const std::string path = dir / "test.bmp";
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  return DecodeFile(path, out);
}

const std::vector<Rgb> kPalette = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}, {100, 110, 120}};

// Four 32-bit BGRx pixels whose fourth bytes are 0, 255, 128 and 0: an alpha mask, with
// colour left where it is transparent.
const Bytes kMixedAlphaRow = {1, 2, 3, 0, 4, 5, 6, 255, 7, 8, 9, 128, 10, 11, 12, 0};

Bytes Flatten(const std::vector<Rgb>& pixels) {
  Bytes out;
  for (const Rgb& p : pixels) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct GoodCase {
  const char* name;
  BmpShape shape;
  PixelLayout layout;
  Bytes expected;  // top row first
};

std::vector<GoodCase> GoodCases() {
  const auto& p = kPalette;
  const Bytes indexed8 = Flatten({p[3], p[0], p[1], p[0], p[1], p[2]});
  std::vector<GoodCase> cases;
  cases.push_back({"pal1",
                   {.bits = 1, .palette = {p[0], p[1]}, .rows = {{0xa0}, {0x40}}},
                   PixelLayout::kRGB8,
                   Flatten({p[0], p[1], p[0], p[1], p[0], p[1]})});
  cases.push_back({"pal2",
                   {.bits = 2, .palette = p, .rows = {{0x1b}, {0xe4}}},
                   PixelLayout::kRGB8,
                   Flatten({p[3], p[2], p[1], p[0], p[1], p[2]})});
  cases.push_back({"pal4",
                   {.bits = 4, .palette = p, .rows = {{0x12, 0x30}, {0x32, 0x10}}},
                   PixelLayout::kRGB8,
                   Flatten({p[3], p[2], p[1], p[1], p[2], p[3]})});
  cases.push_back({"pal8",
                   {.bits = 8, .palette = p, .rows = {{0, 1, 2}, {3, 0, 1}}},
                   PixelLayout::kRGB8,
                   indexed8});
  cases.push_back({"pal8 core header, 3-byte palette",
                   {.headerSize = 12, .bits = 8, .palette = p, .rows = {{0, 1, 2}, {3, 0, 1}}},
                   PixelLayout::kRGB8,
                   indexed8});
  cases.push_back({"pal8 OS/2 2.x header",
                   {.headerSize = 64, .bits = 8, .palette = p, .rows = {{0, 1, 2}, {3, 0, 1}}},
                   PixelLayout::kRGB8,
                   indexed8});
  cases.push_back({"pal8 short OS/2 2.x header",
                   {.headerSize = 16, .bits = 8, .palette = p, .rows = {{0, 1, 2}, {3, 0, 1}}},
                   PixelLayout::kRGB8,
                   indexed8});
  cases.push_back({"pal8 V5 header",
                   {.headerSize = 124, .bits = 8, .palette = p, .rows = {{0, 1, 2}, {3, 0, 1}}},
                   PixelLayout::kRGB8,
                   indexed8});
  cases.push_back({"pal8 top-down",
                   {.height = -2, .bits = 8, .palette = p, .rows = {{3, 0, 1}, {0, 1, 2}}},
                   PixelLayout::kRGB8,
                   indexed8});
  cases.push_back({"short palette: index past it is black",
                   {.bits = 8, .palette = {p[0], p[1]}, .rows = {{0, 1, 7}, {255, 0, 1}}},
                   PixelLayout::kRGB8,
                   Flatten({{0, 0, 0}, p[0], p[1], p[0], p[1], {0, 0, 0}})});
  cases.push_back({"rgb24",
                   {.width = 2, .bits = 24, .rows = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}},
                   PixelLayout::kRGB8,
                   {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}});
  cases.push_back({"rgb16 default 5-5-5",
                   {.width = 2, .height = 1, .bits = 16, .rows = {{0x00, 0x7c, 0x10, 0x00}}},
                   PixelLayout::kRGB8,
                   {255, 0, 0, 0, 0, 132}});
  cases.push_back({"rgb16 bitfields 5-6-5",
                   {.width = 2,
                    .height = 1,
                    .bits = 16,
                    .compression = 3,
                    .masks = {0xf800, 0x07e0, 0x001f},
                    .rows = {{0xe0, 0x07, 0x20, 0x00}}},
                   PixelLayout::kRGB8,
                   {0, 255, 0, 0, 4, 0}});
  cases.push_back({"rgb16 bitfields without masks falls back to 5-5-5",
                   {.width = 2,
                    .height = 1,
                    .bits = 16,
                    .compression = 3,
                    .masks = {0, 0, 0},
                    .rows = {{0x00, 0x7c, 0x10, 0x00}}},
                   PixelLayout::kRGB8,
                   {255, 0, 0, 0, 0, 132}});
  cases.push_back({"rgba16 V3 4-4-4-4",
                   {.headerSize = 56,
                    .width = 1,
                    .height = 1,
                    .bits = 16,
                    .compression = 3,
                    .masks = {0x0f00, 0x00f0, 0x000f, 0xf000},
                    .rows = {{0x5f, 0x80}}},
                   PixelLayout::kRGBA8,
                   {0, 85, 255, 136}});
  cases.push_back({"rgb32 plain, fourth byte zero everywhere: opaque",
                   {.width = 2, .height = 1, .bits = 32, .rows = {{1, 2, 3, 0, 4, 5, 6, 0}}},
                   PixelLayout::kRGB8,
                   {3, 2, 1, 6, 5, 4}});
  cases.push_back({"rgb32 plain, fourth byte set somewhere: alpha",
                   {.width = 4, .height = 1, .bits = 32, .rows = {kMixedAlphaRow}},
                   PixelLayout::kRGBA8,
                   {3, 2, 1, 0, 6, 5, 4, 255, 9, 8, 7, 128, 12, 11, 10, 0}});
  cases.push_back({"rgb32 plain, fourth byte 255 everywhere: alpha, all opaque",
                   {.width = 2, .height = 1, .bits = 32, .rows = {{1, 2, 3, 255, 4, 5, 6, 255}}},
                   PixelLayout::kRGBA8,
                   {3, 2, 1, 255, 6, 5, 4, 255}});
  cases.push_back({"rgb32 V2 bitfields in the header (x-b-g-r)",
                   {.headerSize = 52,
                    .width = 1,
                    .height = 1,
                    .bits = 32,
                    .compression = 3,
                    .masks = {0xff, 0xff00, 0xff0000},
                    .rows = {{1, 2, 3, 4}}},
                   PixelLayout::kRGB8,
                   {1, 2, 3}});
  cases.push_back({"rgba32 V3 alpha mask",
                   {.headerSize = 56,
                    .width = 1,
                    .height = 1,
                    .bits = 32,
                    .compression = 3,
                    .masks = {0xff0000, 0xff00, 0xff, 0xff000000},
                    .rows = {{1, 2, 3, 0x80}}},
                   PixelLayout::kRGBA8,
                   {3, 2, 1, 0x80}});
  cases.push_back({"rgba32 alphabitfields after a 40-byte header",
                   {.width = 1,
                    .height = 1,
                    .bits = 32,
                    .compression = 6,
                    .masks = {0xff0000, 0xff00, 0xff, 0xff000000},
                    .rows = {{1, 2, 3, 0x40}}},
                   PixelLayout::kRGBA8,
                   {3, 2, 1, 0x40}});
  cases.push_back({"rgba32 whose alpha is all zero is opaque",
                   {.headerSize = 124,
                    .width = 2,
                    .height = 1,
                    .bits = 32,
                    .compression = 3,
                    .masks = {0xff0000, 0xff00, 0xff, 0xff000000},
                    .rows = {{1, 2, 3, 0, 4, 5, 6, 0}}},
                   PixelLayout::kRGB8,
                   {3, 2, 1, 6, 5, 4}});
  cases.push_back({"rgb32 10-10-10-2 scaled to 8 bits",
                   {.headerSize = 56,
                    .width = 1,
                    .height = 1,
                    .bits = 32,
                    .compression = 3,
                    .masks = {0x3ff00000, 0x000ffc00, 0x000003ff, 0xc0000000},
                    .rows = {{0xff, 0x03, 0x00, 0x40 | 0x3f}}},  // b=1023, r=1008, a=1
                   PixelLayout::kRGBA8,
                   {251, 0, 255, 85}});
  // RLE8, 4x3: bottom row absolute [2 3 1] + run [2]; delta to (1, 2); run [3 3]; end.
  cases.push_back(
      {"rle8 with absolute, delta, end of line and end of bitmap",
       {.width = 4,
        .height = 3,
        .bits = 8,
        .compression = 1,
        .palette = p,
        .rle = {0, 3, 2, 3, 1, 0, 1, 2, 0, 0, 0, 2, 1, 1, 2, 3, 0, 1}},
       PixelLayout::kRGB8,
       Flatten({p[0], p[3], p[3], p[0], p[0], p[0], p[0], p[0], p[2], p[3], p[1], p[2]})});
  // RLE4, 5x2: bottom run of 5 alternating 1 2; top absolute [3 0 2], run past the row end.
  cases.push_back({"rle4 with a run past the row end clipped",
                   {.width = 5,
                    .height = 2,
                    .bits = 4,
                    .compression = 2,
                    .palette = p,
                    .rle = {5, 0x12, 0, 0, 0, 3, 0x30, 0x20, 4, 0x11, 0, 1}},
                   PixelLayout::kRGB8,
                   Flatten({p[3], p[0], p[2], p[1], p[1], p[1], p[2], p[1], p[2], p[1]})});
  cases.push_back({"rle8 stream ending in the last row without end of bitmap",
                   {.width = 2,
                    .height = 2,
                    .bits = 8,
                    .compression = 1,
                    .palette = p,
                    .rle = {2, 1, 0, 0, 1, 3}},
                   PixelLayout::kRGB8,
                   Flatten({p[3], p[0], p[1], p[1]})});
  // RLE8, 4x4: bottom row run [2], delta along the row, run [3]; absolute [1 2 3] (padded);
  // delta two rows up to column 3, a run clipped at the row end; the third row untouched.
  const Bytes deltas = {1, 2, 0, 2, 2, 0, 1, 3, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 0, 2, 5, 1, 0, 0};
  cases.push_back(
      {"rle8 deltas along a row and across rows",
       {.width = 4, .height = 4, .bits = 8, .compression = 1, .palette = p, .rle = deltas},
       PixelLayout::kRGB8,
       Flatten({p[0], p[0], p[0], p[1], p[0], p[0], p[0], p[0], p[1], p[2], p[3], p[0], p[2], p[0],
                p[0], p[3]})});
  // RLE4, 5x2: bottom absolute of 5 nibbles (3 bytes and a pad byte); top row entered at
  // column 2 by a delta, stream ending there without end of bitmap.
  cases.push_back({"rle4 odd absolute run padded, delta into the last row",
                   {.width = 5,
                    .height = 2,
                    .bits = 4,
                    .compression = 2,
                    .palette = p,
                    .rle = {0, 5, 0x12, 0x30, 0x10, 0, 0, 0, 0, 2, 2, 0, 3, 0x23}},
                   PixelLayout::kRGB8,
                   Flatten({p[0], p[0], p[2], p[3], p[2], p[1], p[2], p[3], p[0], p[1]})});
  cases.push_back({"rle8 delta past the last row ends the image, the rest unread",
                   {.width = 2,
                    .height = 2,
                    .bits = 8,
                    .compression = 1,
                    .palette = p,
                    .rle = {2, 3, 0, 2, 0, 5, 0, 200}},
                   PixelLayout::kRGB8,
                   Flatten({p[0], p[0], p[3], p[3]})});
  cases.push_back({"rle8 top-down rows in stream order",
                   {.width = 2,
                    .height = -2,
                    .bits = 8,
                    .compression = 1,
                    .palette = p,
                    .rle = {2, 1, 0, 0, 2, 2, 0, 1}},
                   PixelLayout::kRGB8,
                   Flatten({p[1], p[1], p[2], p[2]})});
  return cases;
}

TEST(BmpDecoderTest, DecodesEachVariantExactly) {
  for (const GoodCase& c : GoodCases()) {
    SCOPED_TRACE(c.name);
    DecodedPage d;
    ASSERT_EQ(DecodeBytes(MakeBmp(c.shape), &d), DecodeStage::kDone);
    EXPECT_EQ(d.width, c.shape.width);
    EXPECT_EQ(d.height, std::abs(c.shape.height));
    EXPECT_EQ(d.layout, c.layout);
    EXPECT_EQ(d.pixels, c.expected);
  }
}

TEST(BmpDecoderTest, DeliversRowsInPiecesAndRestarts) {
  BmpShape shape{.width = 1, .height = 3, .bits = 8, .palette = kPalette, .rows = {{0}, {1}, {2}}};
  TempDir dir;
  const std::string path = dir / "rows.bmp";
  Bytes bytes = MakeBmp(shape);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  auto decoder = OpenBmpDecoder(InputFile::Open(path.c_str()));
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->PageCount(), 1);
  PageGeometry geometry;
  EXPECT_FALSE(decoder->Probe(1, &geometry));
  ASSERT_TRUE(decoder->Probe(0, &geometry));
  EXPECT_EQ(geometry.width, 1);
  EXPECT_EQ(geometry.height, 3);
  for (int pass = 0; pass < 2; ++pass) {
    PageInfo info;
    ASSERT_TRUE(decoder->StartPage(0, DecodeRequest{}, &info));
    uint8_t row[3];
    for (int y = 0; y < 3; ++y) {
      ASSERT_TRUE(decoder->ReadRows(row, 3, 1));
      EXPECT_EQ(Rgb({row[0], row[1], row[2]}), kPalette[2 - y]);
    }
    EXPECT_FALSE(decoder->ReadRows(row, 3, 1)) << "no rows past the end";
  }
}

// The alpha of a plain 32-bit file is flattened onto white like any other alpha.
TEST(BmpDecoderTest, FourthByteAlphaConvertsOntoWhite) {
  BmpShape shape{.width = 4, .height = 1, .bits = 32, .rows = {kMixedAlphaRow}};
  TempDir dir;
  const std::string path = dir / "alpha.bmp";
  Bytes bytes = MakeBmp(shape);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  auto decoder = OpenBmpDecoder(InputFile::Open(path.c_str()));
  ASSERT_NE(decoder, nullptr);
  Image converted;
  ASSERT_TRUE(RunPipeline(*decoder, Header(), 3, &converted));
  EXPECT_EQ(converted.pixels, Bytes({255, 255, 255, 6, 5, 4, 132, 131, 131, 255, 255, 255}));
}

// A row longer than the alpha scan reads at once: alpha set only in its last pixel is found.
TEST(BmpDecoderTest, AlphaScanReachesTheEndOfAVeryLongRow) {
  constexpr int kWidth = 300000;
  BmpShape shape{.width = kWidth, .height = 1, .bits = 32, .rows = {Bytes(kWidth * 4, 0)}};
  shape.rows[0].back() = 1;
  TempDir dir;
  const std::string path = dir / "wide.bmp";
  Bytes bytes = MakeBmp(shape);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  auto decoder = OpenBmpDecoder(InputFile::Open(path.c_str()));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, DecodeRequest{}, &info));
  EXPECT_EQ(info.layout, PixelLayout::kRGBA8);
}

struct BadCase {
  const char* name;
  Bytes bytes;
  DecodeStage failsAt;
};

std::vector<BadCase> BadCases() {
  const BmpShape rgb24{.width = 2, .bits = 24, .rows = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}};
  std::vector<BadCase> cases;
  Bytes truncated = MakeBmp(rgb24);
  truncated.resize(truncated.size() - 3);
  cases.push_back({"pixel array cut short", truncated, DecodeStage::kOpen});
  Bytes pastEnd = MakeBmp(rgb24);
  Put32(pastEnd, 10, 100000);
  cases.push_back({"pixel offset past the end", pastEnd, DecodeStage::kOpen});
  Bytes badHeader = MakeBmp(rgb24);
  Put32(badHeader, 14, 20);
  cases.push_back({"unknown header size", badHeader, DecodeStage::kOpen});
  Bytes notBmp = MakeBmp(rgb24);
  notBmp[1] = 'A';
  cases.push_back({"not a BMP signature", notBmp, DecodeStage::kOpen});
  Bytes planes = MakeBmp(rgb24);
  Put16(planes, 26, 2);
  cases.push_back({"two planes", planes, DecodeStage::kOpen});
  BmpShape huge = rgb24;
  huge.width = 50000;
  huge.height = 50000;
  cases.push_back({"over a gigapixel", MakeBmp(huge), DecodeStage::kOpen});
  huge.width = 30000;
  huge.height = -30000;
  cases.push_back({"huge dimensions over a tiny file", MakeBmp(huge), DecodeStage::kOpen});
  BmpShape zero = rgb24;
  zero.width = 0;
  cases.push_back({"zero width", MakeBmp(zero), DecodeStage::kOpen});
  zero = rgb24;
  zero.height = 0;
  cases.push_back({"zero height", MakeBmp(zero), DecodeStage::kOpen});
  BmpShape odd = rgb24;
  odd.bits = 7;
  cases.push_back({"7 bits per pixel", MakeBmp(odd), DecodeStage::kOpen});
  odd = rgb24;
  odd.compression = 4;
  cases.push_back({"JPEG inside", MakeBmp(odd), DecodeStage::kOpen});
  BmpShape rle{.width = 4,
               .height = 3,
               .bits = 4,
               .compression = 1,
               .palette = kPalette,
               .rle = {4, 1, 0, 1}};
  cases.push_back({"RLE8 with 4 bits", MakeBmp(rle), DecodeStage::kOpen});
  rle.bits = 8;
  rle.rle = {4, 1, 0, 0};
  cases.push_back({"RLE stream breaking off in the first row", MakeBmp(rle), DecodeStage::kStart});
  rle.rle = {0, 200, 1, 2};
  cases.push_back({"RLE absolute run past the data", MakeBmp(rle), DecodeStage::kStart});
  rle.rle = {4, 1, 0, 0, 0, 2, 1};
  cases.push_back(
      {"RLE delta escape cut short before the last row", MakeBmp(rle), DecodeStage::kStart});
  BmpShape os2Huffman{.headerSize = 64,
                      .width = 8,
                      .height = 1,
                      .bits = 1,
                      .compression = 3,
                      .palette = {kPalette[0], kPalette[1]},
                      .rows = {{0}}};
  cases.push_back({"OS/2 Huffman", MakeBmp(os2Huffman), DecodeStage::kOpen});
  cases.push_back(
      {"header only", Bytes(truncated.begin(), truncated.begin() + 20), DecodeStage::kOpen});
  return cases;
}

TEST(BmpDecoderTest, RefusesBrokenFilesCleanly) {
  for (const BadCase& c : BadCases()) {
    SCOPED_TRACE(c.name);
    DecodedPage d;
    EXPECT_EQ(DecodeBytes(c.bytes, &d), c.failsAt);
  }
}

TEST(BmpDecoderTest, RleEndingAtOnceLeavesPaletteEntryZero) {
  BmpShape shape{.width = 4000,
                 .height = 4000,
                 .bits = 8,
                 .compression = 1,
                 .palette = kPalette,
                 .rle = {0, 1}};
  TempDir dir;
  const std::string path = dir / "big.bmp";
  Bytes bytes = MakeBmp(shape);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  auto decoder = OpenBmpDecoder(InputFile::Open(path.c_str()));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, DecodeRequest{}, &info));
  std::vector<uint8_t> row(4000 * 3);
  ASSERT_TRUE(decoder->ReadRows(row.data(), row.size(), 1));
  EXPECT_EQ(Rgb({row[11997], row[11998], row[11999]}), kPalette[0]);
}

// A 30000 x 30000 RLE8 file whose stream is only end of bitmap draws nothing: every row is
// palette entry 0. Its rows are decoded one at a time from the stream rather than from a
// 900 MB expansion; that memory stays bounded is checked by the program's fault test, here
// only that the first and last rows come out right.
TEST(BmpDecoderTest, HugeRleImageFromATinyStreamDecodesRowByRow) {
  constexpr int kSide = 30000;
  BmpShape shape{.width = kSide,
                 .height = kSide,
                 .bits = 8,
                 .compression = 1,
                 .palette = kPalette,
                 .rle = {0, 1}};
  TempDir dir;
  const std::string path = dir / "huge.bmp";
  Bytes bytes = MakeBmp(shape);
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  auto decoder = OpenBmpDecoder(InputFile::Open(path.c_str()));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, DecodeRequest{}, &info));
  ASSERT_EQ(info.width, kSide);
  ASSERT_EQ(info.height, kSide);
  ASSERT_EQ(info.layout, PixelLayout::kRGB8);
  const Bytes blank = Flatten(std::vector<Rgb>(kSide, kPalette[0]));
  Bytes row(blank.size());
  for (int y = 0; y < kSide; ++y) {
    ASSERT_TRUE(decoder->ReadRows(row.data(), row.size(), 1)) << "row " << y;
    if (y == 0 || y == kSide - 1) {
      EXPECT_EQ(row, blank) << "row " << y;
    }
  }
}

}  // namespace
