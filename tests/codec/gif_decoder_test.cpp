#include <gif_lib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "support/process.h"

// The frames name only the fields that differ from TestFrame's defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr GifColorType kRed = {255, 0, 0};
constexpr GifColorType kGreen = {0, 255, 0};
constexpr GifColorType kBlue = {0, 0, 255};
constexpr GifColorType kWhite = {255, 255, 255};
const std::vector<GifColorType> kGlobal = {kRed, kGreen, kBlue, kWhite};

struct TestFrame {
  int left = 0, top = 0, width = 1, height = 1;
  std::vector<uint8_t> indices;  // row-major, top row first
  int disposal = DISPOSAL_UNSPECIFIED;
  int transparent = NO_TRANSPARENT_COLOR;
  bool interlace = false;
  std::vector<GifColorType> local;
};

struct MapDeleter {
  void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};
using MapPtr = std::unique_ptr<ColorMapObject, MapDeleter>;

MapPtr MakeMap(const std::vector<GifColorType>& colors) {
  if (colors.empty()) return nullptr;
  return MapPtr(GifMakeMapObject(static_cast<int>(colors.size()), colors.data()));
}

// Writes a GIF89a with giflib's encoder; fails the test when giflib refuses.
void WriteGif(const std::string& path, int width, int height,
              const std::vector<GifColorType>& global, const std::vector<TestFrame>& frames) {
  int error = 0;
  GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
  ASSERT_NE(gif, nullptr);
  EGifSetGifVersion(gif, true);
  MapPtr globalMap = MakeMap(global);
  ASSERT_EQ(EGifPutScreenDesc(gif, width, height, 8, 0, globalMap.get()), GIF_OK);
  for (const TestFrame& f : frames) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = f.disposal;
    gcb.TransparentColor = f.transparent;
    GifByteType gce[4];
    EGifGCBToExtension(&gcb, gce);
    ASSERT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, gce), GIF_OK);
    MapPtr localMap = MakeMap(f.local);
    ASSERT_EQ(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlace, localMap.get()),
              GIF_OK);
    std::vector<int> order;
    if (f.interlace) {
      static constexpr int kStart[] = {0, 4, 2, 1};
      static constexpr int kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass) {
        for (int y = kStart[pass]; y < f.height; y += kStep[pass]) order.push_back(y);
      }
    } else {
      for (int y = 0; y < f.height; ++y) order.push_back(y);
    }
    for (int y : order) {
      std::vector<GifPixelType> line(f.indices.begin() + y * f.width,
                                     f.indices.begin() + (y + 1) * f.width);
      ASSERT_EQ(EGifPutLine(gif, line.data(), f.width), GIF_OK);
    }
  }
  ASSERT_EQ(EGifCloseFile(gif, &error), GIF_OK);
}

struct Page {
  int width = 0;
  int height = 0;
  PixelLayout layout = PixelLayout::kRGB8;
  Bytes pixels;
};

// Returns true and page p of decoder in *out.
bool ReadPage(Decoder& decoder, int p, Page* out) {
  PageInfo info;
  if (!decoder.StartPage(p, DecodeRequest{}, &info)) return false;
  out->width = info.width;
  out->height = info.height;
  out->layout = info.layout;
  const size_t stride = static_cast<size_t>(info.width) * ChannelCount(info.layout);
  out->pixels.assign(stride * info.height, 0);
  return decoder.ReadRows(out->pixels.data(), stride, info.height);
}

std::unique_ptr<Decoder> Open(const std::string& path) {
  return OpenGifDecoder(InputFile::Open(path.c_str()));
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Rgba(std::initializer_list<GifColorType> colors, std::initializer_list<int> alpha) {
  Bytes out;
  auto a = alpha.begin();
  for (const GifColorType& c : colors)
    out.insert(out.end(), {c.Red, c.Green, c.Blue, static_cast<uint8_t>(*a++)});
  return out;
}

Bytes Rgb(std::initializer_list<GifColorType> colors) {
  Bytes out;
  for (const GifColorType& c : colors) out.insert(out.end(), {c.Red, c.Green, c.Blue});
  return out;
}

constexpr GifColorType kClear = {0, 0, 0};

// Screen 4x2: red background frame; a 2x2 frame with a transparent index, disposed to
// background; a 1x1 blue frame disposed to previous; a 1x1 green frame.
std::vector<TestFrame> DisposalFrames() {
  return {
      {.width = 4, .height = 2, .indices = {0, 0, 0, 0, 0, 0, 0, 0}, .disposal = DISPOSE_DO_NOT},
      {.left = 1,
       .width = 2,
       .height = 2,
       .indices = {1, 3, 3, 1},
       .disposal = DISPOSE_BACKGROUND,
       .transparent = 3},
      {.indices = {2}, .disposal = DISPOSE_PREVIOUS},
      {.left = 3, .top = 1, .indices = {1}},
  };
}

TEST(GifDecoderTest, CompositesFramesWithDisposalAndTransparency) {
  TempDir dir;
  const std::string path = dir / "anim.gif";
  WriteGif(path, 4, 2, kGlobal, DisposalFrames());
  auto decoder = Open(path);
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->PageCount(), 4);
  const struct {
    PixelLayout layout;
    Bytes pixels;
  } expected[] = {
      {PixelLayout::kRGB8, Rgb({kRed, kRed, kRed, kRed, kRed, kRed, kRed, kRed})},
      {PixelLayout::kRGB8, Rgb({kRed, kGreen, kRed, kRed, kRed, kRed, kGreen, kRed})},
      {PixelLayout::kRGBA8, Rgba({kBlue, kClear, kClear, kRed, kRed, kClear, kClear, kRed},
                                 {255, 0, 0, 255, 255, 0, 0, 255})},
      {PixelLayout::kRGBA8, Rgba({kRed, kClear, kClear, kRed, kRed, kClear, kClear, kGreen},
                                 {255, 0, 0, 255, 255, 0, 0, 255})},
  };
  // In order, backwards, repeated and skipping: each page is what a viewer shows.
  for (int p : {0, 1, 2, 3, 3, 1, 2, 0, 3}) {
    SCOPED_TRACE("page " + std::to_string(p));
    PageGeometry geometry;
    ASSERT_TRUE(decoder->Probe(p, &geometry));
    EXPECT_EQ(geometry.width, 4);
    EXPECT_EQ(geometry.height, 2);
    Page page;
    ASSERT_TRUE(ReadPage(*decoder, p, &page));
    EXPECT_EQ(page.layout, expected[p].layout);
    EXPECT_EQ(page.pixels, expected[p].pixels);
  }
  PageGeometry geometry;
  EXPECT_FALSE(decoder->Probe(4, &geometry));
  Page page;
  EXPECT_FALSE(ReadPage(*decoder, 4, &page));
}

TEST(GifDecoderTest, SingleFramesPlaceRowsAndColoursRight) {
  std::vector<uint8_t> tall(10);
  for (int y = 0; y < 10; ++y) tall[y] = y % 4;
  const std::vector<GifColorType> local = {kWhite, kBlue, kGreen, kRed};
  const struct {
    const char* name;
    int width, height;
    TestFrame frame;
    Bytes expected;
  } cases[] = {
      {"interlaced rows in their places",
       1,
       10,
       {.height = 10, .indices = tall, .interlace = true},
       Rgb({kRed, kGreen, kBlue, kWhite, kRed, kGreen, kBlue, kWhite, kRed, kGreen})},
      {"local palette wins",
       2,
       1,
       {.width = 2, .indices = {0, 3}, .local = local},
       Rgb({kWhite, kRed})},
      {"frame past the screen is clipped",
       2,
       2,
       {.left = 1, .top = 1, .width = 2, .height = 2, .indices = {1, 1, 1, 1}},
       Rgba({kClear, kClear, kClear, kGreen}, {0, 0, 0, 255})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteGif(dir / "one.gif", c.width, c.height, kGlobal, {c.frame});
    auto decoder = Open(dir / "one.gif");
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->PageCount(), 1);
    Page page;
    ASSERT_TRUE(ReadPage(*decoder, 0, &page));
    EXPECT_EQ(page.width, c.width);
    EXPECT_EQ(page.height, c.height);
    EXPECT_EQ(page.pixels, c.expected);
  }
}

// A 2x1 GIF whose pixels are index 3 then 0, hand-made so that index 3 can lie past a
// 2-entry palette (giflib's encoder would mask it).
Bytes TwoPixelGif(bool globalPalette) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0};
  b.push_back(globalPalette ? 0x80 : 0x00);
  b.insert(b.end(), {0, 0});
  if (globalPalette) b.insert(b.end(), {10, 20, 30, 40, 50, 60});
  b.insert(b.end(), {0x2c, 0, 0, 0, 0, 2, 0, 1, 0, 0});
  b.insert(b.end(), {2, 2, 0x1c, 0x0a, 0, 0x3b});  // codes: clear, 3, 0, end
  return b;
}

TEST(GifDecoderTest, OutOfPaletteIndexAndMissingPaletteAreDefined) {
  TempDir dir;
  const struct {
    const char* name;
    bool palette;
    Bytes expected;
  } cases[] = {
      {"index past the palette is black", true, {0, 0, 0, 10, 20, 30}},
      {"no palette at all gives gray", false, {3, 3, 3, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir / "two.gif", TwoPixelGif(c.palette));
    auto decoder = Open(dir / "two.gif");
    ASSERT_NE(decoder, nullptr);
    Page page;
    ASSERT_TRUE(ReadPage(*decoder, 0, &page));
    EXPECT_EQ(page.layout, PixelLayout::kRGB8);
    EXPECT_EQ(page.pixels, c.expected);
  }
}

TEST(GifDecoderTest, RefusesBrokenFilesCleanly) {
  TempDir dir;
  WriteGif(dir / "good.gif", 4, 2, kGlobal, DisposalFrames());
  const Bytes good = ReadBytes(dir / "good.gif");
  Bytes huge = good;
  huge[6] = huge[7] = huge[8] = huge[9] = 0xff;  // 65535 x 65535 screen
  WriteGif(dir / "tiny.gif", 30000, 30000, kGlobal, {{.indices = {1}}});
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"not a GIF", Bytes{'G', 'I', 'F', '8', '9', 'b', 1, 0, 1, 0, 0, 0, 0}},
      {"screen only, no frame", Bytes(good.begin(), good.begin() + 13 + 12)},
      {"screen over a gigapixel", huge},
      {"30000 x 30000 screen over one 1x1 frame", ReadBytes(dir / "tiny.gif")},
      {"first frame cut short", Bytes(good.begin(), good.begin() + 40)},
      {"empty", Bytes{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir / "bad.gif", c.bytes);
    EXPECT_EQ(Open(dir / "bad.gif"), nullptr);
  }
}

// The bound on the canvas must not refuse real files: a screen up to 4096 x 4096 whatever its
// frames, and a larger one that its frames' data can fill (one colour compresses best).
TEST(GifDecoderTest, OpensLargeScreensTheirDataCanFill) {
  const struct {
    const char* name;
    int width, height;
    TestFrame frame;
  } cases[] = {
      {"4096 x 4096 screen over one 1x1 frame", 4096, 4096, {.indices = {1}}},
      {"5000 x 5000 screen filled by one colour",
       5000,
       5000,
       {.width = 5000, .height = 5000, .indices = std::vector<uint8_t>(5000 * 5000, 2)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteGif(dir / "large.gif", c.width, c.height, kGlobal, {c.frame});
    auto decoder = Open(dir / "large.gif");
    ASSERT_NE(decoder, nullptr);
    PageGeometry geometry;
    ASSERT_TRUE(decoder->Probe(0, &geometry));
    EXPECT_EQ(geometry.width, c.width);
    EXPECT_EQ(geometry.height, c.height);
  }
}

TEST(GifDecoderTest, CountsOnlyCompleteFramesOfATruncatedFile) {
  TempDir dir;
  WriteGif(dir / "good.gif", 4, 2, kGlobal, DisposalFrames());
  const Bytes good = ReadBytes(dir / "good.gif");
  ASSERT_GT(good.size(), 6u);
  WriteBytes(dir / "cut.gif", Bytes(good.begin(), good.end() - 6));  // into the last frame
  auto decoder = Open(dir / "cut.gif");
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->PageCount(), 3);
  Page page;
  EXPECT_TRUE(ReadPage(*decoder, 2, &page));
}

TEST(GifDecoderTest, TenThousandFramesPageByPage) {
  TempDir dir;
  std::vector<TestFrame> frames(10000);
  for (int i = 0; i < 10000; ++i) frames[i].indices = {static_cast<uint8_t>(i % 4)};
  WriteGif(dir / "many.gif", 1, 1, kGlobal, frames);
  auto decoder = Open(dir / "many.gif");
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->PageCount(), 10000);
  for (int p = 0; p < 10000; ++p) {
    Page page;
    ASSERT_TRUE(ReadPage(*decoder, p, &page));
    const GifColorType& c = kGlobal[p % 4];
    ASSERT_EQ(page.pixels, Bytes({c.Red, c.Green, c.Blue})) << "page " << p;
  }
}

// Valid files giflib cannot read: an LZW minimum code size of 0.
const char* const kGiflibRefuses[] = {"pillow/issue_2811.gif"};

bool KnownRefusal(const std::filesystem::path& relative) {
  for (const char* name : kGiflibRefuses) {
    if (relative == name) return true;
  }
  return false;
}

TEST(GifDecoderTest, Corpus) {
  const std::filesystem::path corpus = XEVRA_SOURCE_DIR "/../shared/corpus";
  if (!std::filesystem::exists(corpus / "valid/gif")) GTEST_SKIP() << "no corpus at " << corpus;
  for (const char* group : {"valid/gif", "corrupt/gif"}) {
    int files = 0, refused = 0, pages = 0, failedPages = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus / group)) {
      if (!entry.is_regular_file()) continue;
      ++files;
      auto decoder = Open(entry.path().string());
      const bool valid = std::string(group) == "valid/gif";
      if (decoder == nullptr) {
        ++refused;
        const auto relative = entry.path().lexically_relative(corpus / group);
        if (valid && !KnownRefusal(relative)) ADD_FAILURE() << "refused: " << entry.path();
        continue;
      }
      for (int p = 0; p < decoder->PageCount(); ++p) {
        Page page;
        ++pages;
        if (!ReadPage(*decoder, p, &page)) {
          ++failedPages;
          if (valid) ADD_FAILURE() << "page " << p << " fails: " << entry.path();
        }
      }
    }
    std::cout << group << ": " << files << " files, " << refused << " refused, " << pages
              << " pages, " << failedPages << " pages failed\n";
  }
}

// Inputs the fuzzer once broke the decoder with: each must now decode or fail cleanly.
TEST(GifDecoderTest, FuzzRegressionsFailCleanly) {
  const std::filesystem::path folder = XEVRA_SOURCE_DIR "/tests/data/fuzz/gif";
  if (!std::filesystem::exists(folder)) GTEST_SKIP() << "no regression inputs in " << folder;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    auto decoder = Open(entry.path().string());
    for (int p = 0; decoder != nullptr && p < decoder->PageCount(); ++p) {
      Page page;
      ReadPage(*decoder, p, &page);
    }
  }
}

}  // namespace
