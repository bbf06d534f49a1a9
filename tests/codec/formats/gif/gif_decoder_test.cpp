#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/formats/formats.h"
#include "codec/image_interface.h"
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

// Returns true and page p of decoder, read in one call, in *out.
bool ReadPage(Decoder& decoder, int p, DecodedPage* out) {
  return DecodePage(&decoder, p, {}, 0, out) == DecodeStage::kDone;
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
    DecodedPage page;
    ASSERT_TRUE(ReadPage(*decoder, p, &page));
    EXPECT_EQ(page.layout, expected[p].layout);
    EXPECT_EQ(page.pixels, expected[p].pixels);
  }
  PageGeometry geometry;
  EXPECT_FALSE(decoder->Probe(4, &geometry));
  DecodedPage page;
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
    DecodedPage page;
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
    DecodedPage page;
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
  DecodedPage page;
  EXPECT_TRUE(ReadPage(*decoder, 2, &page));
}

TEST(GifDecoderTest, TenThousandFramesPageByPage) {
  TempDir dir;
  std::vector<TestFrame> frames(10000);
  for (int i = 0; i < 10000; ++i) frames[i].indices = {static_cast<uint8_t>(i % 4)};
  WriteGif(dir / "many.gif", 1, 1, kGlobal, frames);
  const long readsBefore = ReadSyscallCount();
  auto decoder = Open(dir / "many.gif");
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->PageCount(), 10000);
  for (int p = 0; p < 10000; ++p) {
    DecodedPage page;
    ASSERT_TRUE(ReadPage(*decoder, p, &page));
    const GifColorType& c = kGlobal[p % 4];
    ASSERT_EQ(page.pixels, Bytes({c.Red, c.Green, c.Blue})) << "page " << p;
  }
  // giflib asks for a few bytes at a time; the file (about 200 KB) is read in large pieces,
  // not in a system call or more per frame.
  if (readsBefore >= 0) {
    EXPECT_LT(ReadSyscallCount() - readsBefore, 100);
  }
}

// Splitting a file loads it again for every page. A Load of the file just closed, unchanged,
// continues with its decoder, which gives every page, in any order, exactly as a fresh one
// does; a file changed since in any way its identity shows is decoded afresh. A change that
// keeps the inode, size and time is not seen: that page still comes from the old content.
TEST(GifDecoderTest, LoadingTheClosedFileAgainContinuesOnlyWhenUnchanged) {
  namespace fs = std::filesystem;
  TempDir dir;
  const std::string a = dir / "a.gif", b = dir / "b.gif", out = dir / "out.bmp";
  WriteGif(a, 4, 2, kGlobal, DisposalFrames());
  WriteGif(b, 4, 2, {kWhite, kBlue, kGreen, kRed}, DisposalFrames());
  ASSERT_EQ(fs::file_size(a), fs::file_size(b));
  // Returns page of source as a BMP written through image, empty when a step failed.
  auto save = [&](CImageInterface& image, const std::string& source, int page) {
    _SAVEIMAGEINFO::_BMP info;
    InitSaveInfo(info);
    info.nPage = page;
    fs::remove(out);
    const bool saved = image.Load(source.c_str()) != 0 && image.Save(out.c_str(), &info) != 0;
    image.CloseHandle();
    return saved ? ReadBytes(out) : Bytes();
  };
  CImageInterface reused;
  for (int page : {0, 1, 2, 3, 3, 1, 2}) {
    CImageInterface fresh;
    const Bytes expected = save(fresh, a, page);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(save(reused, a, page), expected) << "page " << page;
  }

  CImageInterface fresh;
  const Bytes pageOfA = save(fresh, a, 1), pageOfB = save(fresh, b, 1);
  ASSERT_NE(pageOfA, pageOfB);
  const struct {
    const char* name;
    bool renamed, grown, timeKept, continued;
  } kChanges[] = {
      {"rewritten in place, size and time kept", false, false, true, true},
      {"rewritten in place, new time", false, false, false, false},
      {"renamed over, size and time kept", true, false, true, false},
      {"grown in place, time kept", false, true, true, false},
  };
  for (const auto& c : kChanges) {
    SCOPED_TRACE(c.name);
    const std::string source = dir / "source.gif", written = c.renamed ? dir / "new.gif" : source;
    fs::copy_file(a, source, fs::copy_options::overwrite_existing);
    const fs::file_time_type time = fs::last_write_time(source);
    CImageInterface image;
    ASSERT_FALSE(save(image, source, 0).empty());
    Bytes bytes = ReadBytes(b);
    if (c.grown) bytes.push_back(0);
    WriteBytes(written, bytes);
    fs::last_write_time(written, c.timeKept ? time : time + std::chrono::seconds(1));
    if (c.renamed) fs::rename(written, source);
    EXPECT_EQ(save(image, source, 1), c.continued ? pageOfA : pageOfB);
  }
}

// Packs LZW codes least significant bit first at the widths a GIF encoder uses: minimum + 1
// bits after a clear code, one more each time the next table entry reaches a power of two,
// at most 12; the table takes no entries past 4096.
Bytes PackCodes(int minCodeSize, const std::vector<int>& codes) {
  const int clear = 1 << minCodeSize;
  int width = minCodeSize + 1;
  int next = clear + 2;
  bool afterClear = true;
  uint32_t bits = 0;
  int bitCount = 0;
  Bytes out;
  for (int code : codes) {
    bits |= static_cast<uint32_t>(code) << bitCount;
    for (bitCount += width; bitCount >= 8; bitCount -= 8, bits >>= 8) out.push_back(bits & 0xff);
    if (code == clear) {
      width = minCodeSize + 1;
      next = clear + 2;
      afterClear = true;
    } else if (code != clear + 1) {
      if (!afterClear && next < 4096 && ++next == (1 << width) && width < 12) ++width;
      afterClear = false;
    }
  }
  if (bitCount > 0) out.push_back(bits & 0xff);
  return out;
}

// A frame of a hand-made GIF, at the screen's top left.
struct CodedFrame {
  int width = 1, height = 1;
  int minCodeSize = 9;
  std::vector<int> codes;
  int transparent = -1;
  int disposal = DISPOSAL_UNSPECIFIED;
  bool interlace = false;
};

// A GIF89a over kGlobal whose frames carry exactly the given codes, split in sub-blocks of
// blockSize bytes.
Bytes CodedGif(int width, int height, const std::vector<CodedFrame>& frames,
               size_t blockSize = 255) {
  auto le16 = [](Bytes* b, int v) { b->insert(b->end(), {uint8_t(v & 0xff), uint8_t(v >> 8)}); };
  Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
  le16(&b, width);
  le16(&b, height);
  b.insert(b.end(), {0x81, 0, 0});  // a global palette of 4 colours
  for (const GifColorType& c : kGlobal) b.insert(b.end(), {c.Red, c.Green, c.Blue});
  for (const CodedFrame& f : frames) {
    if (f.transparent >= 0 || f.disposal != DISPOSAL_UNSPECIFIED) {
      const uint8_t flags = static_cast<uint8_t>(f.disposal << 2 | (f.transparent >= 0 ? 1 : 0));
      b.insert(b.end(), {0x21, 0xf9, 4, flags, 0, 0, uint8_t(std::max(0, f.transparent)), 0});
    }
    b.push_back(0x2c);
    le16(&b, 0);
    le16(&b, 0);
    le16(&b, f.width);
    le16(&b, f.height);
    b.push_back(f.interlace ? 0x40 : 0);
    b.push_back(static_cast<uint8_t>(f.minCodeSize));
    const Bytes data = PackCodes(f.minCodeSize, f.codes);
    for (size_t i = 0; i < data.size(); i += blockSize) {
      const size_t n = std::min(blockSize, data.size() - i);
      b.push_back(static_cast<uint8_t>(n));
      b.insert(b.end(), data.begin() + i, data.begin() + i + n);
    }
    b.push_back(0);
  }
  b.push_back(0x3b);
  return b;
}

// 4000 literals fill the table of a code size 9 frame (widening its codes to 11 and then 12
// bits); codes to entries made of literal pairs then still work: entry 514 + j is literals j
// and j + 1.
CodedFrame FullTableFrame(Bytes* expectedRgb) {
  CodedFrame frame{.width = 4003, .minCodeSize = 9, .codes = {512}};
  std::vector<int> indices;
  for (int i = 0; i < 4000; ++i) indices.push_back((i * 7 + i / 5) % 4);
  frame.codes.insert(frame.codes.end(), indices.begin(), indices.end());
  frame.codes.insert(frame.codes.end(), {4095, 514});  // 4095 - 514 = 3581
  frame.codes.push_back(513);
  indices.insert(indices.end(), {indices[3581], indices[3582], indices[0]});  // width cuts at 4003
  for (int i : indices) {
    const GifColorType& c = kGlobal[i];
    expectedRgb->insert(expectedRgb->end(), {c.Red, c.Green, c.Blue});
  }
  return frame;
}

// giflib refuses LZW minimum code sizes above 8; frames with 9 to 11 decode like any other.
TEST(GifDecoderTest, DecodesFramesOfCodeSizesAboveEight) {
  Bytes fullTable;
  const CodedFrame full = FullTableFrame(&fullTable);
  const struct {
    const char* name;
    int width, height;
    std::vector<CodedFrame> frames;
    size_t blockSize;
    std::vector<Bytes> pages;
  } cases[] = {
      {"literals and a table entry",
       4,
       1,
       {{.width = 4, .codes = {512, 1, 2, 514, 513}}},
       255,
       {Rgb({kGreen, kBlue, kGreen, kBlue})}},
      {"a code defined by itself",
       3,
       1,
       {{.width = 3, .codes = {512, 3, 514, 513}}},
       255,
       {Rgb({kWhite, kWhite, kWhite})}},
      {"code size 11, an index past the palette is black",
       2,
       1,
       {{.width = 2, .minCodeSize = 11, .codes = {2048, 300, 0, 2049}}},
       255,
       {Rgb({kClear, kRed})}},
      {"no clear code first, no end code",
       2,
       1,
       {{.width = 2, .minCodeSize = 10, .codes = {1, 2}}},
       255,
       {Rgb({kGreen, kBlue})}},
      {"interlaced: rows stored as 0, 2, 1, 3",
       1,
       4,
       {{.height = 4, .codes = {512, 0, 1, 2, 3, 513}, .interlace = true}},
       255,
       {Rgb({kRed, kBlue, kGreen, kWhite})}},
      {"codes widen to 12 bits and the table fills, across small sub-blocks",
       4003,
       1,
       {full},
       7,
       {fullTable}},
      {"code sizes 2, 9 and 10: transparency, then disposal to previous",
       2,
       1,
       {{.width = 2, .minCodeSize = 2, .codes = {4, 1, 0, 5}},
        {.width = 2, .codes = {512, 0, 3, 513}, .transparent = 0, .disposal = DISPOSE_PREVIOUS},
        {.minCodeSize = 10, .codes = {1024, 2, 1025}}},
       255,
       {Rgb({kGreen, kRed}), Rgb({kGreen, kWhite}), Rgb({kBlue, kRed})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteBytes(dir / "wide.gif", CodedGif(c.width, c.height, c.frames, c.blockSize));
    auto decoder = Open(dir / "wide.gif");
    ASSERT_NE(decoder, nullptr);
    ASSERT_EQ(decoder->PageCount(), static_cast<int>(c.pages.size()));
    for (int p = static_cast<int>(c.pages.size()) - 1; p >= 0; --p) {
      DecodedPage page;
      ASSERT_TRUE(ReadPage(*decoder, p, &page)) << "page " << p;
      EXPECT_EQ(page.width, c.width);
      EXPECT_EQ(page.height, c.height);
      EXPECT_EQ(page.pixels, c.pages[p]) << "page " << p;
    }
  }
}

TEST(GifDecoderTest, BrokenFramesOfCodeSizesAboveEightFailCleanly) {
  const Bytes good = CodedGif(4, 1, {{.width = 4, .codes = {512, 1, 2, 514, 513}}});
  const struct {
    const char* name;
    Bytes bytes;
    int pages;     // counted at open, 0 when refused
    bool decodes;  // whether the last counted page decodes
  } cases[] = {
      {"data cut short", Bytes(good.begin(), good.end() - 4), 0, false},
      {"code size 12", CodedGif(1, 1, {{.minCodeSize = 12, .codes = {1}}}), 0, false},
      {"code size 12 ends the frames",
       CodedGif(1, 1, {{.codes = {512, 1, 513}}, {.minCodeSize = 12, .codes = {1}}}), 1, true},
      {"a code past the table", CodedGif(4, 1, {{.width = 4, .codes = {512, 1, 600, 513}}}), 1,
       false},
      {"a table code straight after a clear", CodedGif(2, 1, {{.width = 2, .codes = {512, 514}}}),
       1, false},
      {"end code before the last pixel", CodedGif(4, 1, {{.width = 4, .codes = {512, 1, 2, 513}}}),
       1, false},
      {"no data at all", CodedGif(4, 1, {{.width = 4, .codes = {}}}), 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteBytes(dir / "bad.gif", c.bytes);
    auto decoder = Open(dir / "bad.gif");
    if (c.pages == 0) {
      EXPECT_EQ(decoder, nullptr);
      continue;
    }
    ASSERT_NE(decoder, nullptr);
    ASSERT_EQ(decoder->PageCount(), c.pages);
    DecodedPage page;
    EXPECT_EQ(ReadPage(*decoder, c.pages - 1, &page), c.decodes);
  }
}

// A 100x100 frame written with code size 11; the expected colours come from an independent
// LZW decode of the file and its palette.
TEST(GifDecoderTest, CorpusFrameOfCodeSizeEleven) {
  const std::filesystem::path path =
      XEVRA_SOURCE_DIR "/../shared/corpus/valid/gif/pillow/issue_2811.gif";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no corpus file " << path;
  auto decoder = Open(path.string());
  ASSERT_NE(decoder, nullptr);
  ASSERT_EQ(decoder->PageCount(), 1);
  DecodedPage page;
  ASSERT_TRUE(ReadPage(*decoder, 0, &page));
  ASSERT_EQ(page.width, 100);
  ASSERT_EQ(page.height, 100);
  ASSERT_EQ(page.layout, PixelLayout::kRGB8);
  const struct {
    int x, y;
    GifColorType rgb;
  } samples[] = {
      {0, 0, {56, 56, 56}},  {1, 0, {48, 48, 48}}, {2, 0, {32, 32, 40}},
      {3, 0, {32, 32, 32}},  {4, 0, {32, 24, 40}}, {5, 0, {32, 24, 32}},
      {99, 0, {80, 72, 72}}, {0, 1, {56, 48, 48}}, {99, 99, {168, 168, 184}},
  };
  for (const auto& s : samples) {
    const size_t at = (static_cast<size_t>(s.y) * 100 + s.x) * 3;
    EXPECT_EQ(Bytes(page.pixels.begin() + at, page.pixels.begin() + at + 3), Rgb({s.rgb}))
        << "pixel " << s.x << "," << s.y;
  }
}

}  // namespace
