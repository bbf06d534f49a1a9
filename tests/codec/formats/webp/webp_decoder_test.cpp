#include <gtest/gtest.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/decoder.h"
#include "codec/format_samples.h"
#include "codec/formats/formats.h"
#include "support/images.h"
#include "support/process.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<Decoder> Open(const std::string& path) {
  return OpenWebpDecoder(InputFile::Open(path.c_str()));
}

// A smooth test picture: channel c of pixel (x, y); alpha stays above 0 so that lossless
// encoders keep every colour.
Bytes Picture(int width, int height, int channels, int seed) {
  Bytes out;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      out.push_back(static_cast<uint8_t>(x * 255 / width));
      out.push_back(static_cast<uint8_t>(y * 255 / height));
      out.push_back(static_cast<uint8_t>(seed * 40));
      if (channels == 4) out.push_back(static_cast<uint8_t>(40 + (x + y) * 200 / (width + height)));
    }
  }
  return out;
}

// Runs one of libwebp's simple encoders, which allocates its output.
template <typename Encoder>
std::string Encode(Encoder encoder) {
  uint8_t* data = nullptr;
  size_t size = encoder(&data);
  std::string out(reinterpret_cast<const char*>(data), size);
  WebPFree(data);
  return out;
}

// The decoder contract suite's WebP sample, lossless.
[[maybe_unused]] const bool kSampleAdded =
    AddFormatSample("webp", {1, [](const std::string& path) {
                               Bytes rgb = Picture(kSampleWidth, kSampleHeight, 3, 5);
                               std::ofstream(path, std::ios::binary) << Encode([&](uint8_t** o) {
                                 return WebPEncodeLosslessRGB(rgb.data(), kSampleWidth,
                                                              kSampleHeight, kSampleWidth * 3, o);
                               });
                             }});

int MaxDifference(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

TEST(WebpDecoderTest, DecodesStillImages) {
  const int w = 24, h = 17;
  Bytes rgb = Picture(w, h, 3, 1), rgba = Picture(w, h, 4, 2);
  std::string lossless =
      Encode([&](uint8_t** o) { return WebPEncodeLosslessRGB(rgb.data(), w, h, w * 3, o); });
  struct StillCase {
    const char* name;
    std::string file;
    PixelLayout layout;
    Bytes expected;
    int tolerance;
  } cases[] = {
      {"lossless rgb", lossless, PixelLayout::kRGB8, rgb, 0},
      {"bytes after the RIFF chunk", lossless + std::string(50, 'z'), PixelLayout::kRGB8, rgb, 0},
      {"lossless rgba",
       Encode([&](uint8_t** o) { return WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, o); }),
       PixelLayout::kRGBA8, rgba, 0},
      {"lossy rgb",
       Encode([&](uint8_t** o) { return WebPEncodeRGB(rgb.data(), w, h, w * 3, 95, o); }),
       PixelLayout::kRGB8, rgb, 16},
      {"lossy with alpha",
       Encode([&](uint8_t** o) { return WebPEncodeRGBA(rgba.data(), w, h, w * 4, 95, o); }),
       PixelLayout::kRGBA8, rgba, 16},
  };
  TempDir dir;
  for (const StillCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "still.webp", c.file);
    auto decoder = Open(dir / "still.webp");
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->PageCount(), 1);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 2, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(info.width, w);
    EXPECT_EQ(info.height, h);
    EXPECT_EQ(info.layout, c.layout);
    EXPECT_LE(MaxDifference(pixels, c.expected), c.tolerance);
  }
}

// Stills are decoded scaled by halvings that stay at least as large as asked; the result is
// the picture averaged over blocks, whatever band height reads it.
TEST(WebpDecoderTest, StillsShrinkOnLoad) {
  const int w = 64, h = 48;
  Bytes rgb = Picture(w, h, 3, 3);
  TempDir dir;
  WriteFile(dir / "still.webp",
            Encode([&](uint8_t** o) { return WebPEncodeLosslessRGB(rgb.data(), w, h, w * 3, o); }));
  struct ScaleCase {
    DecodeRequest request;
    int width, height;
  } cases[] = {{{0, 0}, 64, 48},   {{64, 1}, 64, 48},  {{33, 24}, 64, 48}, {{32, 24}, 32, 24},
               {{20, 10}, 32, 24}, {{16, 12}, 16, 12}, {{1, 1}, 8, 6}};
  for (const ScaleCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.request.minWidth << "x" << c.request.minHeight);
    auto decoder = Open(dir / "still.webp");
    ASSERT_NE(decoder, nullptr);
    PageInfo info, banded;
    Bytes pixels, bandedPixels;
    ASSERT_EQ(DecodePage(decoder.get(), 0, c.request, 0, &info, &pixels), DecodeStage::kDone);
    ASSERT_EQ(DecodePage(decoder.get(), 0, c.request, 5, &banded, &bandedPixels),
              DecodeStage::kDone);
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(pixels, bandedPixels);
    // The average of each block of the original.
    const int block = w / c.width;
    Bytes averaged;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        for (int k = 0; k < 3; ++k) {
          int sum = 0;
          for (int dy = 0; dy < block; ++dy) {
            for (int dx = 0; dx < block; ++dx)
              sum += rgb[((y * block + dy) * w + x * block + dx) * 3 + k];
          }
          averaged.push_back(static_cast<uint8_t>((sum + block * block / 2) / (block * block)));
        }
      }
    }
    EXPECT_GE(Psnr(pixels, averaged), 30.0);
  }
}

// Returns pixels as RGBA, opaque when they have no alpha.
Bytes AsRgba(const Bytes& pixels, PixelLayout layout) {
  if (layout == PixelLayout::kRGBA8) return pixels;
  Bytes out;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    out.insert(out.end(), {pixels[i], pixels[i + 1], pixels[i + 2], 255});
  }
  return out;
}

// A lossless animation of the given canvases (RGBA), 100 ms a frame.
std::string EncodeAnimation(int w, int h, const std::vector<Bytes>& frames) {
  WebPAnimEncoderOptions options;
  EXPECT_TRUE(WebPAnimEncoderOptionsInit(&options));
  WebPAnimEncoder* encoder = WebPAnimEncoderNew(w, h, &options);
  WebPConfig config;
  EXPECT_TRUE(WebPConfigInit(&config));
  config.lossless = 1;
  config.exact = 1;
  int timestamp = 0;
  for (const Bytes& frame : frames) {
    WebPPicture picture;
    EXPECT_TRUE(WebPPictureInit(&picture));
    picture.use_argb = 1;
    picture.width = w;
    picture.height = h;
    EXPECT_TRUE(WebPPictureImportRGBA(&picture, frame.data(), w * 4));
    EXPECT_TRUE(WebPAnimEncoderAdd(encoder, &picture, timestamp, &config));
    WebPPictureFree(&picture);
    timestamp += 100;
  }
  WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr);
  WebPData data;
  WebPDataInit(&data);
  EXPECT_TRUE(WebPAnimEncoderAssemble(encoder, &data));
  std::string out(reinterpret_cast<const char*>(data.bytes), data.size);
  WebPDataClear(&data);
  WebPAnimEncoderDelete(encoder);
  return out;
}

TEST(WebpDecoderTest, AnimationFramesArePagesAsComposited) {
  const int w = 20, h = 12;
  // Frame 0 fills the canvas; each later frame changes only a patch of it, which the encoder
  // stores as a sub-frame blended over the one before.
  std::vector<Bytes> frames = {Picture(w, h, 4, 0)};
  for (auto& v : frames[0]) v = std::max<uint8_t>(v, 1);
  for (int f = 1; f < 4; ++f) {
    Bytes next = frames.back();
    for (int y = 2; y < 6; ++y) {
      for (int x = 3 * f; x < 3 * f + 5; ++x) {
        uint8_t* p = &next[(y * w + x) * 4];
        p[0] = static_cast<uint8_t>(60 * f);
        p[1] = 255;
        p[3] = f == 3 ? 0 : 255;  // the last frame punches a transparent hole
        if (f == 3) p[0] = p[1] = p[2] = 0;
      }
    }
    frames.push_back(next);
  }
  TempDir dir;
  WriteFile(dir / "anim.webp", EncodeAnimation(w, h, frames));
  auto decoder = Open(dir / "anim.webp");
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->PageCount(), 4);
  PageGeometry g;
  ASSERT_TRUE(decoder->Probe(3, &g));
  EXPECT_EQ(g.width, w);
  EXPECT_EQ(g.height, h);
  EXPECT_FALSE(decoder->Probe(4, &g));
  for (int page : {2, 3, 0, 1, 1}) {
    SCOPED_TRACE(page);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), page, {}, 2, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(info.layout, PixelLayout::kRGBA8);
    EXPECT_EQ(AsRgba(pixels, info.layout), frames[page]);
  }
  PageInfo info;
  EXPECT_FALSE(decoder->StartPage(4, DecodeRequest{}, &info));
}

// A big-endian EXIF block whose IFD0 holds only an orientation.
Bytes ExifWithOrientation(uint16_t orientation) {
  return {'M',
          'M',
          0,
          42,
          0,
          0,
          0,
          8,
          0,
          1,
          0x01,
          0x12,
          0,
          3,
          0,
          0,
          0,
          1,
          static_cast<uint8_t>(orientation >> 8),
          static_cast<uint8_t>(orientation),
          0,
          0,
          0,
          0,
          0,
          0};
}

TEST(WebpDecoderTest, ReadsMetadataChunks) {
  const int w = 8, h = 6;
  Bytes rgb = Picture(w, h, 3, 3);
  std::string still =
      Encode([&](uint8_t** o) { return WebPEncodeLosslessRGB(rgb.data(), w, h, w * 3, o); });
  Bytes icc = {'i', 'c', 'c', 0, 1, 2};
  Bytes exif = ExifWithOrientation(6);
  Bytes prefixed = {'E', 'x', 'i', 'f', 0, 0};
  prefixed.insert(prefixed.end(), exif.begin(), exif.end());
  struct MetaCase {
    const char* name;
    Bytes exifChunk;
    Bytes iccChunk;
  } cases[] = {
      {"exif and icc", exif, icc},
      {"exif with its JPEG prefix", prefixed, {}},
  };
  TempDir dir;
  for (const MetaCase& c : cases) {
    SCOPED_TRACE(c.name);
    WebPMux* mux = WebPMuxNew();
    WebPData image = {reinterpret_cast<const uint8_t*>(still.data()), still.size()};
    ASSERT_EQ(WebPMuxSetImage(mux, &image, 1), WEBP_MUX_OK);
    WebPData exifData = {c.exifChunk.data(), c.exifChunk.size()};
    ASSERT_EQ(WebPMuxSetChunk(mux, "EXIF", &exifData, 1), WEBP_MUX_OK);
    if (!c.iccChunk.empty()) {
      WebPData iccData = {c.iccChunk.data(), c.iccChunk.size()};
      ASSERT_EQ(WebPMuxSetChunk(mux, "ICCP", &iccData, 1), WEBP_MUX_OK);
    }
    WebPData assembled;
    ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    WriteFile(dir / "meta.webp",
              std::string(reinterpret_cast<const char*>(assembled.bytes), assembled.size));
    WebPDataClear(&assembled);
    WebPMuxDelete(mux);

    auto decoder = Open(dir / "meta.webp");
    ASSERT_NE(decoder, nullptr);
    PageGeometry g;
    ASSERT_TRUE(decoder->Probe(0, &g));
    EXPECT_EQ(g.orientation, 6);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 2, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(info.orientation, 6);
    EXPECT_EQ(info.exif, exif);
    EXPECT_EQ(info.icc, c.iccChunk);
    EXPECT_EQ(pixels, rgb);
  }
}

TEST(WebpDecoderTest, RefusesBrokenFiles) {
  Bytes rgb = Picture(40, 30, 3, 4);
  std::string lossy =
      Encode([&](uint8_t** o) { return WebPEncodeRGB(rgb.data(), 40, 30, 120, 80, o); });
  std::string longer = lossy;
  uint32_t riffSize = static_cast<uint32_t>(lossy.size() - 8 + 1000);
  std::memcpy(&longer[4], &riffSize, 4);
  // VP8X of a 100000 x 100000 animation canvas, with an ANIM chunk and no frame.
  std::string huge = "RIFF";
  AppendLe32(huge, 4 + 18 + 14);
  huge += "WEBPVP8X";
  AppendLe32(huge, 10);
  huge += std::string("\x02\0\0\0", 4);
  const uint32_t side = 100000 - 1;
  for (int i = 0; i < 2; ++i) {
    huge += static_cast<char>(side & 0xff);
    huge += static_cast<char>((side >> 8) & 0xff);
    huge += static_cast<char>(side >> 16);
  }
  huge += "ANIM";
  AppendLe32(huge, 6);
  huge += std::string(6, '\0');
  struct BrokenCase {
    const char* name;
    std::string file;
  } cases[] = {
      {"empty", ""},
      {"not webp", "RIFF\x10\0\0\0WAVEfmt xxxxxxxx"},
      {"truncated", lossy.substr(0, lossy.size() / 2)},
      {"riff size beyond the file", longer},
      {"huge canvas without frames", huge},
      {"header only", lossy.substr(0, 20)},
  };
  TempDir dir;
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir / "broken.webp", c.file);
    auto decoder = Open(dir / "broken.webp");
    PageInfo info;
    Bytes pixels;
    EXPECT_NE(DecodePage(decoder.get(), 0, {}, 2, &info, &pixels), DecodeStage::kDone);
  }
}

// Corpus files that carry their orientation in their names tell it, as the file's EXIF says.
TEST(WebpDecoderTest, CorpusOrientations) {
  std::filesystem::path corpus = XEVRA_SOURCE_DIR "/../shared/corpus";
  if (!std::filesystem::is_directory(corpus / "valid/webp")) GTEST_SKIP() << "no corpus";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus / "valid/webp")) {
    const std::string name = entry.path().filename().string();
    int expected = 0;
    if (name.rfind("hopper_orientation_", 0) == 0) expected = name[19] - '0';
    if (name == "Exif6.webp") expected = 6;
    if (expected == 0) continue;
    SCOPED_TRACE(name);
    auto decoder = Open(entry.path().string());
    ASSERT_NE(decoder, nullptr);
    PageInfo info;
    Bytes pixels;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 2, &info, &pixels), DecodeStage::kDone);
    EXPECT_EQ(info.orientation, expected);
  }
}

}  // namespace
