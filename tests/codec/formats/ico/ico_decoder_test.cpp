#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/registry.h"
#include "codec/magick_reference.h"
#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kCorpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus";

// An icon's BMP image: info header (height doubled), palette (BGRx), colour rows bottom up
// padded to four bytes, then AND-mask rows. colors and mask hold the rows top row first
// without padding; an empty mask leaves the mask out.
std::string IconBmp(int width, int height, int bits, const std::string& palette,
                    const std::string& colors, const std::string& mask, int compression = 0) {
  std::string s;
  AppendLe32(s, 40);
  AppendLe32(s, static_cast<uint32_t>(width));
  AppendLe32(s, static_cast<uint32_t>(height * 2));
  AppendLe16(s, 1);
  AppendLe16(s, static_cast<uint32_t>(bits));
  AppendLe32(s, static_cast<uint32_t>(compression));
  s += std::string(12, '\0');
  AppendLe32(s, static_cast<uint32_t>(palette.size() / 4));  // colours used
  AppendLe32(s, 0);
  s += palette;
  const size_t colorRow = (static_cast<size_t>(width) * bits + 7) / 8;
  const size_t maskRow = (static_cast<size_t>(width) + 7) / 8;
  auto rows = [&](const std::string& data, size_t row) {
    for (int y = height - 1; y >= 0 && !data.empty(); --y) {
      s += data.substr(y * row, row) + std::string((4 - row % 4) % 4, '\0');
    }
  };
  rows(colors, colorRow);
  rows(mask, maskRow);
  return s;
}

struct Entry {
  std::string image;
  int directoryWidth = 0;  // 0 stands for 256
  int bits = 32;
};

// An icon (type 1) or cursor (type 2) file holding entries in this order.
std::string Icon(const std::vector<Entry>& entries, int type = 1) {
  std::string s;
  AppendLe16(s, 0);
  AppendLe16(s, static_cast<uint32_t>(type));
  AppendLe16(s, static_cast<uint32_t>(entries.size()));
  uint32_t at = static_cast<uint32_t>(6 + 16 * entries.size());
  for (const Entry& e : entries) {
    s += {static_cast<char>(e.directoryWidth), static_cast<char>(e.directoryWidth), 0, 0};
    AppendLe16(s, 1);
    AppendLe16(s, static_cast<uint32_t>(e.bits));
    AppendLe32(s, static_cast<uint32_t>(e.image.size()));
    AppendLe32(s, at);
    at += static_cast<uint32_t>(e.image.size());
  }
  for (const Entry& e : entries) s += e.image;
  return s;
}

std::string Raw(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// The contract sample: a 32-bit entry with alpha, a PNG entry and a 4-bit entry whose mask
// cuts holes, all of the sample size, so that pages come in the order of their depth.
void WriteIcoSample(const std::string& path) {
  std::string bgra, nibbles, mask;
  for (int i = 0; i < kSampleWidth * kSampleHeight; ++i) {
    bgra += Raw({i, i * 3, i * 7, i % 5 == 0 ? 0 : 200});
  }
  for (int y = 0; y < kSampleHeight; ++y) {
    for (int x = 0; x < kSampleWidth; x += 2) nibbles.push_back(static_cast<char>(x + y));
    for (int x = 0; x < kSampleWidth; x += 8) mask.push_back(static_cast<char>(y % 3 ? 0 : 0x81));
  }
  std::string palette;
  for (int i = 0; i < 16; ++i) palette += Raw({i * 16, 255 - i * 16, i * 5, 0});
  TempDir dir;
  const std::string png = dir / "entry.png";
  WritePng(png, kSampleWidth, kSampleHeight);
  WriteFile(path, Icon({{IconBmp(kSampleWidth, kSampleHeight, 4, palette, nibbles, mask)},
                        {ReadFile(png)},
                        {IconBmp(kSampleWidth, kSampleHeight, 32, "", bgra, "")}}));
}

[[maybe_unused]] const bool kSampleAdded = AddFormatSample("ico", {3, WriteIcoSample});

// Decodes page `page` of the icon made of bytes, a row per read.
DecodeStage DecodeBytes(const std::string& bytes, int page, DecodedPage* out,
                        Failure* failure = nullptr, int* pages = nullptr) {
  return ::DecodeBytes(bytes, "test.ico", page, 1, out, failure, pages);
}

const std::string kMask2x2 = Raw({0x40, 0x80});  // top right and bottom left transparent
const std::string kGrayPalette = Raw({0, 0, 0, 0, 255, 255, 255, 0});

struct GoodCase {
  const char* name;
  std::string file;
  int page;
  PixelLayout layout;
  Bytes expected;  // top row first
};

TEST(IcoDecoderTest, DecodesEachKindOfEntry) {
  const std::string rgb2x2 = Raw({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const GoodCase cases[] = {
      {"1 bit, the mask makes holes",
       Icon({{IconBmp(2, 2, 1, kGrayPalette, Raw({0x80, 0x40}), kMask2x2), 2, 1}}),
       0,
       PixelLayout::kRGBA8,
       {255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255}},
      {"4 bits, an index past the palette is black, a clear mask is opaque",
       Icon({{IconBmp(2, 1, 4, kGrayPalette, Raw({0x1f}), Raw({0})), 2, 4}}),
       0,
       PixelLayout::kRGB8,
       {255, 255, 255, 0, 0, 0}},
      {"8 bits",
       Icon({{IconBmp(1, 1, 8, kGrayPalette, Raw({1}), Raw({0})), 1, 8}}),
       0,
       PixelLayout::kRGB8,
       {255, 255, 255}},
      {"24 bits, rows bottom up, mask",
       Icon({{IconBmp(2, 2, 24, "", rgb2x2, kMask2x2), 2, 24}}),
       0,
       PixelLayout::kRGBA8,
       {3, 2, 1, 255, 6, 5, 4, 0, 9, 8, 7, 0, 12, 11, 10, 255}},
      {"32 bits carry alpha and ignore the mask",
       Icon({{IconBmp(2, 1, 32, "", Raw({1, 2, 3, 40, 4, 5, 6, 0}), Raw({0xc0})), 2}}),
       0,
       PixelLayout::kRGBA8,
       {3, 2, 1, 40, 6, 5, 4, 0}},
      {"32 bits whose alpha is zero everywhere take the mask",
       Icon({{IconBmp(2, 1, 32, "", Raw({1, 2, 3, 0, 4, 5, 6, 0}), Raw({0x40})), 2}}),
       0,
       PixelLayout::kRGBA8,
       {3, 2, 1, 255, 6, 5, 4, 0}},
      {"a directory's 0 (256) yields to the entry's own header, a cursor too",
       Icon({{IconBmp(1, 1, 24, "", Raw({1, 2, 3}), Raw({0})), 0, 24}}, 2),
       0,
       PixelLayout::kRGB8,
       {3, 2, 1}},
      {"the largest entry is page 0",
       Icon({{IconBmp(1, 1, 24, "", Raw({1, 2, 3}), ""), 1, 24},
             {IconBmp(2, 1, 24, "", Raw({4, 5, 6, 7, 8, 9}), ""), 2, 24}}),
       0,
       PixelLayout::kRGB8,
       {6, 5, 4, 9, 8, 7}},
      {"between equal sizes the deeper entry comes first",
       Icon({{IconBmp(1, 1, 8, kGrayPalette, Raw({1}), ""), 1, 8},
             {IconBmp(1, 1, 24, "", Raw({1, 2, 3}), ""), 1, 24}}),
       0,
       PixelLayout::kRGB8,
       {3, 2, 1}},
      {"the others follow as pages",
       Icon({{IconBmp(1, 1, 8, kGrayPalette, Raw({1}), ""), 1, 8},
             {IconBmp(1, 1, 24, "", Raw({1, 2, 3}), ""), 1, 24}}),
       1,
       PixelLayout::kRGB8,
       {255, 255, 255}},
  };
  for (const GoodCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage page;
    ASSERT_EQ(DecodeBytes(c.file, c.page, &page), DecodeStage::kDone);
    EXPECT_EQ(page.layout, c.layout);
    EXPECT_EQ(page.pixels, c.expected);
  }
}

// A V5 header's profile placed right after the colour rows, where the mask would be: the
// profile is carried over and the image stays opaque.
TEST(IcoDecoderTest, CarriesAV5ProfileThatTakesTheMasksPlace) {
  std::string bmp = IconBmp(1, 1, 24, "", Raw({1, 2, 3}), "");
  bmp.replace(0, 4, std::string("\x7c\0\0\0", 4));  // header size 124
  std::string v5(124 - 40, '\0');
  v5.replace(56 - 40, 4, "DEBM");  // "MBED" little-endian: an embedded profile
  std::string where;
  AppendLe32(where, 124 + 4);  // the profile's offset from the header, then its size
  AppendLe32(where, 8);
  v5.replace(112 - 40, 8, where);
  bmp.insert(40, v5);
  DecodedPage page;
  ASSERT_EQ(DecodeBytes(Icon({{bmp + "\xffROFILE!", 1, 24}}), 0, &page), DecodeStage::kDone);
  EXPECT_EQ(page.layout, PixelLayout::kRGB8);
  EXPECT_EQ(std::string(page.icc.begin(), page.icc.end()), "\xffROFILE!");
  EXPECT_EQ(page.pixels, (Bytes{3, 2, 1}));
}

struct BadCase {
  const char* name;
  std::string file;
  DecodeStage stage;
  FailureKind kind;
};

TEST(IcoDecoderTest, BadFilesFailWithTheirReason) {
  const std::string good = IconBmp(2, 2, 24, "", std::string(12, 'x'), "");
  std::string pastTheEnd = Icon({{good, 2, 24}});
  pastTheEnd[18] = 0x7f;  // the entry's offset
  TempDir dir;
  WritePng(dir / "entry.png", 2, 2);
  std::string pngCut = Icon({{ReadFile(dir / "entry.png"), 2}, {good, 2, 24}});
  pngCut[6 + 8] -= 20;  // the PNG's size in the directory: the end of its data lies past it
  const BadCase cases[] = {
      {"no entry", Icon({}), DecodeStage::kOpen, FailureKind::kNotAnImage},
      {"the only entry lies past the end", pastTheEnd, DecodeStage::kOpen, FailureKind::kCorrupt},
      {"colour rows cut short", Icon({{good.substr(0, good.size() - 4), 2, 24}}),
       DecodeStage::kStart, FailureKind::kTruncated},
      {"run-length compressed", Icon({{IconBmp(2, 2, 8, "", "", "", 1), 2, 8}}),
       DecodeStage::kStart, FailureKind::kUnsupported},
      {"a PNG entry that is cut short",
       Icon({{std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x02\0\0\0\x02\x08\x02", 26), 2}}),
       DecodeStage::kStart, FailureKind::kCorrupt},
      {"a PNG entry longer than the directory says", pngCut, DecodeStage::kStart,
       FailureKind::kCorrupt},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage page;
    Failure failure;
    EXPECT_EQ(DecodeBytes(c.file, 0, &page, &failure), c.stage);
    EXPECT_EQ(failure.kind, c.kind);
  }
}

// Corpus files ImageMagick reads differently, left out of the comparison.
const std::map<std::string, std::string> kMagickDiffers = {
    {"image-rs/bmp_v5_with_icc.ico",
     "no AND mask, the V5 header's profile follows the colour rows: IM 6 reads it as a mask"},
};

// Every entry is a page, as ImageMagick gives a frame for every entry (in directory order):
// each page must match one of its frames of that size.
TEST(IcoDecoderTest, RealSamplesMatchImageMagick) {
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick (imagemagick) is not installed";
  const fs::path folder = kCorpus / "next/valid/ico";
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no corpus";
  int compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).string();
    if (!entry.is_regular_file() || kMagickDiffers.count(name) != 0) continue;
    SCOPED_TRACE(name);
    const std::vector<RgbFrame> frames = MagickFrames(entry.path());
    auto decoder = OpenDecoder(entry.path().c_str());
    ASSERT_NE(decoder, nullptr);
    ASSERT_EQ(static_cast<size_t>(decoder->PageCount()), frames.size());
    for (int p = 0; p < decoder->PageCount(); ++p) {
      DecodedPage page;
      ASSERT_EQ(DecodePage(decoder.get(), p, {}, 7, &page), DecodeStage::kDone);
      const RgbFrame ours = OverWhite(page);
      double best = -1;
      for (const RgbFrame& frame : frames) best = std::max(best, Psnr(ours, frame));
      EXPECT_GE(best, 35.0) << "page " << p;
    }
    ++compared;
  }
  std::cout << "[ ico      ] " << compared << " samples compared with ImageMagick\n";
}

}  // namespace
