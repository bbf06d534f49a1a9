#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/formats/registry.h"
#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kCorpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus";

std::string Qoi(uint32_t width, uint32_t height, int channels, std::initializer_list<int> ops,
                bool endMarker = true) {
  std::string s = "qoif";
  AppendBe32(s, width);
  AppendBe32(s, height);
  s.push_back(static_cast<char>(channels));
  s.push_back(0);
  for (int op : ops) s.push_back(static_cast<char>(op));
  if (endMarker) s += std::string(7, '\0') + '\1';
  return s;
}

// Decodes page 0 of the file made of bytes, band rows per read.
DecodeStage DecodeBytes(const std::string& bytes, int band, DecodedPage* out,
                        Failure* failure = nullptr) {
  return ::DecodeBytes(bytes, "test.qoi", 0, band, out, failure);
}

struct OpCase {
  const char* name;
  std::string file;
  PixelLayout layout;
  Bytes expected;
};

TEST(QoiDecoderTest, EachOperationDecodesExactly) {
  const OpCase cases[] = {
      {"RGB keeps the previous alpha",
       Qoi(2, 1, 3, {0xfe, 10, 20, 30, 0xfe, 1, 2, 3}),
       PixelLayout::kRGB8,
       {10, 20, 30, 1, 2, 3}},
      {"RGBA", Qoi(1, 1, 4, {0xff, 10, 20, 30, 40}), PixelLayout::kRGBA8, {10, 20, 30, 40}},
      {"DIFF wraps around 0",
       Qoi(2, 1, 4, {0x40 | 0 << 4 | 3 << 2 | 2, 0x40 | 3 << 4 | 1 << 2 | 2}),
       PixelLayout::kRGBA8,
       {254, 1, 0, 255, 255, 0, 0, 255}},
      {"LUMA",
       Qoi(1, 1, 3, {0x80 | (32 + 20), (8 + 3) << 4 | (8 - 5)}),
       PixelLayout::kRGB8,
       {23, 20, 15}},
      {"INDEX recalls a pixel seen before",
       // (10,20,30,255) hashes to (30 + 100 + 210 + 2805) % 64 = 9
       Qoi(3, 1, 3, {0xfe, 10, 20, 30, 0xfe, 0, 0, 0, 9}),
       PixelLayout::kRGB8,
       {10, 20, 30, 0, 0, 0, 10, 20, 30}},
      {"RUN crosses rows and starts from opaque black",
       Qoi(2, 3, 3, {0xc0 | 2, 0xfe, 9, 9, 9, 0xc0 | 1}),
       PixelLayout::kRGB8,
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9, 9}},
      {"no end marker is not an error",
       Qoi(1, 1, 3, {0xfe, 5, 6, 7}, false),
       PixelLayout::kRGB8,
       {5, 6, 7}},
  };
  for (const OpCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (int band : {1, 0}) {
      DecodedPage page;
      ASSERT_EQ(DecodeBytes(c.file, band, &page), DecodeStage::kDone);
      EXPECT_EQ(page.layout, c.layout);
      EXPECT_EQ(page.pixels, c.expected);
    }
  }
}

TEST(QoiDecoderTest, EncodedImageDecodesToItsPixels) {
  const int width = 37, height = 29;
  std::string rgba;
  for (int i = 0; i < width * height; ++i) {
    const bool flat = (i / 13) % 4 == 0;
    for (int c = 0; c < 4; ++c) {
      rgba.push_back(static_cast<char>(flat ? 60 * c : (i * (c + 3) + i / 7) % 256));
    }
  }
  DecodedPage page;
  ASSERT_EQ(DecodeBytes(EncodeQoi(width, height, 4, rgba), 5, &page), DecodeStage::kDone);
  EXPECT_EQ(page.pixels, Bytes(rgba.begin(), rgba.end()));
}

struct BadCase {
  const char* name;
  std::string file;
  DecodeStage stage;
  FailureKind kind;
};

TEST(QoiDecoderTest, BadFilesFailWithTheirReason) {
  const BadCase cases[] = {
      {"zero width", Qoi(0, 1, 3, {}), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"two channels", Qoi(1, 1, 2, {0xfe, 1, 2, 3}), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"over the pixel limit", Qoi(100000, 100000, 3, {}), DecodeStage::kOpen,
       FailureKind::kTooLarge},
      {"header cut", Qoi(1, 1, 3, {}, false).substr(0, 10), DecodeStage::kOpen,
       FailureKind::kTruncated},
      {"ends inside an RGB op", Qoi(2, 1, 3, {0xfe, 1, 2, 3, 0xfe, 4}, false), DecodeStage::kRead,
       FailureKind::kTruncated},
      {"ends before the last pixel", Qoi(1, 2, 3, {0xfe, 1, 2, 3}, false), DecodeStage::kRead,
       FailureKind::kTruncated},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage page;
    Failure failure;
    EXPECT_EQ(DecodeBytes(c.file, 1, &page, &failure), c.stage);
    EXPECT_EQ(failure.kind, c.kind);
  }
}

// Pillow's QOI test image is its PNG one, losslessly re-encoded.
TEST(QoiDecoderTest, RealSampleMatchesTheSameImageAsPng) {
  const fs::path qoi = kCorpus / "next/valid/qoi/pillow/hopper.qoi";
  const fs::path png = kCorpus / "valid/png/pillow/hopper.png";
  if (!fs::exists(qoi) || !fs::exists(png)) GTEST_SKIP() << "no corpus";
  DecodedPage fromQoi, fromPng;
  ASSERT_EQ(DecodePage(OpenDecoder(qoi.c_str()).get(), 0, {}, 7, &fromQoi), DecodeStage::kDone);
  ASSERT_EQ(DecodePage(OpenDecoder(png.c_str()).get(), 0, {}, 0, &fromPng), DecodeStage::kDone);
  ASSERT_EQ(fromQoi.width, fromPng.width);
  ASSERT_EQ(fromQoi.height, fromPng.height);
  ASSERT_EQ(fromQoi.layout, fromPng.layout);
  EXPECT_EQ(fromQoi.pixels, fromPng.pixels);
}

}  // namespace
