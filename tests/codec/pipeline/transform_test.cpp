// The pipeline's geometry and pixels: sizes from the switches, orientation, rotation,
// colour normalisation and resampling, run over pages served by an in-memory decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include "codec/decode_page.h"
#include "codec/pipeline/color.h"
#include "codec/pipeline/orient.h"
#include "codec/pipeline/pipeline.h"
#include "codec/pipeline/read_ahead.h"
#include "codec/pipeline/resize.h"
#include "codec/pipeline/row_source.h"
#include "codec/test_image.h"

namespace {

struct GeometryCase {
  const char* name;
  int srcW, srcH, orientation;
  int w, h;
  bool prop;
  float rotation;
  int outW, outH;  // 0 x 0: the save is refused
};

TEST(PipelineGeometry, SizesFromSwitches) {
  const GeometryCase kCases[] = {
      {"none", 640, 480, 1, -1, -1, false, 0, 640, 480},
      {"width only exact", 640, 480, 1, 320, -1, false, 0, 320, 480},
      {"height only exact", 640, 480, 1, -1, 100, false, 0, 640, 100},
      {"both exact", 640, 480, 1, 10, 20, false, 0, 10, 20},
      {"width prop", 640, 480, 1, 320, -1, true, 0, 320, 240},
      {"height prop", 640, 480, 1, -1, 120, true, 0, 160, 120},
      {"fit both prop", 640, 480, 1, 320, 100, true, 0, 133, 100},
      {"fit both prop width limits", 640, 480, 1, 100, 400, true, 0, 100, 75},
      {"prop without sizes", 640, 480, 1, -1, -1, true, 0, 640, 480},
      {"prop upscale", 100, 50, 1, 1000, -1, true, 0, 1000, 500},
      {"prop at least one", 1000, 1, 1, 10, -1, true, 0, 10, 1},
      {"zero means not given", 640, 480, 1, 0, 0, false, 0, 640, 480},
      {"orientation 6 swaps", 640, 480, 6, -1, -1, false, 0, 480, 640},
      {"orientation 8 prop refers to oriented", 640, 480, 8, 240, -1, true, 0, 240, 320},
      {"rotate 90", 640, 480, 1, -1, -1, false, 90, 480, 640},
      {"rotate -90", 640, 480, 1, -1, -1, false, -90, 480, 640},
      {"rotate 450 after resize", 640, 480, 1, 320, -1, true, 450, 240, 320},
      {"rotate 45", 100, 100, 1, -1, -1, false, 45, 142, 142},
      {"rotate NaN is none", 640, 480, 1, -1, -1, false, std::numeric_limits<float>::quiet_NaN(),
       640, 480},
      {"rotate inf is none", 640, 480, 1, -1, -1, false, std::numeric_limits<float>::infinity(),
       640, 480},
      {"too wide", 640, 480, 1, 65536, -1, false, 0, 0, 0},
      {"widest allowed", 640, 480, 1, 65535, 1, false, 0, 65535, 1},
      {"too tall after prop", 1, 100000, 1, -1, -1, true, 0, 0, 0},
      {"too wide after rotation", 60000, 60000, 1, -1, -1, false, 30, 0, 0},
  };
  for (const GeometryCase& c : kCases) {
    SCOPED_TRACE(c.name);
    PageGeometry g{c.srcW, c.srcH, c.orientation};
    int w = 0, h = 0;
    bool ok = OutputSize(Header(c.w, c.h, c.prop, c.rotation), g, &w, &h);
    EXPECT_EQ(ok, c.outW != 0);
    if (ok) {
      EXPECT_EQ(w, c.outW);
      EXPECT_EQ(h, c.outH);
    }
  }
}

FakePage Numbered(int w, int h) {
  return MakePage(w, h, PixelLayout::kG8, [w](int x, int y, int) { return y * w + x + 1; });
}

TEST(PipelinePixels, QuarterTurnMovesKnownCorner) {
  FakeDecoder decoder(Numbered(4, 3));
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(-1, -1, false, 90), 1, &out));
  ASSERT_EQ(out.width, 3);
  ASSERT_EQ(out.height, 4);
  // Clockwise: the source's bottom-left comes to the top-left, its top-left to the top-right.
  EXPECT_EQ(out.At(0, 0), 9);
  EXPECT_EQ(out.At(2, 0), 1);
  EXPECT_EQ(out.At(2, 3), 4);
}

TEST(PipelinePixels, FourQuarterTurnsGiveTheOriginal) {
  FakePage original = MakePage(7, 5, PixelLayout::kRGB8,
                               [](int x, int y, int c) { return (x * 37 + y * 11 + c * 5) % 256; });
  Image image{original.width, original.height, 3, original.pixels};
  for (int turn = 0; turn < 4; ++turn) {
    FakeDecoder decoder(PageOf(image));
    ASSERT_TRUE(RunPipeline(decoder, Header(-1, -1, false, 90), 3, &image));
  }
  EXPECT_EQ(image.width, 7);
  EXPECT_EQ(image.pixels, original.pixels);
}

TEST(PipelinePixels, OrientationsMatchTheirDefinition) {
  // Where output pixel (0, 0) and (1, 0) come from in a 3 x 2 source, per orientation.
  struct Case {
    int orientation, w, h, first, second;
  };
  const Case kCases[] = {{1, 3, 2, 1, 2}, {2, 3, 2, 3, 2}, {3, 3, 2, 6, 5}, {4, 3, 2, 4, 5},
                         {5, 2, 3, 1, 4}, {6, 2, 3, 4, 1}, {7, 2, 3, 6, 3}, {8, 2, 3, 3, 6}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.orientation);
    FakePage page = Numbered(3, 2);
    page.orientation = c.orientation;
    FakeDecoder decoder(page);
    Image out;
    ASSERT_TRUE(RunPipeline(decoder, Header(), 1, &out));
    EXPECT_EQ(out.width, c.w);
    EXPECT_EQ(out.height, c.h);
    EXPECT_EQ(out.At(0, 0), c.first);
    EXPECT_EQ(out.At(1, 0), c.second);
  }
}

TEST(PipelinePixels, ComposedOrientationEqualsBothApplied) {
  for (int first = 1; first <= 8; ++first) {
    for (int second = 1; second <= 8; ++second) {
      SCOPED_TRACE(first * 10 + second);
      auto source = [] {
        FakePage p = Numbered(3, 2);
        return MakeMemorySource(p.width, p.height, 1, p.pixels);
      };
      std::vector<uint8_t> twice, once;
      ASSERT_TRUE(ReadAllRows(*MakeOrientStage(MakeOrientStage(source(), first), second), &twice));
      ASSERT_TRUE(
          ReadAllRows(*MakeOrientStage(source(), ComposeOrientations(first, second)), &once));
      EXPECT_EQ(once, twice);
    }
  }
}

TEST(PipelinePixels, ColourNormalisation) {
  struct Case {
    const char* name;
    PixelLayout layout;
    std::vector<uint8_t> pixel;
    int channels;
    std::vector<uint8_t> expected;
  };
  const Case kCases[] = {
      {"transparent onto white", PixelLayout::kRGBA8, {0, 0, 0, 0}, 3, {255, 255, 255}},
      {"opaque kept", PixelLayout::kRGBA8, {10, 20, 30, 255}, 3, {10, 20, 30}},
      {"half alpha", PixelLayout::kRGBA8, {0, 100, 255, 128}, 3, {127, 177, 255}},
      {"gray alpha to gray", PixelLayout::kGA8, {0, 64}, 1, {191}},
      {"gray to rgb", PixelLayout::kG8, {77}, 3, {77, 77, 77}},
      {"rgb to gray", PixelLayout::kRGB8, {255, 0, 0}, 1, {77}},
      {"white rgb to gray", PixelLayout::kRGB8, {255, 255, 255}, 1, {255}},
      {"cmyk no ink", PixelLayout::kCMYK8, {0, 0, 0, 0}, 3, {255, 255, 255}},
      {"cmyk full black", PixelLayout::kCMYK8, {0, 0, 0, 255}, 3, {0, 0, 0}},
      {"cmyk cyan", PixelLayout::kCMYK8, {255, 0, 0, 0}, 3, {0, 255, 255}},
      {"cmyk to gray", PixelLayout::kCMYK8, {0, 0, 0, 0}, 1, {255}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakePage page;
    page.width = page.height = 1;
    page.layout = c.layout;
    page.pixels = c.pixel;
    FakeDecoder decoder(page);
    Image out;
    ASSERT_TRUE(RunPipeline(decoder, Header(), c.channels, &out));
    EXPECT_EQ(out.pixels, c.expected);
  }
}

TEST(PipelinePixels, ProfilesMadeFromPrimariesDependOnlyOnThem) {
  const double displayP3[8] = {0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290};
  const std::vector<uint8_t> first = RgbProfile(displayP3, 0);
  ASSERT_GT(first.size(), 128u);
  EXPECT_EQ(IccColorSpace(first), IccSpace::kRgb);
  // lcms2 stamps the time into a profile it makes: a second later the same colours must give
  // the same bytes, or two runs over one source write different files.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(RgbProfile(displayP3, 0), first);
  EXPECT_NE(RgbProfile(displayP3, 2.2), first);
}

TEST(PipelinePixels, ResizeOfConstantImageStaysConstant) {
  const int kSizes[][2] = {{13, 7}, {100, 100}, {1, 1}, {3, 40}, {500, 2}};
  for (const auto& size : kSizes) {
    SCOPED_TRACE(size[0] * 1000 + size[1]);
    FakeDecoder decoder(
        MakePage(40, 30, PixelLayout::kRGB8, [](int, int, int c) { return 50 + c * 90; }));
    Image out;
    ASSERT_TRUE(RunPipeline(decoder, Header(size[0], size[1]), 3, &out));
    ASSERT_EQ(out.width, size[0]);
    ASSERT_EQ(out.height, size[1]);
    for (size_t i = 0; i < out.pixels.size(); ++i) ASSERT_EQ(out.pixels[i], 50 + (i % 3) * 90) << i;
  }
}

TEST(PipelinePixels, CheckerboardDownscaleIsMidGrayWithoutAliasing) {
  FakeDecoder decoder(MakePage(256, 256, PixelLayout::kG8,
                               [](int x, int y, int) { return ((x + y) % 2) ? 255 : 0; }));
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(32, 32), 1, &out));
  for (uint8_t v : out.pixels) ASSERT_NEAR(v, 128, 2);
}

TEST(PipelinePixels, LinearRampSurvivesMildAndStrongSquashing) {
  // Mild shrinking keeps a ring of rows, strong shrinking open accumulators; both must give
  // the ramp's value at each output row's centre away from the edges.
  const int kHeights[] = {200, 128, 37, 8, 3};
  for (int height : kHeights) {
    SCOPED_TRACE(height);
    FakeDecoder decoder(MakePage(5, 256, PixelLayout::kG8, [](int, int y, int) { return y; }));
    Image out;
    ASSERT_TRUE(RunPipeline(decoder, Header(5, height), 1, &out));
    double scale = 256.0 / height;
    for (int y = 0; y < height; ++y) {
      double centre = (y + 0.5) * scale - 0.5;
      if (centre - 3 * scale < 0 || centre + 3 * scale > 255) continue;
      EXPECT_NEAR(out.At(2, y), centre, 1.0) << y;
    }
  }
}

// A photograph-like sample: smooth shading, fine periodic texture, hard edges and a little
// noise, so that a reduction that aliases or blurs shows in the PSNR.
int PhotoLike(int x, int y, int c) {
  double v = 128 + 60 * std::sin(x * 0.013 + y * 0.007 + c) +
             25 * std::sin(x * 0.21 + c * 0.5) * std::cos(y * 0.17) +
             ((x / 97 + y / 61) % 3 == 0 ? 40 : -20);
  uint32_t hash = (static_cast<uint32_t>(x) * 73856093u) ^ (static_cast<uint32_t>(y) * 19349663u) ^
                  (static_cast<uint32_t>(c) * 83492791u);
  hash = (hash ^ (hash >> 13)) * 0x5bd1e995u;
  v += static_cast<int>((hash >> 24) % 25) - 12;
  return std::clamp(static_cast<int>(v), 0, 255);
}

// Returns the rows of width x height x channels samples reduced to outW x outH by a Lanczos-3
// filter in floating point, with the resampler's geometry: pixel centres aligned, the
// filter widened by the reduction factor, edges clamped onto the border samples.
std::vector<uint8_t> ExactLanczos3(const std::vector<uint8_t>& in, int width, int height,
                                   int channels, int outW, int outH) {
  auto weights = [](int src, int dst, int i, int* first) {
    double scale = double(src) / dst, filterScale = std::max(1.0, scale);
    double centre = (i + 0.5) * scale - 0.5, support = 3 * filterScale;
    *first = static_cast<int>(std::ceil(centre - support));
    std::vector<double> w;
    double total = 0;
    for (int j = *first; j <= std::floor(centre + support); ++j) {
      double x = std::fabs(j - centre) / filterScale, px = M_PI * x;
      double v = x < 1e-9 ? 1.0 : x >= 3 ? 0.0 : 3 * std::sin(px) * std::sin(px / 3) / (px * px);
      w.push_back(v);
      total += v;
    }
    for (double& v : w) v /= total;
    return w;
  };
  std::vector<double> across(static_cast<size_t>(height) * outW * channels);
  for (int x = 0; x < outW; ++x) {
    int first;
    std::vector<double> w = weights(width, outW, x, &first);
    for (int y = 0; y < height; ++y) {
      for (int c = 0; c < channels; ++c) {
        double sum = 0;
        for (size_t t = 0; t < w.size(); ++t) {
          int sx = std::clamp(first + static_cast<int>(t), 0, width - 1);
          sum += w[t] * in[(static_cast<size_t>(y) * width + sx) * channels + c];
        }
        across[(static_cast<size_t>(y) * outW + x) * channels + c] = sum;
      }
    }
  }
  std::vector<uint8_t> out(static_cast<size_t>(outH) * outW * channels);
  for (int y = 0; y < outH; ++y) {
    int first;
    std::vector<double> w = weights(height, outH, y, &first);
    for (size_t i = 0; i < static_cast<size_t>(outW) * channels; ++i) {
      double sum = 0;
      for (size_t t = 0; t < w.size(); ++t) {
        int sy = std::clamp(first + static_cast<int>(t), 0, height - 1);
        sum += w[t] * across[static_cast<size_t>(sy) * outW * channels + i];
      }
      out[static_cast<size_t>(y) * outW * channels + i] =
          static_cast<uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
    }
  }
  return out;
}

TEST(PipelinePixels, StrongReductionsStayCloseToExactLanczos) {
  // Reductions by 3.6 or more first average blocks of pixels, then finish with the Lanczos
  // filter over a factor of about two or more. The filter alone is within rounding of the
  // exact one here (67 to 76 dB, and equal at one pixel). With blocks first each case stays
  // above its floor, set a decibel or two under what it measured when blocks were brought in:
  // around 50 dB, on a sample with far more fine detail and noise than photographs have, an
  // error that moves an encoded output's own (35 to 40 dB from its source) by a few tenths
  // of a decibel at most.
  struct Case {
    const char* name;
    int srcW, srcH;
    PixelLayout layout;
    int outW, outH;
    int blockW, blockH;  // the blocks averaged first
    double floorDb;
  };
  const Case kCases[] = {
      {"photo fit (3.75)", 960, 640, PixelLayout::kRGB8, 256, 171, 2, 2, 47.5},
      {"photo (6)", 900, 630, PixelLayout::kRGB8, 150, 105, 2, 2, 51.5},
      {"strip (50): few rows, no blocks down", 25000, 150, PixelLayout::kG8, 500, 3, 16, 1, 49.5},
      {"odd sizes with alpha", 997, 1003, PixelLayout::kRGBA8, 101, 97, 3, 3, 54},
      {"just above four", 810, 405, PixelLayout::kRGB8, 200, 100, 2, 2, 48},
      {"just below four", 790, 395, PixelLayout::kG8, 200, 100, 2, 2, 48},
      {"below 3.6: the filter alone", 700, 350, PixelLayout::kRGB8, 200, 100, 1, 1, 65},
      {"just above nine, grey and alpha", 1810, 905, PixelLayout::kGA8, 200, 100, 3, 3, 54},
      {"strong across, mild down", 3000, 200, PixelLayout::kRGB8, 100, 150, 10, 1, 51.5},
      {"mild across, strong down", 150, 3001, PixelLayout::kG8, 100, 97, 1, 10, 51},
      {"to one pixel: the filter alone", 640, 480, PixelLayout::kRGB8, 1, 1, 1, 1, 65},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakePage page = MakePage(c.srcW, c.srcH, c.layout, PhotoLike);
    int channels = c.layout == PixelLayout::kG8 || c.layout == PixelLayout::kGA8 ? 1 : 3;
    auto flat = [&] {
      return MakeColorStage(MakeMemorySource(c.srcW, c.srcH, ChannelCount(c.layout), page.pixels),
                            c.layout, {}, channels);
    };
    std::vector<uint8_t> source, reduced;
    ASSERT_TRUE(ReadAllRows(*flat(), &source));
    std::unique_ptr<RowSource> stage = MakeResizeStage(flat(), c.outW, c.outH);
    ASSERT_EQ(stage->width(), c.outW);
    ASSERT_EQ(stage->height(), c.outH);
    ASSERT_TRUE(ReadAllRows(*stage, &reduced));
    EXPECT_EQ(BlockFactor(c.srcW, c.outW), c.blockW);
    EXPECT_EQ(BlockFactor(c.srcH, c.outH), c.blockH);
    EXPECT_GE(Psnr(ExactLanczos3(source, c.srcW, c.srcH, channels, c.outW, c.outH), reduced),
              c.floorDb);
  }
}

TEST(PipelinePixels, UpscaleKeepsEdgesAndOrder) {
  FakeDecoder decoder(
      MakePage(2, 1, PixelLayout::kG8, [](int x, int, int) { return x ? 200 : 0; }));
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(20, 3), 1, &out));
  EXPECT_LE(out.At(0, 0), 10);
  EXPECT_GE(out.At(19, 2), 190);
  for (int x = 1; x < 20; ++x) EXPECT_GE(out.At(x, 1) + 15, out.At(x - 1, 1)) << x;
}

TEST(PipelinePixels, RequestIsInStoredOrientationAndShrunkPagesAreResizedOn) {
  FakePage page = MakePage(64, 32, PixelLayout::kG8, [](int, int, int) { return 90; });
  page.orientation = 6;
  page.halveOnRequest = true;
  FakeDecoder decoder(page);
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(8, -1, true), 1, &out));
  EXPECT_EQ(decoder.lastRequest.minWidth, 16);
  EXPECT_EQ(decoder.lastRequest.minHeight, 8);
  EXPECT_EQ(out.width, 8);
  EXPECT_EQ(out.height, 16);
  for (uint8_t v : out.pixels) EXPECT_EQ(v, 90);
}

TEST(PipelinePixels, NoShrinkRequestWhenUpscaling) {
  FakeDecoder decoder(Numbered(4, 4));
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(8, 2), 1, &out));
  EXPECT_EQ(decoder.lastRequest.minWidth, 0);
  EXPECT_EQ(decoder.lastRequest.minHeight, 0);
}

TEST(PipelinePixels, FreeRotationHasWhiteCornersAndKeepsTheCentre) {
  FakeDecoder decoder(MakePage(21, 21, PixelLayout::kRGB8, [](int, int, int) { return 0; }));
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(-1, -1, false, 45), 3, &out));
  ASSERT_EQ(out.width, 30);
  ASSERT_EQ(out.height, 30);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(out.At(0, 0, c), 255);
    EXPECT_EQ(out.At(29, 29, c), 255);
    EXPECT_EQ(out.At(15, 15, c), 0);
    EXPECT_EQ(out.At(15, 2, c), 0);  // the top corner of the turned square
  }
}

TEST(PipelinePixels, SmallFreeRotationMovesTopRowDown) {
  // A 30 degree clockwise turn lowers the right end of a line through the centre.
  FakeDecoder decoder(
      MakePage(41, 41, PixelLayout::kG8, [](int, int y, int) { return y == 20 ? 0 : 255; }));
  Image out;
  ASSERT_TRUE(RunPipeline(decoder, Header(-1, -1, false, 30), 1, &out));
  int cx = out.width / 2, cy = out.height / 2;
  int dx = 12, dy = static_cast<int>(std::lround(12 * std::tan(M_PI / 6)));
  EXPECT_LT(out.At(cx + dx, cy + dy), 128);
  EXPECT_GT(out.At(cx + dx, cy - dy), 200);
}

TEST(PipelinePixels, DecodeErrorEndsThePipeline) {
  FakePage page = Numbered(8, 40);
  page.failAfterRows = 20;
  const SaveHeader kHeaders[] = {Header(), Header(4, 4), Header(-1, -1, false, 90),
                                 Header(-1, -1, false, 10)};
  for (const SaveHeader& header : kHeaders) {
    FakeDecoder decoder(page);
    Image out;
    EXPECT_FALSE(RunPipeline(decoder, header, 1, &out));
  }
}

TEST(PipelinePixels, PageOutOfRangeIsRefused) {
  FakeDecoder decoder(Numbered(2, 2));
  SaveHeader header = Header();
  for (int page : {-1, 1, 7}) {
    header.nPage = page;
    Image out;
    EXPECT_FALSE(RunPipeline(decoder, header, 1, &out));
  }
}

// Rows read ahead of their consumer come out exactly as the pipeline makes them, on a helper
// thread while a core is idle and on the caller's once a worker takes the core back; the
// decoder is done with when the hook says so, and a failure or an exception on either thread
// ends the rows and reaches the caller.
TEST(PipelineReadAhead, RowsHookAndFailuresOnEitherThread) {
  enum class Where { kNowhere, kHelper, kCaller };
  struct Case {
    const char* name;
    int height;           // of a 1024-pixel-wide RGB page: 3,000 rows hold more than the queue
    int idle;             // cores idle as the reading starts
    bool hook;            // someone waits for the decoder
    int occupyAfterRows;  // a worker takes its core back after this many rows; -1: never
    int failAfterRows;
    int throwAfterRows;
    Where decodedOn;    // the thread the hook runs on (kNowhere: not at all)
    bool decodedFirst;  // the hook runs before the first row is delivered
  };
  const Case kCases[] = {
      {"helper reads ahead", 3000, 1, true, -1, -1, -1, Where::kHelper, false},
      {"no idle core", 3000, 0, true, -1, -1, -1, Where::kCaller, false},
      {"a worker takes the core back", 3000, 1, true, 40, -1, -1, Where::kCaller, false},
      {"small page is read whole first", 100, 0, true, -1, -1, -1, Where::kCaller, true},
      {"no hook", 3000, 1, false, -1, -1, -1, Where::kNowhere, false},
      {"decoding fails on the helper", 3000, 1, true, -1, 1500, -1, Where::kNowhere, false},
      {"decoding fails on the caller", 3000, 0, true, -1, 1500, -1, Where::kNowhere, false},
      {"small page fails while read first", 100, 0, true, -1, 50, -1, Where::kNowhere, false},
      {"memory runs out on the helper", 3000, 1, true, -1, -1, 1500, Where::kNowhere, false},
      {"memory runs out on the caller", 3000, 0, true, -1, -1, 1500, Where::kNowhere, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakePage page = MakePage(1024, c.height, PixelLayout::kRGB8,
                             [](int x, int y, int ch) { return (x * 3 + y * 7 + ch * 50) & 0xff; });
    page.failAfterRows = c.failAfterRows;
    page.throwAfterRows = c.throwAfterRows;
    FakeDecoder decoder(page);
    PageInfo info;
    std::unique_ptr<RowSource> rows = BuildPipeline(decoder, Header(), 3, &info);
    ASSERT_TRUE(rows);
    CoreBudget cores;
    for (int i = 0; i < c.idle; ++i) cores.Release();
    // The hook may run on the helper while this thread delivers rows.
    std::atomic<int> delivered{0};
    int calls = 0, deliveredAtHook = -1;
    std::thread::id hookThread;
    std::function<void()> hook;
    if (c.hook) {
      hook = [&] {
        ++calls;
        hookThread = std::this_thread::get_id();
        deliveredAtHook = delivered;
      };
    }
    ReadAheadSource ahead(std::move(rows), &cores, hook);
    bool threw = false;
    bool same = true;
    try {
      for (int y = 0; y < c.height; ++y) {
        const uint8_t* row = ahead.NextRow();
        if (row == nullptr) break;
        same = same && std::memcmp(row, &page.pixels[static_cast<size_t>(y) * 3072], 3072) == 0;
        ++delivered;
        if (delivered == c.occupyAfterRows) cores.Occupy();
      }
      ahead.Join();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    bool failing = c.failAfterRows >= 0 || c.throwAfterRows >= 0;
    EXPECT_TRUE(same);
    EXPECT_EQ(delivered == c.height, !failing);
    EXPECT_EQ(threw, c.throwAfterRows >= 0);
    EXPECT_EQ(ahead.NextRow(), nullptr) << "nothing after the end or a failure";
    EXPECT_EQ(calls, c.decodedOn == Where::kNowhere ? 0 : 1);
    if (c.decodedOn != Where::kNowhere) {
      EXPECT_EQ(hookThread == std::this_thread::get_id(), c.decodedOn == Where::kCaller);
      EXPECT_EQ(deliveredAtHook == 0, c.decodedFirst);
    }
    if (c.occupyAfterRows >= 0) cores.Release();
    EXPECT_FALSE(cores.Overcommitted());
    EXPECT_EQ(cores.TryBorrow(), c.idle > 0) << "the helper gave its core back";
  }
}

}  // namespace
