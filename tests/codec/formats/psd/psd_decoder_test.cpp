#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/registry.h"
#include "codec/test_image.h"
#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

const fs::path kPsdCorpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "next";

void AppendBe16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v));
}

// Returns row as PackBits: runs of three or more equal bytes repeated, the rest literal.
std::string PackBits(const std::string& row) {
  std::string out;
  size_t i = 0;
  while (i < row.size()) {
    size_t run = 1;
    while (i + run < row.size() && run < 128 && row[i + run] == row[i]) ++run;
    if (run >= 3) {
      out.push_back(static_cast<char>(1 - static_cast<int>(run)));
      out.push_back(row[i]);
      i += run;
      continue;
    }
    size_t literal = 0;
    while (i + literal < row.size() && literal < 128 &&
           !(i + literal + 2 < row.size() && row[i + literal] == row[i + literal + 1] &&
             row[i + literal] == row[i + literal + 2])) {
      ++literal;
    }
    out.push_back(static_cast<char>(literal - 1));
    out.append(row, i, literal);
    i += literal;
  }
  return out;
}

// A Photoshop document built byte by byte: planes hold each channel's stored rows.
struct Psd {
  int version = 1;
  int width = 3;
  int height = 2;
  int depth = 8;
  int mode = 3;
  int compression = 0;
  std::vector<std::string> planes;
  std::string modeData;
  std::string resources;
  std::optional<int> layerCount;
  // Replaces PackBits rows (channel, row) by these bytes, for damaged data.
  std::function<void(int, int, std::string*)> damage;

  size_t RowBytes() const {
    return static_cast<size_t>(depth == 1 ? (width + 7) / 8 : width * depth / 8);
  }
  Psd& Resource(int id, const std::string& data) {
    resources += "8BIM";
    AppendBe16(resources, id);
    resources += std::string(2, '\0');  // empty name, padded
    AppendBe32(resources, static_cast<uint32_t>(data.size()));
    resources += data;
    if (data.size() % 2 != 0) resources.push_back('\0');
    return *this;
  }
  std::string Build() const {
    std::string s = "8BPS";
    AppendBe16(s, version);
    s += std::string(6, '\0');
    AppendBe16(s, static_cast<uint32_t>(planes.size()));
    AppendBe32(s, height);
    AppendBe32(s, width);
    AppendBe16(s, depth);
    AppendBe16(s, mode);
    AppendBe32(s, static_cast<uint32_t>(modeData.size()));
    s += modeData;
    AppendBe32(s, static_cast<uint32_t>(resources.size()));
    s += resources;
    std::string layers;
    if (layerCount) {
      if (version == 2) AppendBe32(layers, 0);
      AppendBe32(layers, 2);
      AppendBe16(layers, static_cast<uint16_t>(*layerCount));
      AppendBe32(layers, 0);  // global layer mask
    }
    if (version == 2) AppendBe32(s, 0);
    AppendBe32(s, static_cast<uint32_t>(layers.size()));
    s += layers;
    AppendBe16(s, compression);
    if (compression != 1) {
      for (const std::string& plane : planes) s += plane;
      return s;
    }
    std::string table, data;
    for (size_t c = 0; c < planes.size(); ++c) {
      for (int y = 0; y < height; ++y) {
        std::string row = PackBits(planes[c].substr(y * RowBytes(), RowBytes()));
        if (damage) damage(static_cast<int>(c), y, &row);
        if (version == 2) AppendBe32(table, static_cast<uint32_t>(row.size()));
        if (version == 1) AppendBe16(table, static_cast<uint32_t>(row.size()));
        data += row;
      }
    }
    return s + table + data;
  }
};

std::string Plane(std::initializer_list<int> samples) {
  std::string s;
  for (int v : samples) s.push_back(static_cast<char>(v));
  return s;
}

std::string Plane16(std::initializer_list<int> samples) {
  std::string s;
  for (int v : samples) AppendBe16(s, static_cast<uint32_t>(v));
  return s;
}

// The decoder contract suite's sample: RGB in PackBits, a flat band and a gradient, so that
// rows mix runs and literals and each channel keeps its own read position.
[[maybe_unused]] const bool kSampleAdded =
    AddFormatSample("psd", {1, [](const std::string& path) {
                              Psd psd;
                              psd.width = kSampleWidth;
                              psd.height = kSampleHeight;
                              psd.compression = 1;
                              psd.planes.resize(3);
                              for (int c = 0; c < 3; ++c) {
                                for (int i = 0; i < kSampleWidth * kSampleHeight; ++i) {
                                  const int x = i % kSampleWidth;
                                  psd.planes[c].push_back(
                                      static_cast<char>(x < 9 ? 40 * c : x * 11 + i / 5 + c * 70));
                                }
                              }
                              WriteFile(path, psd.Build());
                            }});

// Decodes page 0 of the file made of bytes, band rows per read.
DecodeStage DecodeBytes(const std::string& bytes, int band, DecodedPage* out,
                        Failure* failure = nullptr) {
  return ::DecodeBytes(bytes, "test.psd", 0, band, out, failure);
}

Psd Rgb(int compression = 0, int version = 1) {
  Psd psd;
  psd.version = version;
  psd.compression = compression;
  psd.planes = {Plane({1, 2, 3, 4, 4, 4}), Plane({10, 20, 30, 40, 50, 60}),
                Plane({0, 0, 0, 255, 255, 255})};
  return psd;
}
const Bytes kRgbPixels = {1, 10, 0, 2, 20, 0, 3, 30, 0, 4, 40, 255, 4, 50, 255, 4, 60, 255};

struct ModeCase {
  const char* name;
  Psd psd;
  PixelLayout layout;
  Bytes expected;
};

std::vector<ModeCase> ModeCases() {
  std::vector<ModeCase> cases = {
      {"RGB raw", Rgb(), PixelLayout::kRGB8, kRgbPixels},
      {"RGB PackBits", Rgb(1), PixelLayout::kRGB8, kRgbPixels},
      {"PSB: 8-byte layer section length, 4-byte row counts", Rgb(1, 2), PixelLayout::kRGB8,
       kRgbPixels},
  };
  Psd psd = Rgb(1, 2);
  psd.layerCount = 3;
  cases.push_back({"PSB with layers", psd, PixelLayout::kRGB8, kRgbPixels});

  psd = Psd{};
  psd.depth = 16;
  psd.compression = 1;
  psd.planes = {Plane16({0xffff, 0x1234, 0x0080, 0x7f80, 0x0000, 0x8100}),
                Plane16({0, 0, 0, 0, 0, 0}), Plane16({0x0101, 0x0202, 0, 0, 0, 0})};
  cases.push_back({"16 bits: the nearest 8-bit value",
                   psd,
                   PixelLayout::kRGB8,
                   {255, 0, 1, 18, 0, 2, 0, 0, 0, 127, 0, 0, 0, 0, 0, 128, 0, 0}});

  psd = Psd{};
  psd.mode = 4;
  psd.width = 1;
  psd.height = 1;
  psd.planes = {Plane({255}), Plane({0}), Plane({200}), Plane({55})};
  cases.push_back({"CMYK stored inverted", psd, PixelLayout::kCMYK8, {0, 255, 55, 200}});
  psd.planes.push_back(Plane({0}));
  psd.layerCount = -1;
  cases.push_back({"CMYK: its transparency is already blended in",
                   psd,
                   PixelLayout::kCMYK8,
                   {0, 255, 55, 200}});

  psd = Psd{};
  psd.mode = 1;
  psd.width = 7;
  psd.compression = 1;
  psd.planes = {Plane({9, 9, 9, 9, 9, 1, 2, 3, 4, 5, 5, 5, 5, 5})};
  cases.push_back({"gray PackBits, runs and literals",
                   psd,
                   PixelLayout::kG8,
                   {9, 9, 9, 9, 9, 1, 2, 3, 4, 5, 5, 5, 5, 5}});
  psd.mode = 8;
  cases.push_back(
      {"duotone read as gray", psd, PixelLayout::kG8, {9, 9, 9, 9, 9, 1, 2, 3, 4, 5, 5, 5, 5, 5}});

  psd = Psd{};
  psd.mode = 0;
  psd.depth = 1;
  psd.width = 10;
  psd.height = 1;
  psd.planes = {Plane({0b10100000, 0b01000000})};
  cases.push_back({"bitmap: a set bit is black",
                   psd,
                   PixelLayout::kG8,
                   {0, 255, 0, 255, 255, 255, 255, 255, 255, 0}});

  psd = Psd{};
  psd.mode = 2;
  psd.width = 3;
  psd.height = 1;
  psd.modeData = std::string(768, '\0');
  for (int i = 0; i < 3; ++i) {
    psd.modeData[i] = static_cast<char>(10 + i);
    psd.modeData[256 + i] = static_cast<char>(20 + i);
    psd.modeData[512 + i] = static_cast<char>(30 + i);
  }
  psd.planes = {Plane({2, 0, 1})};
  cases.push_back({"indexed: three palette planes",
                   psd,
                   PixelLayout::kRGB8,
                   {12, 22, 32, 10, 20, 30, 11, 21, 31}});
  psd.Resource(1047, Plane({0, 1}));
  cases.push_back({"indexed with a transparent entry",
                   psd,
                   PixelLayout::kRGBA8,
                   {12, 22, 32, 255, 10, 20, 30, 255, 11, 21, 31, 0}});

  // A transparent document stores its composite blended onto white.
  psd = Psd{};
  psd.width = 3;
  psd.height = 1;
  psd.planes = {Plane({255, 191, 10}), Plane({255, 255, 20}), Plane({255, 127, 30}),
                Plane({0, 128, 255})};
  psd.layerCount = -2;
  cases.push_back({"negative layer count: the first extra channel is transparency",
                   psd,
                   PixelLayout::kRGBA8,
                   {255, 255, 255, 0, 128, 255, 0, 128, 10, 20, 30, 255}});
  psd.layerCount = 2;
  cases.push_back({"positive layer count: extra channels are not shown",
                   psd,
                   PixelLayout::kRGB8,
                   {255, 255, 255, 191, 255, 127, 10, 20, 30}});
  psd.layerCount.reset();
  cases.push_back({"no layers: extra channels are not shown",
                   psd,
                   PixelLayout::kRGB8,
                   {255, 255, 255, 191, 255, 127, 10, 20, 30}});
  psd.mode = 1;
  psd.planes = {Plane({255, 191, 10}), Plane({0, 128, 255}), Plane({1, 2, 3})};
  psd.layerCount = -1;
  cases.push_back({"gray with transparency", psd, PixelLayout::kGA8, {255, 0, 128, 128, 10, 255}});
  return cases;
}

TEST(PsdDecoderTest, EachModeDecodesExactly) {
  for (const ModeCase& c : ModeCases()) {
    SCOPED_TRACE(c.name);
    for (int band : {1, 0}) {
      DecodedPage page;
      Failure failure;
      ASSERT_EQ(DecodeBytes(c.psd.Build(), band, &page, &failure), DecodeStage::kDone)
          << failure.text;
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

// Returns the document built with change applied to the RGB sample.
std::string RgbWith(const std::function<void(Psd&)>& change, int compression = 0) {
  Psd psd = Rgb(compression);
  change(psd);
  return psd.Build();
}

// Returns bytes with the big-endian 16- or 32-bit field at offset set to value.
std::string Patched(std::string bytes, size_t offset, uint32_t value, int size = 4) {
  std::string field;
  if (size == 4) AppendBe32(field, value);
  if (size == 2) AppendBe16(field, value);
  return bytes.replace(offset, field.size(), field);
}

TEST(PsdDecoderTest, BadFilesFailWithTheirReason) {
  const std::string rgb = Rgb().Build();
  const std::string packed = Rgb(1).Build();
  const BadCase cases[] = {
      {"header cut", rgb.substr(0, 20), DecodeStage::kOpen, FailureKind::kTruncated},
      {"no channels", Patched(rgb, 12, 0, 2), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"57 channels", Patched(rgb, 12, 57, 2), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"zero width", Patched(rgb, 18, 0), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"PSD wider than 30000", Patched(rgb, 18, 30001), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"PSB wider than 300000", Patched(Rgb(0, 2).Build(), 18, 300001), DecodeStage::kOpen,
       FailureKind::kCorrupt},
      {"PSB over the pixel limit", Patched(Patched(Rgb(0, 2).Build(), 18, 300000), 14, 300000),
       DecodeStage::kOpen, FailureKind::kTooLarge},
      {"RGB in two channels", RgbWith([](Psd& p) { p.planes.pop_back(); }), DecodeStage::kOpen,
       FailureKind::kCorrupt},
      {"32-bit floating point", Patched(rgb, 22, 32, 2), DecodeStage::kOpen,
       FailureKind::kUnsupported},
      {"12 bits", Patched(rgb, 22, 12, 2), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"bitmap of 8 bits", Patched(rgb, 24, 0, 2), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"Lab", Patched(rgb, 24, 9, 2), DecodeStage::kOpen, FailureKind::kUnsupported},
      {"multichannel", Patched(rgb, 24, 7, 2), DecodeStage::kOpen, FailureKind::kUnsupported},
      {"unknown colour mode", Patched(rgb, 24, 5, 2), DecodeStage::kOpen, FailureKind::kCorrupt},
      {"indexed without a palette", Patched(rgb, 24, 2, 2), DecodeStage::kOpen,
       FailureKind::kCorrupt},
      {"ZIP composite", RgbWith([](Psd& p) { p.compression = 2; }), DecodeStage::kOpen,
       FailureKind::kUnsupported},
      {"unknown compression", RgbWith([](Psd& p) { p.compression = 4; }), DecodeStage::kOpen,
       FailureKind::kCorrupt},
      {"resources longer than the file", Patched(rgb, 30, 1000), DecodeStage::kOpen,
       FailureKind::kTruncated},
      {"layer section longer than the file", Patched(rgb, 34, 1000), DecodeStage::kOpen,
       FailureKind::kTruncated},
      {"raw data cut", rgb.substr(0, rgb.size() - 1), DecodeStage::kRead, FailureKind::kTruncated},
      {"row count table cut", packed.substr(0, 40 + 6), DecodeStage::kStart,
       FailureKind::kTruncated},
      {"PackBits data cut", packed.substr(0, packed.size() - 1), DecodeStage::kRead,
       FailureKind::kTruncated},
      {"a repeat run past the row's end",
       RgbWith(
           [](Psd& p) {
             p.damage = [](int c, int y, std::string* row) {
               if (c == 1 && y == 1) *row = Plane({0xfd, 7});  // 4 bytes
             };
           },
           1),
       DecodeStage::kRead, FailureKind::kCorrupt},
      {"a literal run past the row's end",
       RgbWith(
           [](Psd& p) {
             p.damage = [](int c, int y, std::string* row) {
               if (c == 2 && y == 0) *row = Plane({3, 1, 2, 3, 4});
             };
           },
           1),
       DecodeStage::kRead, FailureKind::kCorrupt},
      {"a row whose byte count ends before the row",
       RgbWith(
           [](Psd& p) {
             p.damage = [](int c, int y, std::string* row) {
               if (c == 0 && y == 1) *row = Plane({0xff, 7});  // 2 of 3 bytes
             };
           },
           1),
       DecodeStage::kRead, FailureKind::kCorrupt},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPage page;
    Failure failure;
    EXPECT_EQ(DecodeBytes(c.file, 1, &page, &failure), c.stage);
    EXPECT_EQ(failure.kind, c.kind) << failure.text;
  }
}

TEST(PsdDecoderTest, CarriesTheProfileAndExifOver) {
  std::string exif("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0", 26);
  Psd psd = Rgb(1);
  psd.Resource(1000, "odd").Resource(1039, "profile").Resource(1058, "Exif\0\0"s + exif);
  DecodedPage page;
  ASSERT_EQ(DecodeBytes(psd.Build(), 0, &page), DecodeStage::kDone);
  EXPECT_EQ(std::string(page.icc.begin(), page.icc.end()), "profile");
  EXPECT_EQ(std::string(page.exif.begin(), page.exif.end()), exif);
  EXPECT_EQ(page.orientation, 6);
  EXPECT_EQ(page.pixels, kRgbPixels);
}

// Returns ImageMagick's decode of the file's composite: RGB flattened onto white from a PPM,
// or raw CMYK ink; empty when it fails.
Bytes ImageMagickDecode(const std::string& convert, const fs::path& file, bool cmyk, int* width,
                        int* height) {
  const std::vector<std::string> args =
      cmyk ? std::vector<std::string>{file.string() + "[0]", "-depth", "8", "cmyk:-"}
           : std::vector<std::string>{file.string() + "[0]",
                                      "-background",
                                      "white",
                                      "-alpha",
                                      "remove",
                                      "-depth",
                                      "8",
                                      "ppm:-"};
  ProcessResult r = RunProgram(convert, args, "/");
  if (r.exitCode != 0) return {};
  if (cmyk) return Bytes(r.out.begin(), r.out.end());
  int maxval = 0, consumed = 0;
  if (std::sscanf(r.out.c_str(), "P6 %d %d %d%n", width, height, &maxval, &consumed) != 3 ||
      maxval != 255) {
    return {};
  }
  return Bytes(r.out.begin() + consumed + 1, r.out.end());
}

// The corpus documents against ImageMagick's decode, as they look on white.
TEST(PsdDecoderTest, RealFilesMatchImageMagick) {
  const std::string convert = "/usr/bin/convert";
  if (!fs::exists(convert)) GTEST_SKIP() << "ImageMagick (package imagemagick) is not installed";
  if (!fs::is_directory(kPsdCorpus / "valid/psd")) GTEST_SKIP() << "no corpus";
  struct RealCase {
    const char* file;
    bool cmyk;  // compared as ink, before any colour conversion
  } cases[] = {
      {"file-type/fixture.psd", false},
      {"metadata-extractor/10x12x16bit-CMYK.psd", true},
      {"metadata-extractor/8x4x8bit-Grayscale.psd", false},
      {"oiio-images/psd_123.psd", false},
      {"oiio-images/psd_bitmap.psd", false},
      // oiio-images/psd_indexed_trans.psd: ImageMagick does not read it.
      {"oiio-images/psd_rgb_16.psd", false},
      {"oiio-images/psd_rgb_8.psd", false},
      {"oiio-images/psd_rgba_8.psd", false},
      {"pillow/five_channels.psd", false},
      {"pillow/hopper.psd", false},
      {"pillow/hopper_merged.psd", false},
      {"pillow/rgba.psd", false},
  };
  for (const RealCase& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path path = kPsdCorpus / "valid/psd" / c.file;
    int width = 0, height = 0;
    const Bytes reference = ImageMagickDecode(convert, path, c.cmyk, &width, &height);
    ASSERT_FALSE(reference.empty());
    auto decoder = OpenDecoder(path.c_str());
    ASSERT_NE(decoder, nullptr);
    Bytes ours;
    if (c.cmyk) {
      DecodedPage page;
      ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 5, &page), DecodeStage::kDone);
      ASSERT_EQ(page.layout, PixelLayout::kCMYK8);
      ours = page.pixels;
    } else {
      Image image;
      ASSERT_TRUE(RunPipeline(*decoder, Header(), 3, &image));
      EXPECT_EQ(image.width, width);
      EXPECT_EQ(image.height, height);
      ours = image.pixels;
    }
    EXPECT_GE(Psnr(ours, reference), 35.0);
  }
}

}  // namespace
