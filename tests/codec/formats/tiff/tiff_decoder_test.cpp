#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/decoder.h"
#include "codec/formats/formats.h"
#include "support/images.h"
#include "support/process.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One directory written with libtiff: data holds the stored rows (plane after plane when
// separate), packed as TIFF packs them.
struct TiffPage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  uint16_t bps = 8;
  uint16_t spp = 1;
  uint16_t planar = PLANARCONFIG_CONTIG;
  uint16_t compression = COMPRESSION_NONE;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT;
  uint16_t predictor = 1;
  uint32_t rowsPerStrip = 2;
  uint32_t tileSize = 0;  // square tiles of this size instead of strips
  std::vector<uint16_t> extraSamples = {};
  std::vector<uint16_t> colormap = {};  // red, then green, then blue entries
  uint16_t orientation = 0;             // written when not 0
  Bytes icc = {};
  Bytes data = {};
};

void WritePage(TIFF* tif, const TiffPage& p) {
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bps);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.spp);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, p.planar);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, p.compression);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, p.sampleFormat);
  if (p.predictor != 1) TIFFSetField(tif, TIFFTAG_PREDICTOR, p.predictor);
  if (p.compression == COMPRESSION_JPEG) {
    TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  } else {
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
    if (p.photometric == PHOTOMETRIC_YCBCR) TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);
  }
  if (!p.extraSamples.empty()) {
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(p.extraSamples.size()),
                 p.extraSamples.data());
  }
  if (!p.colormap.empty()) {
    size_t n = p.colormap.size() / 3;
    TIFFSetField(tif, TIFFTAG_COLORMAP, p.colormap.data(), p.colormap.data() + n,
                 p.colormap.data() + 2 * n);
  }
  if (p.orientation != 0) TIFFSetField(tif, TIFFTAG_ORIENTATION, p.orientation);
  if (!p.icc.empty()) {
    TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(p.icc.size()), p.icc.data());
  }
  bool separate = p.planar == PLANARCONFIG_SEPARATE;
  size_t rowBytes = (static_cast<size_t>(p.width) * (separate ? 1 : p.spp) * p.bps + 7) / 8;
  int planes = separate ? p.spp : 1;
  if (p.tileSize == 0) {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, p.rowsPerStrip);
    for (int s = 0; s < planes; ++s) {
      for (uint32_t y = 0; y < p.height; ++y) {
        Bytes row(p.data.begin() + (s * p.height + y) * rowBytes,
                  p.data.begin() + (s * p.height + y + 1) * rowBytes);
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, static_cast<uint16_t>(s)), 1);
      }
    }
  } else {
    // Whole-byte pixels only.
    size_t pixelBytes = rowBytes / p.width;
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tileSize);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tileSize);
    Bytes tile(static_cast<size_t>(p.tileSize) * p.tileSize * pixelBytes);
    for (int s = 0; s < planes; ++s) {
      for (uint32_t ty = 0; ty < p.height; ty += p.tileSize) {
        for (uint32_t tx = 0; tx < p.width; tx += p.tileSize) {
          std::fill(tile.begin(), tile.end(), 0);
          for (uint32_t y = ty; y < std::min(p.height, ty + p.tileSize); ++y) {
            size_t n = (std::min(p.width, tx + p.tileSize) - tx) * pixelBytes;
            std::memcpy(&tile[(y - ty) * p.tileSize * pixelBytes],
                        &p.data[(s * p.height + y) * rowBytes + tx * pixelBytes], n);
          }
          ASSERT_GE(TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(s)), 0);
        }
      }
    }
  }
  ASSERT_TRUE(TIFFWriteDirectory(tif));
}

std::string WriteTiff(const TempDir& dir, const std::vector<TiffPage>& pages) {
  std::string path = dir / "test.tif";
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  EXPECT_NE(tif, nullptr);
  for (const TiffPage& p : pages) WritePage(tif, p);
  TIFFClose(tif);
  return path;
}

std::unique_ptr<Decoder> Open(const std::string& path) {
  return OpenTiffDecoder(InputFile::Open(path.c_str()));
}

uint8_t Level16(uint16_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); }

struct GoodCase {
  const char* name;
  TiffPage page;
  PixelLayout layout;
  Bytes expected;
  int tolerance = 0;
};

Bytes Ramp(size_t n, unsigned step, unsigned start = 0) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(start + i * step);
  return out;
}

Bytes Le16(const std::vector<uint16_t>& values) {
  Bytes out(values.size() * 2);
  std::memcpy(out.data(), values.data(), out.size());
  return out;
}

std::vector<GoodCase> GoodCases() {
  std::vector<GoodCase> cases;
  Bytes rgb = Ramp(5 * 4 * 3, 7);
  cases.push_back({"rgb8 lzw strips",
                   {.width = 5,
                    .height = 4,
                    .photometric = PHOTOMETRIC_RGB,
                    .spp = 3,
                    .compression = COMPRESSION_LZW,
                    .data = rgb},
                   PixelLayout::kRGB8,
                   rgb});
  {
    std::vector<uint16_t> v = {0, 1, 0x7fff, 0x8080, 0xfffe, 0xffff};
    Bytes expected;
    for (uint16_t x : v) expected.push_back(Level16(x));
    cases.push_back({"gray16 deflate predictor",
                     {.width = 3,
                      .height = 2,
                      .bps = 16,
                      .compression = COMPRESSION_ADOBE_DEFLATE,
                      .predictor = 2,
                      .data = Le16(v)},
                     PixelLayout::kG8,
                     expected});
  }
  // 10 pixels a row: 1 is black in min-is-white.
  cases.push_back({"bilevel min-is-white packbits",
                   {.width = 10,
                    .height = 2,
                    .photometric = PHOTOMETRIC_MINISWHITE,
                    .bps = 1,
                    .compression = COMPRESSION_PACKBITS,
                    .data = {0xA5, 0x40, 0x0F, 0xC0}},
                   PixelLayout::kG8,
                   {0,   255, 0,   255, 255, 0, 255, 0, 255, 0,  //
                    255, 255, 255, 255, 0,   0, 0,   0, 0,   0}});
  cases.push_back({"gray2 min-is-black",
                   {.width = 4, .height = 1, .bps = 2, .data = {0x1B}},
                   PixelLayout::kG8,
                   {0, 85, 170, 255}});
  {
    std::vector<uint16_t> map(48, 0);
    for (int i = 0; i < 16; ++i) {
      map[i] = static_cast<uint16_t>(i * 4096);        // red
      map[16 + i] = static_cast<uint16_t>(65535 - i);  // green
      map[32 + i] = 257;                               // blue
    }
    Bytes expected;
    for (int i : {1, 15, 0, 8}) {
      expected.push_back(static_cast<uint8_t>((i * 4096 + 128) / 257));
      expected.push_back(255);
      expected.push_back(1);
    }
    cases.push_back({"palette4 16-bit map",
                     {.width = 2,
                      .height = 2,
                      .photometric = PHOTOMETRIC_PALETTE,
                      .bps = 4,
                      .colormap = map,
                      .data = {0x1F, 0x08}},
                     PixelLayout::kRGB8,
                     expected});
  }
  {
    // Premultiplied pixels that unpremultiply exactly, over 20x18 in 16x16 tiles.
    const uint8_t kinds[4][4] = {
        {10, 20, 30, 255}, {0, 0, 0, 0}, {64, 32, 16, 128}, {5, 6, 7, 255}};
    const uint8_t straight[4][4] = {
        {10, 20, 30, 255}, {0, 0, 0, 0}, {128, 64, 32, 128}, {5, 6, 7, 255}};
    Bytes data, expected;
    for (int i = 0; i < 20 * 18; ++i) {
      int k = (i % 20 + i / 20) % 4;
      data.insert(data.end(), kinds[k], kinds[k] + 4);
      expected.insert(expected.end(), straight[k], straight[k] + 4);
    }
    cases.push_back({"tiled rgba associated alpha",
                     {.width = 20,
                      .height = 18,
                      .photometric = PHOTOMETRIC_RGB,
                      .spp = 4,
                      .compression = COMPRESSION_ADOBE_DEFLATE,
                      .tileSize = 16,
                      .extraSamples = {EXTRASAMPLE_ASSOCALPHA},
                      .data = data},
                     PixelLayout::kRGBA8,
                     expected});
  }
  Bytes ga = Ramp(3 * 3 * 2, 13);
  cases.push_back(
      {"gray alpha unassociated",
       {.width = 3, .height = 3, .spp = 2, .extraSamples = {EXTRASAMPLE_UNASSALPHA}, .data = ga},
       PixelLayout::kGA8,
       ga});
  Bytes cmyk = Ramp(4 * 3 * 4, 5, 3);
  cases.push_back(
      {"cmyk8",
       {.width = 4, .height = 3, .photometric = PHOTOMETRIC_SEPARATED, .spp = 4, .data = cmyk},
       PixelLayout::kCMYK8,
       cmyk});
  {
    // Planes R, G, B of 4x5 with three rows a strip.
    Bytes planes = Ramp(4 * 5 * 3, 3);
    Bytes expected;
    for (int i = 0; i < 20; ++i) {
      for (int s = 0; s < 3; ++s) expected.push_back(planes[s * 20 + i]);
    }
    cases.push_back({"rgb planar separate",
                     {.width = 4,
                      .height = 5,
                      .photometric = PHOTOMETRIC_RGB,
                      .spp = 3,
                      .planar = PLANARCONFIG_SEPARATE,
                      .rowsPerStrip = 3,
                      .data = planes},
                     PixelLayout::kRGB8,
                     expected});
  }
  {
    // Uncompressed YCbCr goes through libtiff's RGBA reader: white, black, grey, red-ish.
    Bytes ycc;
    for (int i = 0; i < 15; ++i) {
      const uint8_t pix[4][3] = {{255, 128, 128}, {0, 128, 128}, {128, 128, 128}, {76, 85, 255}};
      ycc.insert(ycc.end(), pix[i % 4], pix[i % 4] + 3);
    }
    Bytes expected;
    for (int i = 0; i < 15; ++i) {
      const uint8_t pix[4][3] = {{255, 255, 255}, {0, 0, 0}, {128, 128, 128}, {255, 0, 0}};
      expected.insert(expected.end(), pix[i % 4], pix[i % 4] + 3);
    }
    TiffPage p{.width = 3, .height = 5, .photometric = PHOTOMETRIC_YCBCR, .spp = 3, .data = ycc};
    cases.push_back({"ycbcr 1x1 uncompressed", p, PixelLayout::kRGB8, expected, 3});
  }
  {
    std::vector<float> v = {0.0f, 0.5f, 1.0f, 2.0f, -1.0f, 0.25f};
    Bytes data(v.size() * 4);
    std::memcpy(data.data(), v.data(), data.size());
    cases.push_back(
        {"gray float32",
         {.width = 3, .height = 2, .bps = 32, .sampleFormat = SAMPLEFORMAT_IEEEFP, .data = data},
         PixelLayout::kG8,
         {0, 128, 255, 255, 0, 64}});
  }
  {
    // 16x16 in quadrants of flat colour, JPEG-compressed YCbCr.
    Bytes data, expected;
    // One chroma for all four, so that chroma subsampling blurs no edge.
    const uint8_t quad[4][3] = {{90, 0, 20}, {150, 60, 80}, {190, 100, 120}, {240, 150, 170}};
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const uint8_t* q = quad[(x >= 8) + 2 * (y >= 8)];
        data.insert(data.end(), q, q + 3);
      }
    }
    cases.push_back({"ycbcr jpeg",
                     {.width = 16,
                      .height = 16,
                      .spp = 3,
                      .compression = COMPRESSION_JPEG,
                      .rowsPerStrip = 16,
                      .data = data},
                     PixelLayout::kRGB8,
                     data,
                     6});
  }
  {
    // CIE L*a*b* (D50) comes out as sRGB, its white as white. Each 8-bit pixel is L* * 2.55
    // and signed a*, b*; each 16-bit one L* * 655.35 and signed a*, b* * 256. The colours are
    // white, black, L* 50 grey and sRGB's red, green and blue, Lab values rounded to what the
    // samples hold; the expected sRGB is worked out from those (Bradford-adapted to D65).
    auto s8 = [](int v) { return static_cast<uint8_t>(v); };
    auto s16 = [](int v) { return static_cast<uint16_t>(v); };
    const Bytes data8 = {
        255, 0,       0,         // white
        0,   0,       0,         // black
        128, 0,       0,         // grey
        138, 81,      70,        // red
        224, s8(-79), 81,        // green
        75,  68,      s8(-112),  // blue
    };
    const std::vector<uint16_t> lab16 = {
        65535, 0,           0,            // white
        0,     0,           0,            // black
        32768, 0,           0,            // grey
        35580, 20688,       17891,        // red
        57552, s16(-20298), 20734,        // green
        19377, 17484,       s16(-28680),  // blue
    };
    const Bytes srgb8 = {255, 255, 255, 0, 0, 0, 119, 119, 119, 255, 0, 0, 10, 255, 0, 0, 1, 254};
    const Bytes srgb16 = {255, 255, 255, 0, 0, 0, 119, 119, 119, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    Bytes planes8(18);
    for (int i = 0; i < 6; ++i) {
      for (int s = 0; s < 3; ++s) planes8[s * 6 + i] = data8[i * 3 + s];
    }
    TiffPage page{.width = 3, .height = 2, .photometric = PHOTOMETRIC_CIELAB, .spp = 3};
    page.data = data8;
    cases.push_back({"cielab8", page, PixelLayout::kRGB8, srgb8, 1});
    page.planar = PLANARCONFIG_SEPARATE;
    page.data = planes8;
    cases.push_back({"cielab8 planar separate", page, PixelLayout::kRGB8, srgb8, 1});
    page.planar = PLANARCONFIG_CONTIG;
    page.bps = 16;
    page.data = Le16(lab16);
    cases.push_back({"cielab16", page, PixelLayout::kRGB8, srgb16, 1});
  }
  return cases;
}

TEST(TiffDecoderTest, DecodesLayoutsAndCompressions) {
  TempDir dir;
  for (const GoodCase& c : GoodCases()) {
    SCOPED_TRACE(c.name);
    std::string path = WriteTiff(dir, {c.page});
    auto decoder = Open(path);
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->PageCount(), 1);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 3, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(info.width, static_cast<int>(c.page.width));
    EXPECT_EQ(info.height, static_cast<int>(c.page.height));
    EXPECT_EQ(info.layout, c.layout);
    ASSERT_EQ(pixels.size(), c.expected.size());
    int worst = 0;
    for (size_t i = 0; i < pixels.size(); ++i)
      worst = std::max(worst, std::abs(pixels[i] - c.expected[i]));
    EXPECT_LE(worst, c.tolerance);
  }
}

TEST(TiffDecoderTest, EveryDirectoryIsAPage) {
  TempDir dir;
  std::vector<TiffPage> pages;
  for (uint32_t i = 0; i < 3; ++i) {
    pages.push_back(
        {.width = 2 + i, .height = 1 + i, .data = Bytes((2 + i) * (1 + i), uint8_t(10 * i))});
  }
  pages[1].orientation = ORIENTATION_RIGHTTOP;
  pages[1].icc = {1, 2, 3, 4, 5};
  auto decoder = Open(WriteTiff(dir, pages));
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->PageCount(), 3);
  PageGeometry g;
  ASSERT_TRUE(decoder->Probe(1, &g));
  EXPECT_EQ(g.width, 3);
  EXPECT_EQ(g.height, 2);
  EXPECT_EQ(g.orientation, 6);
  EXPECT_FALSE(decoder->Probe(3, &g));
  // Out of order (skipping ahead, back, on by one, again), and a probe between reads does not
  // disturb the page being read.
  for (int page : {2, 0, 1, 1, 2, 0, 2}) {
    PageInfo info;
    ASSERT_TRUE(decoder->StartPage(page, DecodeRequest{}, &info));
    ASSERT_TRUE(decoder->Probe(2 - page, &g));
    Bytes row(info.width * info.height);
    ASSERT_TRUE(decoder->ReadRows(row.data(), info.width, info.height));
    EXPECT_EQ(row, Bytes(row.size(), uint8_t(10 * page)));
    EXPECT_EQ(info.orientation, page == 1 ? 6 : 1);
    EXPECT_EQ(info.icc, page == 1 ? Bytes({1, 2, 3, 4, 5}) : Bytes());
    EXPECT_FALSE(decoder->ReadRows(row.data(), info.width, 1)) << "past the last row";
  }
}

// libtiff reads each directory and each small strip apart, a few bytes at a time: a hundred
// small deflated pages read in order take about two reads of the file a page (each page is
// read from the file as it is when the page starts).
TEST(TiffDecoderTest, SmallPagesTakeFewReads) {
  TempDir dir;
  std::vector<TiffPage> pages;
  for (uint32_t i = 0; i < 100; ++i) {
    pages.push_back({.width = 16,
                     .height = 8,
                     .compression = COMPRESSION_ADOBE_DEFLATE,
                     .data = Ramp(16 * 8, 1, i)});
  }
  auto decoder = Open(WriteTiff(dir, pages));
  ASSERT_NE(decoder, nullptr);
  const long readsBefore = ReadSyscallCount();
  for (int page = 0; page < 100; ++page) {
    DecodedPage decoded;
    ASSERT_EQ(DecodePage(decoder.get(), page, {}, 3, &decoded), DecodeStage::kDone) << page;
    EXPECT_EQ(decoded.pixels, pages[page].data) << page;
  }
  if (readsBefore >= 0) {
    EXPECT_LT(ReadSyscallCount() - readsBefore, 250);
  }
}

// libtiff's RGBA reader would turn rows by the orientation tag; the decoder leaves the turn
// to its caller, in both the direct and the RGBA paths.
TEST(TiffDecoderTest, RowsStayInStoredOrder) {
  TempDir dir;
  for (uint16_t photometric : {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_YCBCR}) {
    SCOPED_TRACE(photometric);
    TiffPage p{.width = 1, .height = 3, .photometric = photometric, .spp = 3};
    p.orientation = ORIENTATION_BOTRIGHT;
    p.data = {255, 128, 128, 0, 128, 128, 128, 128, 128};
    if (photometric == PHOTOMETRIC_MINISBLACK) {
      p.spp = 1;
      p.data = {255, 0, 128};
    }
    auto decoder = Open(WriteTiff(dir, {p}));
    ASSERT_NE(decoder, nullptr);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 3, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(info.orientation, 3);
    int channels = ChannelCount(info.layout);
    ASSERT_EQ(pixels.size(), 3u * channels);
    EXPECT_EQ(pixels[0], 255);
    EXPECT_EQ(pixels[channels], 0);
    EXPECT_NEAR(pixels[2 * channels], 128, 2);
  }
}

// A little-endian classic TIFF built by hand.
struct Entry {
  uint16_t tag;
  uint16_t type;   // 1 byte (up to four, in value from its low end), 3 short, 4 long
  uint32_t value;  // with a count of 2 shorts, the second in the high half
  uint32_t count = 1;
};

std::string Ifd(const std::vector<Entry>& entries, uint32_t next) {
  std::string s;
  AppendLe16(s, static_cast<uint16_t>(entries.size()));
  for (const Entry& e : entries) {
    AppendLe16(s, e.tag);
    AppendLe16(s, e.type);
    AppendLe32(s, e.count);
    if (e.type == 3) {
      AppendLe16(s, static_cast<uint16_t>(e.value));
      AppendLe16(s, static_cast<uint16_t>(e.value >> 16));
    } else {
      AppendLe32(s, e.value);
    }
  }
  AppendLe32(s, next);
  return s;
}

// A gray 8-bit image directory whose one strip is at dataOffset.
std::vector<Entry> GrayEntries(uint32_t width, uint32_t height, uint32_t dataOffset, uint32_t bytes,
                               uint16_t compression = 1) {
  return {{256, 4, width},       {257, 4, height}, {258, 3, 8},
          {259, 3, compression}, {262, 3, 1},      {273, 4, dataOffset},
          {277, 3, 1},           {278, 4, height}, {279, 4, bytes}};
}

constexpr uint32_t kIfdSize = 2 + 9 * 12 + 4;

std::string Header() {
  std::string s = "II";
  AppendLe16(s, 42);
  AppendLe32(s, 8);
  return s;
}

TEST(TiffDecoderTest, LoopingDirectoryChainsEnd) {
  // IFD at 8 -> itself; IFDs at 8 and 8 + kIfdSize -> each other. Pixel byte after them.
  struct LoopCase {
    const char* name;
    int ifds;
    int pages;
  } cases[] = {{"self loop", 1, 1}, {"two-directory loop", 2, 2}};
  TempDir dir;
  for (const LoopCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t data = 8 + kIfdSize * c.ifds;
    std::string file = Header();
    for (int i = 0; i < c.ifds; ++i) {
      uint32_t next = 8 + kIfdSize * ((i + 1) % c.ifds);
      file += Ifd(GrayEntries(1, 1, data, 1), next);
    }
    file += '\x7f';
    WriteFile(dir / "loop.tif", file);
    auto decoder = Open(dir / "loop.tif");
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->PageCount(), c.pages);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), c.pages - 1, {}, 3, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(pixels, Bytes{0x7f});
  }
}

TEST(TiffDecoderTest, RefusesBrokenFiles) {
  TempDir dir;
  TiffPage big{.width = 64,
               .height = 64,
               .photometric = PHOTOMETRIC_RGB,
               .spp = 3,
               .compression = COMPRESSION_LZW,
               .rowsPerStrip = 4};
  big.data.resize(64 * 64 * 3);
  for (size_t i = 0; i < big.data.size(); ++i) big.data[i] = static_cast<uint8_t>(i * 7919 >> 3);
  std::string whole = ReadFile(WriteTiff(dir, {big}));
  const uint32_t data = 8 + kIfdSize;
  // DNGVersion 1.4.0.0 (a tag of four bytes) in a directory of one more entry.
  std::vector<Entry> dng = GrayEntries(4, 4, data + 12, 16);
  dng.push_back({50706, 1, 0x00000401, 4});
  struct BrokenCase {
    const char* name;
    std::string file;
    bool opens;  // the header may be sound while the pixels are not
  } cases[] = {
      {"empty", "", false},
      {"not a tiff", std::string(100, 'x'), false},
      {"header only", Header(), false},
      {"truncated file (libtiff writes the directory last)", whole.substr(0, whole.size() / 2),
       false},
      {"strip cut short", Header() + Ifd(GrayEntries(4, 4, data, 16), 0) + std::string(10, 'x'),
       true},
      {"dimensions over the pixel cap",
       Header() + Ifd(GrayEntries(100000, 100000, data, 1), 0) + "x", false},
      {"uncompressed strip far larger than the file",
       Header() + Ifd(GrayEntries(30000, 30000, data, 900000000), 0) + "x", false},
      {"compressed strip claiming a huge ratio",
       Header() + Ifd(GrayEntries(30000, 30000, data, 1, COMPRESSION_LZW), 0) + "x", false},
      {"strip outside the file", Header() + Ifd(GrayEntries(4, 4, 1u << 30, 16), 0), false},
      {"zero width", Header() + Ifd(GrayEntries(0, 4, data, 16), 0) + std::string(16, 'x'), false},
      {"DNG, whose first page is only the camera's preview",
       Header() + Ifd(dng, 0) + std::string(16, 'x'), false},
  };
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "broken.tif", c.file);
    auto decoder = Open(dir / "broken.tif");
    if (!c.opens) {
      EXPECT_EQ(decoder, nullptr);
      continue;
    }
    ASSERT_NE(decoder, nullptr);
    PageInfo info;
    Bytes pixels;
    EXPECT_NE(DecodePage(decoder.get(), 0, {}, 3, &info, &pixels), DecodeStage::kDone);
  }
}

// Rows of the strips before a broken one are delivered; reading fails at that strip's first row.
TEST(TiffDecoderTest, FailsAtTheFirstRowOfABrokenStrip) {
  struct StripCase {
    const char* name;
    uint16_t compression;
    bool cut;  // the second strip cut short by the end of the file, else its bytes inverted
  } cases[] = {{"uncompressed strip cut short", COMPRESSION_NONE, true},
               {"deflate strip cut short", COMPRESSION_ADOBE_DEFLATE, true},
               {"deflate strip damaged", COMPRESSION_ADOBE_DEFLATE, false}};
  TempDir dir;
  for (const StripCase& c : cases) {
    SCOPED_TRACE(c.name);
    // 8x4 gray in two strips of two rows, taken as libtiff stores them.
    TiffPage page{.width = 8, .height = 4, .compression = c.compression, .data = Ramp(32, 5)};
    TIFF* written = TIFFOpen(WriteTiff(dir, {page}).c_str(), "r");
    ASSERT_NE(written, nullptr);
    std::string strips[2];
    for (uint32_t i = 0; i < 2; ++i) {
      strips[i].resize(TIFFGetStrileByteCount(written, i));
      ASSERT_EQ(TIFFReadRawStrip(written, i, strips[i].data(), strips[i].size()),
                static_cast<tmsize_t>(strips[i].size()));
    }
    TIFFClose(written);
    const uint32_t sizes = static_cast<uint32_t>(strips[0].size() | strips[1].size() << 16);
    const uint32_t data = 8 + kIfdSize;
    const uint32_t offsets = data | (data + static_cast<uint32_t>(strips[0].size())) << 16;
    std::vector<Entry> entries = GrayEntries(8, 4, 0, 0, c.compression);
    entries[5] = {273, 3, offsets, 2};
    entries[7] = {278, 4, 2};
    entries[8] = {279, 3, sizes, 2};
    if (c.cut) {
      strips[1].resize(strips[1].size() / 2);
    } else {
      for (char& b : strips[1]) b = static_cast<char>(~b);
    }
    WriteFile(dir / "broken.tif", Header() + Ifd(entries, 0) + strips[0] + strips[1]);
    auto decoder = Open(dir / "broken.tif");
    ASSERT_NE(decoder, nullptr);
    PageInfo info;
    ASSERT_TRUE(decoder->StartPage(0, {}, &info));
    Bytes rows(16);
    ASSERT_TRUE(decoder->ReadRows(rows.data(), 8, 2));
    EXPECT_EQ(rows, Ramp(16, 5));
    EXPECT_FALSE(decoder->ReadRows(rows.data(), 8, 1));
  }
}

// A contiguous strip of 64 MB or more is not held whole but read a row at a time.
TEST(TiffDecoderTest, DecodesAStripTooLargeToHold) {
  TiffPage page{.width = 8192,
                .height = 8200,
                .compression = COMPRESSION_ADOBE_DEFLATE,
                .rowsPerStrip = 8200};
  page.data.resize(size_t{page.width} * page.height);
  for (size_t i = 0; i < page.data.size(); ++i) {
    page.data[i] = static_cast<uint8_t>(i % page.width * 7 + i / page.width * 13);
  }
  TempDir dir;
  auto decoder = Open(WriteTiff(dir, {page}));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  constexpr int kBand = 100;
  Bytes band(size_t{page.width} * kBand);
  for (uint32_t y = 0; y < page.height; y += kBand) {
    const int rows = static_cast<int>(std::min<uint32_t>(kBand, page.height - y));
    ASSERT_TRUE(decoder->ReadRows(band.data(), page.width, rows)) << "row " << y;
    const auto first = page.data.begin() + static_cast<ptrdiff_t>(size_t{y} * page.width);
    ASSERT_TRUE(std::equal(first, first + rows * page.width, band.begin())) << "row " << y;
  }
}

}  // namespace
