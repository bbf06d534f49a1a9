#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/registry.h"
#include "codec/magick_reference.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kCorpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus";

struct Map {
  int first = 0;
  int length = 0;
  int bits = 0;
};

std::string Tga(int type, int width, int height, int bits, int descriptor,
                std::initializer_list<int> data, Map map = {}, std::string id = "") {
  std::string s;
  s.push_back(static_cast<char>(id.size()));
  s.push_back(map.length > 0 ? 1 : 0);
  s.push_back(static_cast<char>(type));
  for (int v : {map.first, map.length}) s += {static_cast<char>(v), static_cast<char>(v >> 8)};
  s.push_back(static_cast<char>(map.bits));
  s += std::string(4, '\0');
  for (int v : {width, height}) s += {static_cast<char>(v), static_cast<char>(v >> 8)};
  s += {static_cast<char>(bits), static_cast<char>(descriptor)};
  s += id;
  for (int b : data) s.push_back(static_cast<char>(b));
  return s;
}

// Appends a TGA 2.0 extension area whose attributes type is type, and the footer to it.
std::string WithExtension(std::string tga, int type) {
  const size_t at = tga.size();
  std::string extension(495, '\0');
  extension[0] = static_cast<char>(495 & 0xff);
  extension[1] = static_cast<char>(495 >> 8);
  extension[494] = static_cast<char>(type);
  tga += extension;
  tga += {static_cast<char>(at), static_cast<char>(at >> 8), 0, 0, 0, 0, 0, 0};
  tga += std::string("TRUEVISION-XFILE.") + '\0';
  return tga;
}

// A bottom-up run-length TGA, 32 bits with alpha, whose packets run across rows: rows must be
// found through the decoder's row index, last stored row first.
void WriteTgaSample(const std::string& path) {
  std::string tga = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  tga += {kSampleWidth, 0, kSampleHeight, 0, 32, 8};
  for (int i = 0; i < kSampleWidth * kSampleHeight;) {
    const int count = std::min(1 + i % 29, kSampleWidth * kSampleHeight - i);
    const bool run = i % 2 == 0;
    tga.push_back(static_cast<char>((run ? 0x80 : 0) | (count - 1)));
    for (int k = 0; k < (run ? 1 : count); ++k, ++i) {
      tga += {static_cast<char>(i), static_cast<char>(i * 3), static_cast<char>(i / 3),
              static_cast<char>(i % 50 < 40 ? 255 : i)};
    }
    if (run) i += count - 1;
  }
  std::ofstream(path, std::ios::binary) << tga;
}

[[maybe_unused]] const bool kSampleAdded = AddFormatSample("tga", {1, WriteTgaSample});

// Decodes page 0 of the file made of bytes, band rows per read.
DecodeStage DecodeBytes(const std::string& bytes, int band, DecodedPage* out,
                        Failure* failure = nullptr) {
  return ::DecodeBytes(bytes, "test.tga", 0, band, out, failure);
}

struct GoodCase {
  const char* name;
  std::string file;
  PixelLayout layout;
  Bytes expected;  // top row first
};

TEST(TgaDecoderTest, DecodesEachKindUpright) {
  const GoodCase cases[] = {
      {"24 bits, bottom-left origin",
       Tga(2, 2, 2, 24, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
       PixelLayout::kRGB8,
       {9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4}},
      {"24 bits, top-left origin, ID field",
       Tga(2, 2, 1, 24, 0x20, {1, 2, 3, 4, 5, 6}, {}, "id"),
       PixelLayout::kRGB8,
       {3, 2, 1, 6, 5, 4}},
      {"24 bits, top-right origin",
       Tga(2, 2, 1, 24, 0x30, {1, 2, 3, 4, 5, 6}),
       PixelLayout::kRGB8,
       {6, 5, 4, 3, 2, 1}},
      {"16 bits with an alpha bit",
       Tga(2, 2, 1, 16, 0x21, {0x00, 0xfc, 0x1f, 0x00}),
       PixelLayout::kRGBA8,
       {255, 0, 0, 255, 0, 0, 255, 0}},
      {"16 bits whose alpha bit is clear everywhere is opaque",
       Tga(2, 2, 1, 16, 0x21, {0x00, 0x7c, 0x10, 0x00}),
       PixelLayout::kRGB8,
       {255, 0, 0, 0, 0, 132}},
      {"15 bits ignore the top bit",
       Tga(2, 1, 1, 15, 0, {0xe0, 0x83}),
       PixelLayout::kRGB8,
       {0, 255, 0}},
      {"32 bits with alpha", Tga(2, 1, 1, 32, 8, {1, 2, 3, 4}), PixelLayout::kRGBA8, {3, 2, 1, 4}},
      {"32 bits the extension area says carry no alpha",
       WithExtension(Tga(2, 1, 1, 32, 8, {1, 2, 3, 4}), 0),
       PixelLayout::kRGB8,
       {3, 2, 1}},
      {"32 bits the extension area says carry undefined data to keep",
       WithExtension(Tga(2, 1, 1, 32, 8, {1, 2, 3, 4}), 2),
       PixelLayout::kRGB8,
       {3, 2, 1}},
      {"32 bits whose extension area says premultiplied",
       WithExtension(Tga(2, 2, 1, 32, 0x28, {20, 40, 64, 128, 9, 9, 9, 0}), 4),
       PixelLayout::kRGBA8,
       {128, 80, 40, 128, 0, 0, 0, 0}},
      {"32 bits without attribute bits carry no alpha",
       Tga(2, 1, 1, 32, 0, {1, 2, 3, 4}),
       PixelLayout::kRGB8,
       {3, 2, 1}},
      {"32 bits the extension area says carry alpha",
       WithExtension(Tga(2, 1, 1, 32, 8, {1, 2, 3, 4}), 3),
       PixelLayout::kRGBA8,
       {3, 2, 1, 4}},
      {"colour map from entry 5, an index outside gives black",
       Tga(1, 3, 1, 8, 0x20, {10, 20, 30, 40, 50, 60, 5, 6, 9}, {5, 2, 24}),
       PixelLayout::kRGB8,
       {30, 20, 10, 60, 50, 40, 0, 0, 0}},
      {"gray, run-length packets across rows, bottom-left",
       Tga(11, 3, 2, 8, 0, {0x83, 7, 0x01, 8, 9}),
       PixelLayout::kG8,
       {7, 8, 9, 7, 7, 7}},
      {"gray with alpha, 16 bits", Tga(3, 1, 1, 16, 8, {100, 50}), PixelLayout::kGA8, {100, 50}},
      {"true colour run-length, top-right",
       Tga(10, 3, 1, 24, 0x30, {0x81, 1, 2, 3, 0x00, 4, 5, 6}),
       PixelLayout::kRGB8,
       {6, 5, 4, 3, 2, 1, 3, 2, 1}},
  };
  for (const GoodCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (int band : {1, 0}) {
      DecodedPage page;
      ASSERT_EQ(DecodeBytes(c.file, band, &page), DecodeStage::kDone);
      EXPECT_EQ(page.layout, c.layout);
      EXPECT_EQ(page.pixels, c.expected);
    }
  }
}

struct BadCase {
  const char* name;
  std::string file;
  DecodeStage stage;
  FailureKind kind;
};

TEST(TgaDecoderTest, BadFilesFailWithTheirReason) {
  const BadCase cases[] = {
      {"zero height is not taken for a TGA", Tga(2, 1, 0, 24, 0, {1, 2, 3}), DecodeStage::kOpen,
       FailureKind::kNotAnImage},
      {"colour-mapped without a map", Tga(1, 1, 1, 8, 0, {0}), DecodeStage::kOpen,
       FailureKind::kNotAnImage},
      {"24-bit map indices", Tga(1, 1, 1, 24, 0, {0, 0, 0, 0, 0, 0}, {0, 1, 24}),
       DecodeStage::kOpen, FailureKind::kNotAnImage},
      {"interleaved rows", Tga(2, 1, 1, 24, 0x40, {1, 2, 3}), DecodeStage::kOpen,
       FailureKind::kNotAnImage},
      {"uncompressed pixels cut short", Tga(2, 2, 2, 24, 0, {1, 2, 3, 4, 5, 6, 7}),
       DecodeStage::kOpen, FailureKind::kTruncated},
      {"run-length data cut short", Tga(10, 4, 2, 24, 0, {0x83, 1, 2, 3, 0x01, 4}),
       DecodeStage::kStart, FailureKind::kTruncated},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage page;
    Failure failure;
    EXPECT_EQ(DecodeBytes(c.file, 1, &page, &failure), c.stage);
    EXPECT_EQ(failure.kind, c.kind);
  }
}

// Corpus files where ImageMagick 6 departs from the TGA 2.0 rules, left out of the comparison.
const std::map<std::string, std::string> kMagickDiffers = {
    {"gdk-pixbuf/gtk-logo-gray-rle-16bpp-bottom-left.tga", "IM 6 drops a gray image's alpha"},
    {"pillow/200x32_la_tl_rle.tga", "IM 6 drops a gray image's alpha"},
    {"image-rs/utc16.tga", "attribute bits are undefined data (type 2); IM 6 takes them as alpha"},
    {"image-rs/utc32.tga", "attribute bits are undefined data (type 2); IM 6 takes them as alpha"},
    {"oiio-images/CTC16.TGA",
     "attribute bits are undefined data (type 2); IM 6 takes them as alpha"},
    {"oiio-images/CTC32.TGA",
     "attribute bits are undefined data (type 2); IM 6 takes them as alpha"},
    {"pillow/rgb32rle_top_right.tga",
     "no attribute bits (descriptor 0); IM 6 takes byte 4 as alpha"},
};

TEST(TgaDecoderTest, RealSamplesMatchImageMagick) {
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick (imagemagick) is not installed";
  const fs::path folder = kCorpus / "next/valid/tga";
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no corpus";
  int compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).string();
    if (!entry.is_regular_file() || kMagickDiffers.count(name) != 0) continue;
    SCOPED_TRACE(name);
    const std::vector<RgbFrame> reference = MagickFrames(entry.path());
    ASSERT_EQ(reference.size(), 1u);
    DecodedPage page;
    ASSERT_EQ(DecodePage(OpenDecoder(entry.path().c_str()).get(), 0, {}, 9, &page),
              DecodeStage::kDone);
    EXPECT_GE(Psnr(OverWhite(page), reference[0]), 35.0);
    ++compared;
  }
  std::cout << "[ tga      ] " << compared << " samples compared with ImageMagick\n";
}

}  // namespace
