#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/formats/formats.h"
#include "support/images.h"
#include "support/process.h"

namespace {

// A PNG under construction, chunk by chunk.
class PngWriter {
 public:
  PngWriter() { bytes_.assign("\x89PNG\r\n\x1a\n", 8); }
  void Chunk(const char* type, const std::string& data, bool badCrc = false) {
    AppendPngChunk(bytes_, type, data);
    if (badCrc) bytes_.back() ^= 1;
  }
  void Header(uint32_t width, uint32_t height, int depth, int colorType, bool interlaced) {
    std::string d;
    AppendBe32(d, width);
    AppendBe32(d, height);
    d += static_cast<char>(depth);
    d += static_cast<char>(colorType);
    d += '\0';
    d += '\0';
    d += static_cast<char>(interlaced ? 1 : 0);
    Chunk("IHDR", d);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Raw samples of an image: samples[(y * width + x) * channels + c].
struct Samples {
  int width, height, channels, depth;
  std::vector<uint16_t> v;
  uint16_t at(int x, int y, int c) const {
    return v[(static_cast<size_t>(y) * width + x) * channels + c];
  }
};

// Appends the filter-0 scanlines of the sub-image of s picked by the start and step.
void PackRows(const Samples& s, int x0, int y0, int dx, int dy, std::string* out) {
  for (int y = y0; y < s.height; y += dy) {
    if (x0 >= s.width) return;
    *out += '\0';
    uint32_t acc = 0;
    int bits = 0;
    for (int x = x0; x < s.width; x += dx) {
      for (int c = 0; c < s.channels; ++c) {
        uint16_t v = s.at(x, y, c);
        if (s.depth == 16) {
          *out += static_cast<char>(v >> 8), *out += static_cast<char>(v & 0xff);
          continue;
        }
        acc = (acc << s.depth) | v;
        bits += s.depth;
        if (bits == 8) *out += static_cast<char>(acc), acc = 0, bits = 0;
      }
    }
    if (bits > 0) *out += static_cast<char>(acc << (8 - bits));
  }
}

std::string ImageData(const Samples& s, bool interlaced) {
  std::string raw;
  if (!interlaced) {
    PackRows(s, 0, 0, 1, 1, &raw);
  } else {
    const int x0[] = {0, 4, 0, 2, 0, 1, 0}, y0[] = {0, 0, 4, 0, 2, 0, 1};
    const int dx[] = {8, 8, 4, 4, 2, 2, 1}, dy[] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; ++p) PackRows(s, x0[p], y0[p], dx[p], dy[p], &raw);
  }
  return StoredZlib(raw);
}

int SamplesOf(int colorType) {
  switch (colorType) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

Samples MakeSamples(int width, int height, int colorType, int depth) {
  Samples s{width, height, SamplesOf(colorType), depth, {}};
  uint32_t mask = (1u << depth) - 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < s.channels; ++c) {
        uint32_t v = depth == 16 ? x * 4099u + y * 3341u + c * 999u : x * 7u + y * 13u + c * 5u;
        s.v.push_back(static_cast<uint16_t>(v & mask));
      }
    }
  }
  return s;
}

uint8_t To8(uint16_t v, int depth) {
  if (depth == 16) return static_cast<uint8_t>(v >> 8);
  return static_cast<uint8_t>(v * 255 / ((1 << depth) - 1));
}

struct FormatCase {
  const char* name;
  int colorType, depth;
  bool interlaced, trns;
  PixelLayout layout;
};

const uint8_t kPalette[] = {0,  0,  0,  255, 0,   0,   0,   255, 0,   0,   0,   255,
                            9,  8,  7,  250, 250, 250, 1,   2,   3,   200, 100, 50,
                            60, 70, 80, 90,  100, 110, 120, 130, 140, 150, 160, 170};
constexpr int kPaletteEntries = sizeof kPalette / 3;
const uint8_t kPaletteAlpha[] = {0, 128, 255, 7, 99};

// Writes the case's PNG, and returns the pixels a decoder must deliver for it.
// The image data goes in IDAT chunks of idatBytes each when given, else in one.
std::string MakePng(const FormatCase& c, int width, int height, std::vector<uint8_t>* expected,
                    size_t idatBytes = 0) {
  Samples s = MakeSamples(width, height, c.colorType, c.depth);
  if (c.colorType == 3) {
    for (auto& v : s.v) v = static_cast<uint16_t>(v % std::min(kPaletteEntries, 1 << c.depth));
  }
  PngWriter png;
  png.Header(width, height, c.depth, c.colorType, c.interlaced);
  std::vector<uint16_t> key(s.v.begin() + s.channels, s.v.begin() + 2 * s.channels);  // pixel (1,0)
  if (c.colorType == 3) {
    png.Chunk("PLTE", std::string(reinterpret_cast<const char*>(kPalette),
                                  3 * std::min(kPaletteEntries, 1 << c.depth)));
    if (c.trns) {
      png.Chunk("tRNS", std::string(reinterpret_cast<const char*>(kPaletteAlpha),
                                    std::min(5, 1 << c.depth)));
    }
  } else if (c.trns) {
    std::string d;
    for (uint16_t k : key) d += static_cast<char>(k >> 8), d += static_cast<char>(k & 0xff);
    png.Chunk("tRNS", d);
  }
  png.Chunk("gAMA", std::string("\0\0\x3a\x98", 4));  // 0.15: visible if anyone applied it
  const std::string data = ImageData(s, c.interlaced);
  const size_t piece = idatBytes > 0 ? idatBytes : data.size();
  for (size_t at = 0; at < data.size(); at += piece) png.Chunk("IDAT", data.substr(at, piece));
  png.Chunk("IEND", "");
  expected->clear();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      bool keyed = c.trns && c.colorType != 3;
      for (int ch = 0; ch < s.channels; ++ch) keyed = keyed && s.at(x, y, ch) == key[ch];
      if (c.colorType == 3) {
        int i = s.at(x, y, 0);
        expected->insert(expected->end(), kPalette + 3 * i, kPalette + 3 * i + 3);
        if (c.trns) expected->push_back(i < 5 ? kPaletteAlpha[i] : 255);
        continue;
      }
      for (int ch = 0; ch < s.channels; ++ch) expected->push_back(To8(s.at(x, y, ch), c.depth));
      if (c.trns) expected->push_back(keyed ? 0 : 255);
    }
  }
  return png.bytes();
}

std::unique_ptr<Decoder> OpenBytes(const TempDir& dir, const std::string& bytes) {
  static int counter = 0;
  std::string path = dir / ("image" + std::to_string(counter++) + ".png");
  WriteFile(path, bytes);
  return OpenPngDecoder(InputFile::Open(path.c_str()));
}

class PngFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(PngFormat, DecodesEverySampleExactly) {
  const FormatCase& c = GetParam();
  const int width = 13, height = 11;
  std::vector<uint8_t> expected;
  TempDir dir;
  auto decoder = OpenBytes(dir, MakePng(c, width, height, &expected));
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->PageCount(), 1);
  PageGeometry geometry;
  ASSERT_TRUE(decoder->Probe(0, &geometry));
  EXPECT_EQ(geometry.width, width);
  EXPECT_EQ(geometry.height, height);
  PageInfo info;
  std::vector<uint8_t> pixels;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone);
  EXPECT_EQ(info.layout, c.layout);
  EXPECT_EQ(pixels, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PngFormat,
    testing::Values(FormatCase{"Gray1", 0, 1, false, false, PixelLayout::kG8},
                    FormatCase{"Gray2", 0, 2, false, false, PixelLayout::kG8},
                    FormatCase{"Gray4", 0, 4, false, false, PixelLayout::kG8},
                    FormatCase{"Gray8", 0, 8, false, false, PixelLayout::kG8},
                    FormatCase{"Gray16", 0, 16, false, false, PixelLayout::kG8},
                    FormatCase{"Gray2Trns", 0, 2, false, true, PixelLayout::kGA8},
                    FormatCase{"Gray8Trns", 0, 8, false, true, PixelLayout::kGA8},
                    FormatCase{"Gray16Trns", 0, 16, false, true, PixelLayout::kGA8},
                    FormatCase{"GrayAlpha8", 4, 8, false, false, PixelLayout::kGA8},
                    FormatCase{"GrayAlpha16", 4, 16, false, false, PixelLayout::kGA8},
                    FormatCase{"Rgb8", 2, 8, false, false, PixelLayout::kRGB8},
                    FormatCase{"Rgb16", 2, 16, false, false, PixelLayout::kRGB8},
                    FormatCase{"Rgb8Trns", 2, 8, false, true, PixelLayout::kRGBA8},
                    FormatCase{"Rgb16Trns", 2, 16, false, true, PixelLayout::kRGBA8},
                    FormatCase{"Rgba8", 6, 8, false, false, PixelLayout::kRGBA8},
                    FormatCase{"Rgba16", 6, 16, false, false, PixelLayout::kRGBA8},
                    FormatCase{"Palette1", 3, 1, false, false, PixelLayout::kRGB8},
                    FormatCase{"Palette4", 3, 4, false, false, PixelLayout::kRGB8},
                    FormatCase{"Palette8", 3, 8, false, false, PixelLayout::kRGB8},
                    FormatCase{"Palette2Trns", 3, 2, false, true, PixelLayout::kRGBA8},
                    FormatCase{"Palette8Trns", 3, 8, false, true, PixelLayout::kRGBA8},
                    FormatCase{"InterlacedGray1", 0, 1, true, false, PixelLayout::kG8},
                    FormatCase{"InterlacedGray4Trns", 0, 4, true, true, PixelLayout::kGA8},
                    FormatCase{"InterlacedRgb16", 2, 16, true, false, PixelLayout::kRGB8},
                    FormatCase{"InterlacedRgba8", 6, 8, true, false, PixelLayout::kRGBA8},
                    FormatCase{"InterlacedGrayAlpha8", 4, 8, true, false, PixelLayout::kGA8},
                    FormatCase{"InterlacedPalette2Trns", 3, 2, true, true, PixelLayout::kRGBA8}),
    [](const testing::TestParamInfo<FormatCase>& p) { return std::string(p.param.name); });

// Builds an RGB 8-bit 4x3 PNG with extra chunks before the image data.
std::string PngWithChunks(const std::vector<std::pair<std::string, std::string>>& chunks,
                          bool badIdatCrc = false, size_t idatCut = 0) {
  Samples s = MakeSamples(4, 3, 2, 8);
  PngWriter png;
  png.Header(4, 3, 8, 2, false);
  for (const auto& [type, data] : chunks) png.Chunk(type.c_str(), data, type == "tEXt");
  std::string idat = ImageData(s, false);
  png.Chunk("IDAT", idat.substr(0, idat.size() - idatCut), badIdatCrc);
  png.Chunk("IEND", "");
  return png.bytes();
}

std::string TiffOrientation(int value) {
  std::string s("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01", 18);
  s += static_cast<char>(0), s += static_cast<char>(value), s += std::string(6, '\0');
  return s;
}

TEST(PngDecoder, CarriesIccProfileAndExifOrientation) {
  std::string profile(3000, '\0');
  for (size_t i = 0; i < profile.size(); ++i) profile[i] = static_cast<char>(i * 31);
  std::string iccp = std::string("sRGB-ish\0\0", 10) + StoredZlib(profile);
  std::string exif = TiffOrientation(6);
  TempDir dir;
  auto decoder = OpenBytes(dir, PngWithChunks({{"iCCP", iccp}, {"eXIf", exif}}));
  ASSERT_NE(decoder, nullptr);
  PageGeometry geometry;
  ASSERT_TRUE(decoder->Probe(0, &geometry));
  EXPECT_EQ(geometry.orientation, 6);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_EQ(info.orientation, 6);
  EXPECT_EQ(std::string(info.icc.begin(), info.icc.end()), profile);
  EXPECT_EQ(std::string(info.exif.begin(), info.exif.end()), exif);
}

TEST(PngDecoder, AncillaryCrcErrorsAreToleratedCriticalOnesFail) {
  TempDir dir;
  // PngWithChunks gives every tEXt chunk a wrong CRC.
  auto tolerant = OpenBytes(dir, PngWithChunks({{"tEXt", std::string("Comment\0hello", 13)}}));
  ASSERT_NE(tolerant, nullptr);
  PageInfo info;
  std::vector<uint8_t> pixels;
  EXPECT_EQ(DecodePage(tolerant.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone);
  auto badIdat = OpenBytes(dir, PngWithChunks({}, true));
  EXPECT_NE(DecodePage(badIdat.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone);
  std::string badHeader = PngWithChunks({});
  badHeader[29] ^= 1;  // IHDR's CRC
  EXPECT_EQ(OpenBytes(dir, badHeader), nullptr);
}

// Image data that ends once the pixels are complete, missing only its zlib checksum, is
// tolerated as libspng does; image data missing pixels is not.
TEST(PngDecoder, DamagedImageDataFails) {
  TempDir dir;
  PageInfo info;
  std::vector<uint8_t> pixels;
  for (size_t cut : {1, 4}) {
    auto decoder = OpenBytes(dir, PngWithChunks({}, false, cut));
    EXPECT_EQ(DecodePage(decoder.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone) << cut;
  }
  for (size_t cut : {5, 10}) {
    auto decoder = OpenBytes(dir, PngWithChunks({}, false, cut));
    EXPECT_NE(DecodePage(decoder.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone) << cut;
  }
  std::string whole = PngWithChunks({});
  for (size_t keep : {size_t{8}, size_t{20}, size_t{33}, whole.size() - 30}) {
    auto decoder = OpenBytes(dir, whole.substr(0, keep));
    EXPECT_NE(DecodePage(decoder.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone) << keep;
  }
}

// libspng reads each chunk's header, data and CRC apart: image data in a thousand tiny chunks
// still decodes, from a few reads of the file.
TEST(PngDecoder, ImageDataInManySmallChunksTakesFewReads) {
  FormatCase c{"", 2, 8, false, false, PixelLayout::kRGB8};
  std::vector<uint8_t> expected;
  TempDir dir;
  auto decoder = OpenBytes(dir, MakePng(c, 64, 64, &expected, 12));
  ASSERT_NE(decoder, nullptr);
  const long readsBefore = ReadSyscallCount();
  PageInfo info;
  std::vector<uint8_t> pixels;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 5, &info, &pixels), DecodeStage::kDone);
  EXPECT_EQ(pixels, expected);
  if (readsBefore >= 0) {
    EXPECT_LT(ReadSyscallCount() - readsBefore, 20);
  }
}

TEST(PngDecoder, RefusesHeadersTheFileCannotHold) {
  struct Size {
    uint32_t width, height;
  };
  for (Size size : {Size{30000, 30000}, Size{40000, 30000}, Size{0, 5}, Size{0x80000000u, 1}}) {
    PngWriter png;
    png.Header(size.width, size.height, 8, 6, false);
    png.Chunk("IDAT", StoredZlib(std::string(1000, '\0')));
    png.Chunk("IEND", "");
    TempDir dir;
    EXPECT_EQ(OpenBytes(dir, png.bytes()), nullptr) << size.width << "x" << size.height;
  }
  TempDir dir;
  EXPECT_EQ(OpenBytes(dir, "not a png at all"), nullptr);
  EXPECT_EQ(OpenBytes(dir, ""), nullptr);
}

// With cores to spare, a file of several megabytes is read ahead on a thread of the decoder's
// own: a page started again, or left half-read when the decoder goes, behaves the same.
TEST(PngDecoder, StartPageAgainRestartsAndMisuseFails) {
  CoreBudget cores;
  struct Size {
    int width, height;
    CoreBudget* cores;
  };
  for (Size size : {Size{9, 7, nullptr}, Size{1100, 1000, &cores}}) {
    for (bool interlaced : {false, true}) {
      SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << interlaced);
      FormatCase c{"", 6, 8, interlaced, false, PixelLayout::kRGBA8};
      std::vector<uint8_t> expected;
      TempDir dir;
      auto decoder = OpenBytes(dir, MakePng(c, size.width, size.height, &expected, 100000));
      ASSERT_NE(decoder, nullptr);
      DecodeRequest request;
      request.cores = size.cores;
      const size_t stride = static_cast<size_t>(size.width) * 4;
      std::vector<uint8_t> rows(stride * size.height);
      EXPECT_FALSE(decoder->ReadRows(rows.data(), stride, 1));
      PageInfo info;
      EXPECT_FALSE(decoder->StartPage(1, request, &info));
      ASSERT_TRUE(decoder->StartPage(0, request, &info));
      ASSERT_TRUE(decoder->ReadRows(rows.data(), stride, 2));
      EXPECT_FALSE(decoder->ReadRows(rows.data(), stride, size.height - 1));  // 2 rows too many
      std::vector<uint8_t> pixels;
      ASSERT_EQ(DecodePage(decoder.get(), 0, request, 7, &info, &pixels), DecodeStage::kDone);
      EXPECT_EQ(pixels, expected);
      ASSERT_EQ(DecodePage(decoder.get(), 0, request, 1, &info, &pixels), DecodeStage::kDone);
      EXPECT_EQ(pixels, expected);
      ASSERT_TRUE(decoder->StartPage(0, request, &info));
      ASSERT_TRUE(decoder->ReadRows(rows.data(), stride, 2));
      decoder.reset();
    }
  }
}

}  // namespace
