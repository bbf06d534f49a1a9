#include "codec/formats/jp2/jp2_decoder.h"

#include <gtest/gtest.h>
#include <openjpeg.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/formats.h"
#include "codec/formats/jp2/jp2_session.h"
#include "codec/formats/registry.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kValid =
    fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "next" / "valid" / "jp2";

// What a file made with OpenJPEG's encoder holds: width x height RGB (or grey) in tiles of
// tile x tile (0: one tile), with `levels` wavelet levels (each one more resolution to reduce to).
struct Made {
  int width = kSampleWidth;
  int height = kSampleHeight;
  int tile = 0;
  int levels = 5;
  int components = 3;
  bool codestream = false;  // a bare codestream instead of a JP2 file
  int originY = 0;          // the image's top on the reference grid
  int chromaStep = 1;       // subsampling of the second and third components, both ways
};

// Returns sample c of the made picture at x, y.
int MadeSample(int x, int y, int c) { return (x * 9 + y * 5 + c * 70) & 255; }

void WriteJp2(const std::string& path, const Made& made) {
  std::vector<opj_image_cmptparm_t> parameters(static_cast<size_t>(made.components));
  for (size_t c = 0; c < parameters.size(); ++c) {
    opj_image_cmptparm_t& p = parameters[c];
    std::memset(&p, 0, sizeof p);
    const int step = c > 0 ? made.chromaStep : 1;
    p.dx = p.dy = static_cast<OPJ_UINT32>(step);
    p.y0 = static_cast<OPJ_UINT32>((made.originY + step - 1) / step);
    p.w = static_cast<OPJ_UINT32>((made.width + step - 1) / step);
    p.h = static_cast<OPJ_UINT32>((made.originY + made.height + step - 1) / step) - p.y0;
    p.prec = 8;
  }
  std::unique_ptr<opj_image_t, OpjImageFree> image(
      opj_image_create(static_cast<OPJ_UINT32>(made.components), parameters.data(),
                       made.components == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY));
  ASSERT_NE(image, nullptr);
  image->y0 = static_cast<OPJ_UINT32>(made.originY);
  image->x1 = static_cast<OPJ_UINT32>(made.width);
  image->y1 = static_cast<OPJ_UINT32>(made.originY + made.height);
  for (int c = 0; c < made.components; ++c) {
    const int w = static_cast<int>(image->comps[c].w), h = static_cast<int>(image->comps[c].h);
    for (int i = 0; i < w * h; ++i) image->comps[c].data[i] = MadeSample(i % w, i / w, c);
  }
  opj_cparameters_t settings;
  opj_set_default_encoder_parameters(&settings);
  settings.numresolution = made.levels + 1;
  settings.tcp_numlayers = 1;
  settings.tcp_rates[0] = 0;  // lossless
  settings.cp_disto_alloc = 1;
  if (made.tile > 0) {
    settings.tile_size_on = OPJ_TRUE;
    settings.cp_tdx = settings.cp_tdy = made.tile;
  }
  std::unique_ptr<opj_codec_t, OpjCodecFree> codec(
      opj_create_compress(made.codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
  ASSERT_TRUE(opj_setup_encoder(codec.get(), &settings, image.get()));
  std::unique_ptr<opj_stream_t, OpjStreamFree> stream(
      opj_stream_create_default_file_stream(path.c_str(), OPJ_FALSE));
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(opj_start_compress(codec.get(), image.get(), stream.get()));
  ASSERT_TRUE(opj_encode(codec.get(), stream.get()));
  ASSERT_TRUE(opj_end_compress(codec.get(), stream.get()));
}

// The contract suite's sample is tiled, so that its rows come from several rows of tiles.
[[maybe_unused]] const bool kSampleAdded = AddFormatSample(
    "jp2", {1, [](const std::string& path) { WriteJp2(path, {.tile = 8, .levels = 2}); }});

double Psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

// Returns page as RGB the way ImageMagick writes a PPM: alpha over white, CMYK without a profile.
Bytes AsRgbOnWhite(const DecodedPage& page) {
  Bytes rgb;
  const int channels = ChannelCount(page.layout);
  for (size_t i = 0; i + channels <= page.pixels.size(); i += channels) {
    const uint8_t* p = &page.pixels[i];
    int v[3] = {0, 0, 0};
    int alpha = 255;
    switch (page.layout) {
      case PixelLayout::kG8:
      case PixelLayout::kGA8:
        v[0] = v[1] = v[2] = p[0];
        if (page.layout == PixelLayout::kGA8) alpha = p[1];
        break;
      case PixelLayout::kRGB8:
      case PixelLayout::kRGBA8:
        v[0] = p[0], v[1] = p[1], v[2] = p[2];
        if (page.layout == PixelLayout::kRGBA8) alpha = p[3];
        break;
      case PixelLayout::kCMYK8:
        for (int c = 0; c < 3; ++c) v[c] = (255 - p[c]) * (255 - p[3]) / 255;
        break;
    }
    for (int c = 0; c < 3; ++c)
      rgb.push_back(static_cast<uint8_t>((v[c] * alpha + 255 * (255 - alpha) + 127) / 255));
  }
  return rgb;
}

// ImageMagick's decode of path as 8-bit RGB over white; false when it has none.
bool ImageMagickReference(const fs::path& path, int* width, int* height, Bytes* rgb) {
  ProcessResult r = RunProgram(
      "/usr/bin/convert",
      {path.string(), "-background", "white", "-alpha", "remove", "-depth", "8", "ppm:-"}, "/");
  int maxval = 0, consumed = 0;
  if (r.exitCode != 0 ||
      std::sscanf(r.out.c_str(), "P6 %d %d %d%n", width, height, &maxval, &consumed) != 3 ||
      maxval != 255) {
    return false;
  }
  const size_t bytes = static_cast<size_t>(*width) * static_cast<size_t>(*height) * 3;
  if (r.out.size() < consumed + 1 + bytes) return false;
  rgb->assign(r.out.end() - static_cast<std::ptrdiff_t>(bytes), r.out.end());
  return true;
}

// OpenJPEG's own tool's decode of path (opj_decompress, components upsampled) as 8-bit RGB;
// false when it has none. It writes a grey picture as PGM, whose samples are repeated here.
bool OpjDecompressReference(const fs::path& path, int* width, int* height, Bytes* rgb) {
  TempDir dir;
  for (const char* name : {"out.ppm", "out.pgm"}) {
    RunProgram("/usr/bin/opj_decompress", {"-i", path.string(), "-upsample", "-o", dir / name},
               "/");
    const std::string data = ReadFile(dir / name);
    if (data.size() < 2) continue;
    const int channels = data[1] == '6' ? 3 : 1;
    size_t at = 2;
    int values[3] = {}, count = 0;
    while (count < 3 && at < data.size()) {
      if (data[at] == '#') {
        while (at < data.size() && data[at] != '\n') ++at;
      } else if (std::isdigit(static_cast<unsigned char>(data[at]))) {
        values[count++] = std::atoi(data.c_str() + at);
        while (at < data.size() && std::isdigit(static_cast<unsigned char>(data[at]))) ++at;
        continue;
      }
      ++at;
    }
    ++at;  // the one white space after the maximum value
    *width = values[0], *height = values[1];
    const int bytes = values[2] > 255 ? 2 : 1;
    const size_t samples = size_t(*width) * size_t(*height) * size_t(channels);
    if (count < 3 || data.size() < at + samples * bytes) return false;
    rgb->clear();
    for (size_t i = 0; i < samples; ++i) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data()) + at + i * bytes;
      const int v = bytes == 1 ? p[0] : (p[0] << 8 | p[1]);
      const uint8_t v8 = static_cast<uint8_t>((v * 255 + values[2] / 2) / values[2]);
      for (int k = 0; k < 4 - channels; ++k) rgb->push_back(v8);
    }
    return true;
  }
  return false;
}

// The real samples decode upright, at their size, to the colours of a peer's decode: ImageMagick's,
// or OpenJPEG's own tool's where ImageMagick cuts the image origin offset off twice or refuses it.
TEST(Jp2DecoderTest, RealFilesMatchAReferenceDecode) {
  if (!fs::is_directory(kValid)) GTEST_SKIP() << "no corpus at " << kValid;
  if (access("/usr/bin/convert", X_OK) != 0) GTEST_SKIP() << "ImageMagick (imagemagick) absent";
  if (access("/usr/bin/opj_decompress", X_OK) != 0) {
    GTEST_SKIP() << "opj_decompress (libopenjp2-tools) absent";
  }
  struct RealCase {
    const char* file;
    int width, height;  // x1 - x0 by y1 - y0
    PixelLayout layout;
    bool byOpenJpeg = false;  // compared with opj_decompress rather than ImageMagick
  } cases[] = {
      {"exiv2/Reagan.jp2", 200, 130, PixelLayout::kRGB8},
      {"libvips/Bretagne2_4.j2k", 2592, 1944, PixelLayout::kRGB8, true},  // origin (150,300)
      {"libvips/issue412.jp2", 256, 100, PixelLayout::kRGB8},             // palette
      {"libvips/palette.jp2", 64, 64, PixelLayout::kRGB8},
      {"libvips/world.jp2", 800, 400, PixelLayout::kRGB8},
      {"openjpeg-data/Marrin.jp2", 135, 135, PixelLayout::kGA8},
      {"openjpeg-data/basn6a08.jp2", 32, 32, PixelLayout::kRGBA8},
      {"openjpeg-data/buxI.j2k", 512, 512, PixelLayout::kG8},     // 16-bit
      {"openjpeg-data/byte.jph", 20, 20, PixelLayout::kG8},       // HTJ2K
      {"openjpeg-data/file2.jp2", 480, 640, PixelLayout::kRGB8},  // sYCC
      {"openjpeg-data/file3.jp2", 480, 640, PixelLayout::kRGB8},  // sYCC 4:2:0
      {"openjpeg-data/file4.jp2", 768, 512, PixelLayout::kG8},
      {"openjpeg-data/file6.jp2", 768, 512, PixelLayout::kG8},    // 12-bit
      {"openjpeg-data/file9.jp2", 768, 512, PixelLayout::kRGB8},  // palette
      {"openjpeg-data/issue104_jpxstream.jp2", 479, 203, PixelLayout::kRGB8},
      {"openjpeg-data/issue142.j2k", 1920, 1080, PixelLayout::kRGB8, true},  // YCC 4:2:2
      {"openjpeg-data/issue205.jp2", 540, 785, PixelLayout::kCMYK8, true},
      {"openjpeg-data/p0_03.j2k", 256, 256, PixelLayout::kG8},  // 4-bit signed
      {"openjpeg-data/p0_06.j2k", 513, 129, PixelLayout::kRGBA8},
      {"openjpeg-data/p1_01.j2k", 122, 99, PixelLayout::kG8, true},     // origin, subsampled
      {"openjpeg-data/p1_05.j2k", 512, 512, PixelLayout::kRGB8, true},  // origins, 225 tiles
      {"openjpeg-data/p1_04.j2k", 1024, 1024, PixelLayout::kG8},        // 64 tiles
      {"openjpeg-data/p1_06.j2k", 12, 12, PixelLayout::kRGB8},          // 16 tiles of 3x3
      {"openjpeg-data/pacs.ge.j2k", 512, 512, PixelLayout::kG8},        // 16-bit signed
      {"openjpeg-data/small_world_non_consecutive_tilepart_tlm.jp2", 400, 200, PixelLayout::kRGB8},
      {"openjpeg-data/text_GBR.jp2", 400, 400, PixelLayout::kRGB8},
      {"pillow/16bit.cropped.jp2", 64, 64, PixelLayout::kG8},
      {"pillow/9bit.j2k", 128, 128, PixelLayout::kG8},
      {"pillow/rgb_trns_ycbc.jp2", 64, 64, PixelLayout::kRGBA8},
      {"pillow/test-card-lossy-tiled.jp2", 640, 480, PixelLayout::kRGB8},
      {"sharp/relax_tileparts.jp2", 320, 240, PixelLayout::kRGB8},
      {"openjpeg-data/issue559-eci-091-CIELab.jp2", 424, 212, PixelLayout::kRGB8, true},  // D65
  };
  for (const RealCase& c : cases) {
    SCOPED_TRACE(c.file);
    auto decoder = OpenDecoder((kValid / c.file).c_str());
    ASSERT_NE(decoder, nullptr);
    DecodedPage page;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 13, &page), DecodeStage::kDone);
    EXPECT_EQ(page.width, c.width);
    EXPECT_EQ(page.height, c.height);
    EXPECT_EQ(page.layout, c.layout);
    int width = 0, height = 0;
    Bytes reference;
    ASSERT_TRUE(c.byOpenJpeg ? OpjDecompressReference(kValid / c.file, &width, &height, &reference)
                             : ImageMagickReference(kValid / c.file, &width, &height, &reference));
    ASSERT_EQ(width, page.width);
    ASSERT_EQ(height, page.height);
    Bytes decoded = AsRgbOnWhite(page);
    if (c.byOpenJpeg) {
      // opj_decompress leaves the columns before a subsampled component's first sample black
      // (p1_01's first); the decoder repeats that sample. The first column is not compared.
      auto dropFirstColumn = [&](const Bytes& rgb) {
        Bytes out;
        for (size_t y = 0; y < size_t(height); ++y) {
          out.insert(out.end(), rgb.begin() + ptrdiff_t((y * width + 1) * 3),
                     rgb.begin() + ptrdiff_t((y + 1) * width * 3));
        }
        return out;
      };
      decoded = dropFirstColumn(decoded);
      reference = dropFirstColumn(reference);
    }
    EXPECT_GE(Psnr(decoded, reference), 35.0);
  }
}

// Asking for a smaller page decodes fewer resolution levels: the largest reduction that still
// gives at least the size asked, never below it, and never more levels than the file has.
TEST(Jp2DecoderTest, ReducesToTheSmallestSizeNotBelowTheRequest) {
  TempDir dir;
  const std::string fiveLevels = dir / "five.jp2", oneLevel = dir / "one.j2k";
  WriteJp2(fiveLevels, {.width = 100, .height = 60, .tile = 32});
  WriteJp2(oneLevel, {.width = 100, .height = 60, .levels = 1, .codestream = true});
  struct ReduceCase {
    const char* name;
    const std::string& path;
    DecodeRequest request;
    int width, height;
  } cases[] = {
      {"stored size", fiveLevels, {}, 100, 60},
      {"half still enough", fiveLevels, {30, 20}, 50, 30},
      {"a quarter enough", fiveLevels, {10, 10}, 25, 15},
      {"only the height asked", fiveLevels, {0, 15}, 25, 15},
      {"tiny: all five levels", fiveLevels, {1, 1}, 4, 2},
      {"wider than stored", fiveLevels, {101, 1}, 100, 60},
      {"one level to remove", oneLevel, {1, 1}, 50, 30},
  };
  for (const ReduceCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoder = OpenDecoder(c.path.c_str());
    ASSERT_NE(decoder, nullptr);
    DecodedPage whole, banded;
    ASSERT_EQ(DecodePage(decoder.get(), 0, c.request, 0, &whole), DecodeStage::kDone);
    EXPECT_EQ(whole.width, c.width);
    EXPECT_EQ(whole.height, c.height);
    ASSERT_EQ(DecodePage(decoder.get(), 0, c.request, 3, &banded), DecodeStage::kDone);
    EXPECT_EQ(banded.pixels, whole.pixels);
  }
}

// An untiled image is decoded in bands of rows (64 at the least): thin bands, each on a fresh
// codec here, give exactly the pixels of one band as high as the image, across origin offsets,
// subsampled components, palettes, signed samples and reduced resolutions.
TEST(Jp2DecoderTest, UntiledImagesDecodeInBandsAsInOne) {
  TempDir dir;
  const std::string rgb = dir / "rgb.jp2", grey = dir / "grey.j2k", ycc = dir / "420.j2k";
  WriteJp2(rgb, {.width = 150, .height = 400});
  WriteJp2(grey, {.width = 100, .height = 300, .components = 1, .codestream = true});
  // Bands start on odd rows, between two rows of chroma samples.
  WriteJp2(ycc, {.width = 90, .height = 300, .codestream = true, .originY = 3, .chromaStep = 2});
  struct BandCase {
    const char* name;
    std::string path;
    DecodeRequest request;
    int width, height;
  } cases[] = {
      {"made RGB", rgb, {}, 150, 400},
      {"made RGB at half size", rgb, {70, 190}, 75, 200},
      {"made grey codestream", grey, {}, 100, 300},
      {"made 4:2:0 at an odd origin", ycc, {}, 90, 300},
      {"origin offset, a quarter", kValid / "libvips/Bretagne2_4.j2k", {600, 400}, 648, 486},
      {"origin, subsampled", kValid / "openjpeg-data/p1_01.j2k", {}, 122, 99},
      {"sYCC 4:2:0", kValid / "openjpeg-data/file3.jp2", {}, 480, 640},
      {"palette", kValid / "openjpeg-data/file9.jp2", {}, 768, 512},
      {"16-bit signed", kValid / "openjpeg-data/pacs.ge.j2k", {}, 512, 512},
  };
  for (const BandCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (!fs::exists(c.path)) continue;  // a corpus sample, absent without the corpus
    DecodedPage banded, whole;
    auto thin = OpenJp2DecoderInBands(InputFile::Open(c.path.c_str()), 1);
    ASSERT_EQ(DecodePage(thin.get(), 0, c.request, 7, &banded), DecodeStage::kDone);
    auto tall = OpenJp2DecoderInBands(InputFile::Open(c.path.c_str()), uint64_t{1} << 40);
    ASSERT_EQ(DecodePage(tall.get(), 0, c.request, 0, &whole), DecodeStage::kDone);
    EXPECT_EQ(banded.width, c.width);
    EXPECT_EQ(banded.height, c.height);
    EXPECT_EQ(whole.height, c.height);
    EXPECT_TRUE(banded.pixels == whole.pixels);
  }
  // Stored losslessly, the made picture comes back sample for sample.
  DecodedPage page;
  auto decoder = OpenJp2DecoderInBands(InputFile::Open(rgb.c_str()), 1);
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 0, &page), DecodeStage::kDone);
  int wrong = 0;
  for (size_t i = 0; i < page.pixels.size(); ++i) {
    const int x = int(i / 3 % 150), y = int(i / 3 / 150), c = int(i % 3);
    wrong += page.pixels[i] != MadeSample(x, y, c);
  }
  EXPECT_EQ(wrong, 0);
}

// Headers that would make OpenJPEG allocate gigabytes are refused from their SIZ marker before
// any decoding; a tiled one as large fails quickly once its tiles are found missing, and an
// untiled one is refused only when even its records and bands exceed the decode budget.
TEST(Jp2DecoderTest, HostileSizesAreRefusedBeforeDecoding) {
  TempDir dir;
  const std::string made = dir / "made.j2k";
  WriteJp2(made, {.width = 64, .height = 64, .codestream = true});
  const std::string original = ReadFile(made);
  auto put32 = [](std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + size_t(i)] = char(v >> (24 - 8 * i));
  };
  struct HostileCase {
    const char* name;
    uint32_t width, height, tileWidth, tileHeight;
    DecodeStage stage;
    FailureKind kind;
  } cases[] = {
      {"over the pixel limit", 40000, 40000, 40000, 40000, DecodeStage::kOpen,
       FailureKind::kTooLarge},
      {"one tile over the decode budget", 30000, 30000, 30000, 30000, DecodeStage::kStart,
       FailureKind::kTooLarge},
      {"more tiles than a codestream can number", 30000, 30000, 64, 64, DecodeStage::kOpen,
       FailureKind::kCorrupt},
      {"tiled, tiles missing", 30000, 30000, 1024, 1024, DecodeStage::kRead,
       FailureKind::kTruncated},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = original;
    put32(bytes, 8, c.width);
    put32(bytes, 12, c.height);
    put32(bytes, 24, c.tileWidth);
    put32(bytes, 28, c.tileHeight);
    WriteFile(made, bytes);
    Failure failure;
    auto decoder = OpenDecoder(made.c_str(), &failure);
    DecodedPage page;
    EXPECT_EQ(DecodePage(decoder.get(), 0, {}, 16, &page), c.stage);
    EXPECT_EQ(decoder ? decoder->LastFailure().kind : failure.kind, c.kind);
  }
  // An untiled image far too large to decode whole is read in bands, so it is not refused.
  std::string bytes = original;
  for (size_t at : {8, 12, 24, 28}) put32(bytes, at, 12000);
  WriteFile(made, bytes);
  auto decoder = OpenDecoder(made.c_str());
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  EXPECT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_EQ(info.height, 12000);
}

}  // namespace
