#include <gtest/gtest.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/formats.h"
#include "codec/formats/registry.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kNext = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "next";

// What a test file made with libjxl's lossless encoder holds.
struct Made {
  int frames = 1;  // more than one: an animation, one displayed frame each
  bool alpha = false;
  bool gray = false;
  bool deep = false;    // 16 bits a sample
  int orientation = 1;  // EXIF-style, stored in the codestream
};

// Returns the samples of frame (seed) of a width x height picture, interleaved, 8 bits.
Bytes Picture(const Made& made, int width, int height, int seed) {
  Bytes out;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      out.push_back(static_cast<uint8_t>(x * 255 / width));
      if (!made.gray) {
        out.push_back(static_cast<uint8_t>(y * 255 / height));
        out.push_back(static_cast<uint8_t>(seed * 40));
      }
      if (made.alpha) out.push_back(static_cast<uint8_t>(40 + x * 7));
    }
  }
  return out;
}

// Writes a kSampleWidth x kSampleHeight file as described by made to path; frame i is
// Picture(made, ..., i + 1).
void WriteJxl(const std::string& path, const Made& made) {
  JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
  ASSERT_TRUE(encoder);
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = kSampleWidth;
  info.ysize = kSampleHeight;
  info.bits_per_sample = made.deep ? 16 : 8;
  info.num_color_channels = made.gray ? 1 : 3;
  info.num_extra_channels = made.alpha ? 1 : 0;
  info.alpha_bits = made.alpha ? info.bits_per_sample : 0;
  info.uses_original_profile = JXL_TRUE;
  info.orientation = static_cast<JxlOrientation>(made.orientation);
  info.have_animation = made.frames > 1;
  info.animation.tps_numerator = 10;
  info.animation.tps_denominator = 1;
  ASSERT_EQ(JxlEncoderSetBasicInfo(encoder.get(), &info), JXL_ENC_SUCCESS);
  JxlColorEncoding color;
  JxlColorEncodingSetToSRGB(&color, made.gray);
  ASSERT_EQ(JxlEncoderSetColorEncoding(encoder.get(), &color), JXL_ENC_SUCCESS);
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
  ASSERT_EQ(JxlEncoderSetFrameLossless(settings, JXL_TRUE), JXL_ENC_SUCCESS);
  const uint32_t channels = (made.gray ? 1 : 3) + (made.alpha ? 1 : 0);
  const JxlPixelFormat format = {channels, made.deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                                 JXL_NATIVE_ENDIAN, 0};
  for (int i = 0; i < made.frames; ++i) {
    if (made.frames > 1) {
      JxlFrameHeader header;
      JxlEncoderInitFrameHeader(&header);
      header.duration = 1;
      ASSERT_EQ(JxlEncoderSetFrameHeader(settings, &header), JXL_ENC_SUCCESS);
    }
    Bytes samples = Picture(made, kSampleWidth, kSampleHeight, i + 1);
    if (made.deep) {  // v * 257 as 16 bits, plus a low byte that 8-bit output must round away
      std::vector<uint16_t> wide(samples.size());
      for (size_t s = 0; s < samples.size(); ++s) wide[s] = uint16_t(samples[s] * 257 + 60);
      samples.assign(reinterpret_cast<uint8_t*>(wide.data()),
                     reinterpret_cast<uint8_t*>(wide.data() + wide.size()));
    }
    ASSERT_EQ(JxlEncoderAddImageFrame(settings, &format, samples.data(), samples.size()),
              JXL_ENC_SUCCESS);
  }
  JxlEncoderCloseInput(encoder.get());
  Bytes out(4096);
  size_t used = 0;
  for (;;) {
    uint8_t* next = out.data() + used;
    size_t avail = out.size() - used;
    const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder.get(), &next, &avail);
    used = out.size() - avail;
    if (status == JXL_ENC_SUCCESS) break;
    ASSERT_EQ(status, JXL_ENC_NEED_MORE_OUTPUT);
    out.resize(out.size() * 2);
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), used);
}

// The contract suite's sample is a two-frame animation, so that pages go through it too.
[[maybe_unused]] const bool kSampleAdded =
    AddFormatSample("jxl", {2, [](const std::string& path) { WriteJxl(path, {2}); }});

// libjxl's own decode of frame `frame` of path in `channels` float samples a pixel, rounded to
// 8 bits; lossy images described by an ICC profile in sRGB, as the decoder asks for them.
Bytes DecodeWithLibjxl(const fs::path& path, uint32_t channels, int frame) {
  std::ifstream in(path, std::ios::binary);
  const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  JxlDecoderSubscribeEvents(dec.get(),
                            JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
  JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE);
  JxlDecoderSetInput(dec.get(), data.data(), data.size());
  JxlDecoderCloseInput(dec.get());
  JxlBasicInfo info{};
  const JxlPixelFormat format = {channels, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
  std::vector<float> pixels;
  for (int done = 0;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_BASIC_INFO) {
      JxlDecoderGetBasicInfo(dec.get(), &info);
    } else if (status == JXL_DEC_COLOR_ENCODING) {
      JxlColorEncoding original;
      if (!info.uses_original_profile &&
          JxlDecoderGetColorAsEncodedProfile(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                             &original) != JXL_DEC_SUCCESS) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, info.num_color_channels == 1);
        JxlDecoderSetPreferredColorProfile(dec.get(), &srgb);
      }
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      size_t size = 0;
      JxlDecoderImageOutBufferSize(dec.get(), &format, &size);
      pixels.assign(size / sizeof(float), 0.0f);
      JxlDecoderSetImageOutBuffer(dec.get(), &format, pixels.data(), size);
    } else if (status == JXL_DEC_FULL_IMAGE) {
      if (done++ == frame) break;
    } else {
      return {};
    }
  }
  Bytes out(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    out[i] = static_cast<uint8_t>(std::lround(std::clamp(pixels[i], 0.0f, 1.0f) * 255.0f));
  }
  return out;
}

class JxlDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/xevra_jxl_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(JxlDecoderTest, DecodesWhatTheFileHolds) {
  struct MadeCase {
    const char* name;
    Made made;
    PixelLayout layout;
    int page;  // which frame is checked
  } cases[] = {
      {"rgb", {}, PixelLayout::kRGB8, 0},
      {"straight alpha kept for the pipeline", {1, true}, PixelLayout::kRGBA8, 0},
      {"gray stays gray", {1, false, true}, PixelLayout::kG8, 0},
      {"gray and alpha", {1, true, true}, PixelLayout::kGA8, 0},
      {"16 bits rounded to 8", {1, true, false, true}, PixelLayout::kRGBA8, 0},
      {"16-bit gray", {1, false, true, true}, PixelLayout::kG8, 0},
      {"every frame a page: the third", {4}, PixelLayout::kRGB8, 2},
      {"every frame a page: the last", {4}, PixelLayout::kRGB8, 3},
  };
  for (const MadeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / "made.jxl";
    WriteJxl(path.string(), c.made);
    auto decoder = OpenDecoder(path.c_str());
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->PageCount(), c.made.frames);
    DecodedPage page;
    ASSERT_EQ(DecodePage(decoder.get(), c.page, {}, 5, &page), DecodeStage::kDone);
    EXPECT_EQ(page.layout, c.layout);
    EXPECT_TRUE(page.icc.empty()) << "sRGB needs no profile";
    EXPECT_EQ(page.pixels, Picture(c.made, kSampleWidth, kSampleHeight, c.page + 1));
  }
}

// libjxl turns the rows itself: the pages come out upright, reported as orientation 1.
TEST_F(JxlDecoderTest, TurnsOrientedImagesUpright) {
  struct OrientedCase {
    int orientation;
    // Returns the stored (x, y) of the upright pixel (x, y) of a stored w x h image.
    std::pair<int, int> (*stored)(int x, int y, int w, int h);
  } cases[] = {
      {3,
       [](int x, int y, int w, int h) {
         return std::pair{w - 1 - x, h - 1 - y};
       }},
      {6,
       [](int x, int y, int, int h) {
         return std::pair{y, h - 1 - x};
       }},
      {8,
       [](int x, int y, int w, int) {
         return std::pair{w - 1 - y, x};
       }},
  };
  const Made plain;
  const Bytes stored = Picture(plain, kSampleWidth, kSampleHeight, 1);
  for (const OrientedCase& c : cases) {
    SCOPED_TRACE(c.orientation);
    const fs::path path = dir_ / "oriented.jxl";
    Made made;
    made.orientation = c.orientation;
    WriteJxl(path.string(), made);
    auto decoder = OpenDecoder(path.c_str());
    ASSERT_NE(decoder, nullptr);
    PageGeometry geometry;
    ASSERT_TRUE(decoder->Probe(0, &geometry));
    DecodedPage page;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 4, &page), DecodeStage::kDone);
    EXPECT_EQ(page.orientation, 1);
    const bool turned = c.orientation >= 5;
    ASSERT_EQ(page.width, turned ? kSampleHeight : kSampleWidth);
    ASSERT_EQ(page.height, turned ? kSampleWidth : kSampleHeight);
    EXPECT_EQ(geometry.width, page.width);
    for (int y = 0; y < page.height; ++y) {
      for (int x = 0; x < page.width; ++x) {
        const auto [sx, sy] = c.stored(x, y, kSampleWidth, kSampleHeight);
        const size_t from = (size_t(sy) * kSampleWidth + sx) * 3;
        const size_t to = (size_t(y) * page.width + x) * 3;
        ASSERT_EQ(0, std::memcmp(&page.pixels[to], &stored[from], 3)) << x << "," << y;
      }
    }
  }
}

// Real files: upright at the size djxl gives, and the same pixels as libjxl's own decode
// through its float output, for the first and the last page.
TEST_F(JxlDecoderTest, RealFilesMatchLibjxlsOwnDecode) {
  struct RealCase {
    const char* file;
    int width;  // upright
    int height;
    PixelLayout layout;
    int pages;
    bool icc;  // a profile reaches the pipeline (not plain sRGB)
  } cases[] = {
      {"exiv2/Reagan.jxl", 200, 130, PixelLayout::kRGB8, 1, true},
      {"immich/8bit-sRGB.jxl", 1440, 1080, PixelLayout::kRGB8, 1, false},
      {"immich/16bit-HDR-P3-nclx.jxl", 5667, 3685, PixelLayout::kRGB8, 1, true},  // not PQ
      {"libjxl-conformance/alpha_nonpremultiplied.jxl", 1024, 1024, PixelLayout::kRGBA8, 1, false},
      {"libjxl-conformance/alpha_premultiplied.jxl", 1024, 1024, PixelLayout::kRGBA8, 1, false},
      {"libjxl-conformance/animation_newtons_cradle.jxl", 480, 360, PixelLayout::kRGBA8, 36, false},
      {"libjxl-conformance/bench_oriented_brg.jxl", 606, 500, PixelLayout::kRGB8, 1, true},
      {"libjxl-conformance/bicycles.jxl", 1024, 631, PixelLayout::kRGB8, 1, false},
      {"libjxl-conformance/grayscale.jxl", 200, 200, PixelLayout::kG8, 1, false},  // XYB: sRGB
      {"libjxl-conformance/grayscale_jpeg.jxl", 200, 200, PixelLayout::kG8, 1, true},
      {"libjxl-conformance/lz77_flower.jxl", 834, 244, PixelLayout::kRGB8, 1, true},  // gamma
      {"libjxl-conformance/spot.jxl", 600, 400, PixelLayout::kRGBA8, 1, true},
      {"libjxl-conformance/sunset_logo.jxl", 924, 1386, PixelLayout::kRGBA8, 1, false},
      {"libjxl-conformance/upsampling.jxl", 800, 600, PixelLayout::kRGBA8, 1, false},
      {"libjxl-testdata/cropped_traffic_light.jxl", 50, 80, PixelLayout::kRGBA8, 4, false},
      // Not compared: cmyk_layers (CMYK, by CmykComesAsInkOverWhitePaper), pq_gradient (PQ,
      // tone-mapped: HdrIsToneMappedIntoSrgb), splines (libjxl 0.7 refuses it, djxl too).
  };
  if (!fs::is_directory(kNext)) GTEST_SKIP() << "no corpus at " << kNext;
  for (const RealCase& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path path = kNext / "valid/jxl" / c.file;
    auto decoder = OpenDecoder(path.c_str());
    ASSERT_NE(decoder, nullptr);
    ASSERT_EQ(decoder->PageCount(), c.pages);
    for (int pageIndex : {0, c.pages - 1}) {
      DecodedPage page;
      ASSERT_EQ(DecodePage(decoder.get(), pageIndex, {}, 256, &page), DecodeStage::kDone);
      EXPECT_EQ(page.width, c.width);
      EXPECT_EQ(page.height, c.height);
      EXPECT_EQ(page.layout, c.layout);
      EXPECT_EQ(page.orientation, 1);
      EXPECT_EQ(!page.icc.empty(), c.icc);
      const Bytes reference =
          DecodeWithLibjxl(path, static_cast<uint32_t>(ChannelCount(c.layout)), pageIndex);
      EXPECT_GE(Psnr(page.pixels, reference), 35.0) << "page " << pageIndex;
      if (c.pages == 1) break;
    }
  }
}

TEST_F(JxlDecoderTest, CmykComesAsInkOverWhitePaper) {
  const fs::path path = kNext / "valid/jxl/libjxl-conformance/cmyk_layers.jxl";
  if (!fs::exists(path)) GTEST_SKIP() << "no corpus at " << kNext;
  auto decoder = OpenDecoder(path.c_str());
  ASSERT_NE(decoder, nullptr);
  DecodedPage page;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 64, &page), DecodeStage::kDone);
  ASSERT_EQ(page.layout, PixelLayout::kCMYK8);
  ASSERT_GE(page.icc.size(), 20u);
  EXPECT_EQ(std::memcmp(page.icc.data() + 16, "CMYK", 4), 0);
  // The corners are bare paper: no ink at all (JPEG XL stores 255 there).
  EXPECT_EQ(Bytes(page.pixels.begin(), page.pixels.begin() + 4), Bytes(4, 0));
  EXPECT_EQ(Bytes(page.pixels.end() - 4, page.pixels.end()), Bytes(4, 0));
  // The word "black" is printed in K alone.
  size_t blackOnly = 0;
  for (size_t i = 0; i < page.pixels.size(); i += 4) {
    blackOnly += page.pixels[i + 3] > 200 && page.pixels[i] < 30 && page.pixels[i + 1] < 30 &&
                 page.pixels[i + 2] < 30;
  }
  EXPECT_GT(blackOnly, 500u);
}

// PQ: shadows stay dark, mid-tones are shown at their share of reference white (203 cd/m2),
// and from just above reference white on, everything rolls off into white instead of being
// shown as dim PQ-encoded values.
TEST_F(JxlDecoderTest, HdrIsToneMappedIntoSrgb) {
  const fs::path path = kNext / "valid/jxl/libjxl-testdata/pq_gradient.jxl";
  if (!fs::exists(path)) GTEST_SKIP() << "no corpus at " << kNext;
  auto decoder = OpenDecoder(path.c_str());
  ASSERT_NE(decoder, nullptr);
  DecodedPage page;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 16, &page), DecodeStage::kDone);
  ASSERT_EQ(page.layout, PixelLayout::kG8);
  EXPECT_TRUE(page.icc.empty()) << "gray in sRGB's curve";
  const Bytes signal = DecodeWithLibjxl(path, 1, 0);  // steps of PQ 0.1, 0.15, ... 0.9
  ASSERT_EQ(signal.size(), page.pixels.size());
  struct Step {
    uint8_t signal;  // PQ, 8 bits
    int low;         // what it may become
    int high;
  } steps[] = {
      {26, 0, 10},      // 0.1: 0.3 cd/m2
      {128, 165, 190},  // 0.5: 92 cd/m2, 45% of reference white
      {153, 245, 255},  // 0.6: 244 cd/m2, just above reference white
      {230, 255, 255},  // 0.9: 3900 cd/m2
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(int(step.signal));
    auto at = std::find_if(signal.begin(), signal.end(),
                           [&](uint8_t v) { return std::abs(v - step.signal) <= 1; });
    ASSERT_NE(at, signal.end());
    const int shown = page.pixels[size_t(at - signal.begin())];
    EXPECT_GE(shown, step.low);
    EXPECT_LE(shown, step.high);
  }
  for (size_t x = 1; x < size_t(page.width); ++x) {
    ASSERT_GE(page.pixels[x], page.pixels[x - 1]) << x;
  }
}

// Appends bits (least significant first) to a byte string, as a JPEG XL codestream packs them.
struct BitWriter {
  Bytes bytes;
  int used = 8;
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i, ++used) {
      if (used == 8) bytes.push_back(0), used = 0;
      bytes.back() |= uint8_t(((value >> i) & 1u) << used);
    }
  }
};

// A bare codestream header of width x height (8-bit RGB by default metadata) and no pixels.
Bytes HeaderOnly(uint32_t width, uint32_t height) {
  BitWriter bits;
  bits.Put(0xff, 8);
  bits.Put(0x0a, 8);
  bits.Put(0, 1);  // size not in multiples of 8
  bits.Put(3, 2);  // height as 30 bits
  bits.Put(height - 1, 30);
  bits.Put(0, 3);  // no aspect ratio: width follows
  bits.Put(3, 2);
  bits.Put(width - 1, 30);
  bits.Put(1, 1);  // all-default image metadata
  bits.bytes.resize(bits.bytes.size() + 16, 0);
  return bits.bytes;
}

TEST_F(JxlDecoderTest, RefusesOversizedInputsBeforeDecoding) {
  struct LargeCase {
    const char* name;
    Bytes head;
    uint64_t fileSize;  // the file is extended (sparsely) to this size; 0: as written
  } cases[] = {
      // 400 million pixels are within kMaxSourcePixels, but 3 float planes are not within the
      // decode budget.
      {"page over the decode budget", HeaderOnly(20000, 20000), 0},
      {"file over the size limit", HeaderOnly(64, 64), kJxlMaxFileBytes + 1},
  };
  for (const LargeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / "large.jxl";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(c.head.data()), std::streamsize(c.head.size()));
    if (c.fileSize != 0) fs::resize_file(path, c.fileSize);
    Failure failure;
    EXPECT_EQ(OpenDecoder(path.c_str(), &failure), nullptr);
    EXPECT_EQ(failure.kind, FailureKind::kTooLarge) << failure.text;
  }
  // The same header at a size within the budget is read, and fails only for the missing data.
  const fs::path path = dir_ / "small.jxl";
  const Bytes small = HeaderOnly(64, 64);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(small.data()), std::streamsize(small.size()));
  Failure failure;
  EXPECT_EQ(OpenDecoder(path.c_str(), &failure), nullptr);
  EXPECT_NE(failure.kind, FailureKind::kTooLarge) << failure.text;
}

}  // namespace
