#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/formats/formats.h"
#include "codec/formats/registry.h"
#include "support/process.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Decodes page 0 of path a row at a time.
DecodeStage DecodeFile(const std::string& path, DecodedPage* out) {
  return DecodePage(OpenDecoder(path.c_str()).get(), 0, {}, 1, out);
}

DecodeStage DecodeText(const std::string& bytes, DecodedPage* out) {
  TempDir dir;
  const std::string path = dir / "test.pnm";
  WriteFile(path, bytes);
  return DecodeFile(path, out);
}

std::string Binary(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

struct GoodCase {
  const char* name;
  std::string file;
  int width;
  int height;
  PixelLayout layout;
  Bytes expected;
};

TEST(PnmDecoderTest, DecodesEachKindExactly) {
  const GoodCase cases[] = {
      {"P1 with comments and digits run together",
       "P1\n# made by hand\n3 2\n1 0 1\n010\n",
       3,
       2,
       PixelLayout::kG8,
       {0, 255, 0, 255, 0, 255}},
      {"P2 with clamping above maxval",
       "P2 2 2 15\n0 15 # row one\n7 20\n",
       2,
       2,
       PixelLayout::kG8,
       {0, 255, 119, 255}},
      {"P3", "P3\n#c\n2 1\n255\n1 2 3   4 5 6\n", 2, 1, PixelLayout::kRGB8, {1, 2, 3, 4, 5, 6}},
      {"P3 16-bit ASCII", "P3 1 1 65535 65535 32768 0\n", 1, 1, PixelLayout::kRGB8, {255, 128, 0}},
      {"P4 with a padded row",
       "P4\n10 2\n" + Binary({0x80, 0x40, 0xff, 0xc0}),
       10,
       2,
       PixelLayout::kG8,
       {0, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"P5", "P5 3 1 255\n" + Binary({0, 128, 255}), 3, 1, PixelLayout::kG8, {0, 128, 255}},
      {"P5 16-bit big-endian",
       "P5 3 1 65535\n" + Binary({0, 0, 0xff, 0xff, 0x80, 0}),
       3,
       1,
       PixelLayout::kG8,
       {0, 255, 128}},
      {"P5 maxval 1000 with clamping",
       "P5 2 1 1000\n" + Binary({0x01, 0xf4, 0x07, 0xd0}),
       2,
       1,
       PixelLayout::kG8,
       {128, 255}},
      {"P5 maxval 3",
       "P5 4 1 3\n" + Binary({0, 1, 2, 3}),
       4,
       1,
       PixelLayout::kG8,
       {0, 85, 170, 255}},
      {"P6",
       "P6 2 1 255\n" + Binary({1, 2, 3, 4, 5, 6}),
       2,
       1,
       PixelLayout::kRGB8,
       {1, 2, 3, 4, 5, 6}},
      {"P6 16-bit",
       "P6 1 1 65535\n" + Binary({0xff, 0xff, 0, 0, 0x80, 0}),
       1,
       1,
       PixelLayout::kRGB8,
       {255, 0, 128}},
      {"P6 first image of two",
       "P6 1 1 255\n" + Binary({9, 8, 7}) + "P6 1 1 255\n" + Binary({1, 1, 1}),
       1,
       1,
       PixelLayout::kRGB8,
       {9, 8, 7}},
      {"P7 RGB_ALPHA with comments",
       "P7\n# c\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" +
           Binary({1, 2, 3, 4, 5, 6, 7, 8}),
       2,
       1,
       PixelLayout::kRGBA8,
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"P7 GRAYSCALE 16-bit",
       "P7\nWIDTH 1\nHEIGHT 2\nDEPTH 1\nMAXVAL 65535\nTUPLTYPE GRAYSCALE\nENDHDR\n" +
           Binary({0xff, 0xff, 0, 0}),
       1,
       2,
       PixelLayout::kG8,
       {255, 0}},
      {"P7 BLACKANDWHITE: 1 is white",
       "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 1\nTUPLTYPE BLACKANDWHITE\nENDHDR\n" +
           Binary({0, 1}),
       2,
       1,
       PixelLayout::kG8,
       {0, 255}},
      {"P7 GRAYSCALE_ALPHA",
       "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" +
           Binary({7, 9}),
       1,
       1,
       PixelLayout::kGA8,
       {7, 9}},
      {"P7 RGB with an extra sample ignored",
       "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" + Binary({1, 2, 3, 4}),
       1,
       1,
       PixelLayout::kRGB8,
       {1, 2, 3}},
      {"P7 CMYK",
       "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n" + Binary({1, 2, 3, 4}),
       1,
       1,
       PixelLayout::kCMYK8,
       {1, 2, 3, 4}},
      {"P7 unknown type, depth 3 guessed RGB",
       "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 15\nTUPLTYPE FANCY\nENDHDR\n" + Binary({15, 0, 5}),
       1,
       1,
       PixelLayout::kRGB8,
       {255, 0, 85}},
      {"P7 no type, depth 2 guessed gray-alpha",
       "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nENDHDR\n" + Binary({3, 4}),
       1,
       1,
       PixelLayout::kGA8,
       {3, 4}},
  };
  for (const GoodCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage d;
    ASSERT_EQ(DecodeText(c.file, &d), DecodeStage::kDone);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_EQ(d.layout, c.layout);
    EXPECT_EQ(d.pixels, c.expected);
  }
}

TEST(PnmDecoderTest, RefusesBrokenFilesCleanly) {
  const std::string pam = "P7\nWIDTH 1\nHEIGHT 1\n";
  const struct {
    const char* name;
    std::string file;
    DecodeStage failsAt;
  } cases[] = {
      {"binary raster cut short", "P6 2 2 255\n" + Binary({1, 2, 3, 4, 5, 6, 7, 8, 9}),
       DecodeStage::kOpen},
      {"16-bit raster cut short", "P5 2 1 65535\n" + Binary({1, 2, 3}), DecodeStage::kOpen},
      {"huge dimensions over a tiny file", "P5 30000 30000 255\n" + Binary({1}),
       DecodeStage::kOpen},
      {"over a gigapixel", "P2 100000 100000 255\n0\n", DecodeStage::kOpen},
      {"width overflowing", "P5 99999999999999999999999 1 255\n", DecodeStage::kOpen},
      {"zero width", "P5 0 1 255\n", DecodeStage::kOpen},
      {"maxval 0", "P2 1 1 0\n0\n", DecodeStage::kOpen},
      {"maxval over 65535", "P2 1 1 65536\n0\n", DecodeStage::kOpen},
      {"unknown kind", "P8 1 1 255\n0\n", DecodeStage::kOpen},
      {"not a PNM", "GIF89a", DecodeStage::kOpen},
      {"header cut off", "P6 2", DecodeStage::kOpen},
      {"ASCII raster cut short", "P2 2 2 255\n1 2 3\n", DecodeStage::kRead},
      {"ASCII garbage", "P3 1 1 255\n1 x 3\n", DecodeStage::kRead},
      {"P1 with a 2", "P1 2 1\n1 2\n", DecodeStage::kRead},
      {"PAM without ENDHDR", pam + "DEPTH 1\nMAXVAL 255\n", DecodeStage::kOpen},
      {"PAM without DEPTH", pam + "MAXVAL 255\nENDHDR\n" + Binary({1}), DecodeStage::kOpen},
      {"PAM unknown key", pam + "DEPTH 1\nMAXVAL 255\nCOLOR 3\nENDHDR\n" + Binary({1}),
       DecodeStage::kOpen},
      {"PAM RGB with depth 2", pam + "DEPTH 2\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" + Binary({1, 2}),
       DecodeStage::kOpen},
      {"PAM unknown type, depth 5", pam + "DEPTH 5\nMAXVAL 255\nENDHDR\n" + Binary({1, 2, 3, 4, 5}),
       DecodeStage::kOpen},
      {"PAM endless header line", "P7\n" + std::string(100000, 'W'), DecodeStage::kOpen},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage d;
    EXPECT_EQ(DecodeText(c.file, &d), c.failsAt);
  }
}

TEST(PnmDecoderTest, ProbeAndRestart) {
  TempDir dir;
  const std::string path = dir / "p.pgm";
  WriteFile(path, "P2 1 2 255 10 20\n");
  auto decoder = OpenPnmDecoder(InputFile::Open(path.c_str()));
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->PageCount(), 1);
  PageGeometry geometry;
  ASSERT_TRUE(decoder->Probe(0, &geometry));
  EXPECT_EQ(geometry.width, 1);
  EXPECT_EQ(geometry.height, 2);
  EXPECT_FALSE(decoder->Probe(1, &geometry));
  for (int pass = 0; pass < 2; ++pass) {
    PageInfo info;
    ASSERT_TRUE(decoder->StartPage(0, DecodeRequest{}, &info));
    uint8_t rows[2];
    ASSERT_TRUE(decoder->ReadRows(rows, 1, 2));
    EXPECT_EQ(rows[0], 10);
    EXPECT_EQ(rows[1], 20);
    EXPECT_FALSE(decoder->ReadRows(rows, 1, 1));
  }
}

}  // namespace
