#include <gtest/gtest.h>

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/formats/formats.h"
#include "codec/formats/jpeg/jpeg_scan_split.h"
#include "codec/io/exif.h"
#include "codec/test_image.h"
#include "support/images.h"
#include "support/jpeg_writer.h"
#include "support/process.h"

namespace {

struct Rgb {
  uint8_t v[4];
};

// What the test encoder writes.
struct EncodeOptions {
  J_COLOR_SPACE input = JCS_RGB;  // JCS_GRAYSCALE, JCS_RGB or JCS_CMYK
  J_COLOR_SPACE stored = JCS_YCbCr;
  bool adobeMarker = true;
  bool progressive = false;
  bool arithmetic = false;
  int restartInterval = 0;
  int lumaH = 2, lumaV = 2;  // luma sampling factors of stored YCbCr (chroma's are 1)
  std::string app1;          // written as an APP1 marker when not empty
  std::vector<uint8_t> icc;
  bool noisy = false;                 // samples vary from pixel to pixel within the quadrants
  std::vector<jpeg_scan_info> scans;  // a progressive file's scans, when not libjpeg's own
};

// Returns a JPEG of width x height whose pixel (x, y) is colour (x >= width/2) + 2 * (y >=
// height/2) of quadrants: the four quadrants show where rows and columns land.
std::string EncodeJpeg(int width, int height, const Rgb (&quadrants)[4], const EncodeOptions& opt) {
  int channels = opt.input == JCS_GRAYSCALE ? 1 : opt.input == JCS_CMYK ? 4 : 3;
  MemoryJpeg jpeg(width, height, channels, opt.input);
  jpeg_compress_struct& cinfo = *jpeg.cinfo();
  jpeg_set_colorspace(&cinfo, opt.stored);
  jpeg_set_quality(&cinfo, 95, TRUE);
  if (opt.stored == JCS_YCbCr) {
    cinfo.comp_info[0].h_samp_factor = opt.lumaH;
    cinfo.comp_info[0].v_samp_factor = opt.lumaV;
  }
  cinfo.write_Adobe_marker = opt.adobeMarker ? TRUE : FALSE;
  cinfo.arith_code = opt.arithmetic ? TRUE : FALSE;
  cinfo.restart_interval = opt.restartInterval;
  if (opt.progressive) jpeg_simple_progression(&cinfo);
  if (!opt.scans.empty()) {
    cinfo.scan_info = opt.scans.data();
    cinfo.num_scans = static_cast<int>(opt.scans.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (!opt.app1.empty()) {
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(opt.app1.data()),
                      static_cast<unsigned>(opt.app1.size()));
  }
  if (!opt.icc.empty()) {
    jpeg_write_icc_profile(&cinfo, opt.icc.data(), static_cast<unsigned>(opt.icc.size()));
  }
  std::vector<uint8_t> row(static_cast<size_t>(width) * channels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb& c = quadrants[(x >= width / 2) + 2 * (y >= height / 2)];
      std::copy(c.v, c.v + channels, row.begin() + static_cast<size_t>(x) * channels);
      for (int i = 0; opt.noisy && i < channels; ++i) {
        row[static_cast<size_t>(x) * channels + i] += static_cast<uint8_t>((x * 7 + i) * y % 61);
      }
    }
    JSAMPROW rowPointer = row.data();
    jpeg_write_scanlines(&cinfo, &rowPointer, 1);
  }
  return jpeg.Finish();
}

std::unique_ptr<Decoder> OpenBytes(const TempDir& dir, const std::string& bytes) {
  static int counter = 0;
  std::string path = dir / ("image" + std::to_string(counter++) + ".jpg");
  WriteFile(path, bytes);
  return OpenJpegDecoder(InputFile::Open(path.c_str()));
}

const Rgb kColours[4] = {
    {{200, 40, 90, 10}}, {{30, 160, 220, 120}}, {{250, 250, 20, 0}}, {{10, 10, 10, 240}}};

struct ModelCase {
  const char* name;
  EncodeOptions options;
  PixelLayout layout;
  bool inverted;  // the file stores 255 - ink
  int tolerance;
};

class JpegColourModel : public testing::TestWithParam<ModelCase> {};

TEST_P(JpegColourModel, DecodesQuadrantsInPlace) {
  const ModelCase& c = GetParam();
  const int width = 48, height = 32;
  Rgb stored[4];
  for (int q = 0; q < 4; ++q) {
    for (int s = 0; s < 4; ++s) {
      stored[q].v[s] = c.inverted ? static_cast<uint8_t>(255 - kColours[q].v[s]) : kColours[q].v[s];
    }
  }
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(width, height, stored, c.options));
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->PageCount(), 1);
  PageGeometry geometry;
  ASSERT_TRUE(decoder->Probe(0, &geometry));
  EXPECT_EQ(geometry.width, width);
  EXPECT_EQ(geometry.height, height);
  PageInfo info;
  std::vector<uint8_t> pixels;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 7, &info, &pixels), DecodeStage::kDone);
  ASSERT_EQ(info.layout, c.layout);
  ASSERT_EQ(info.width, width);
  ASSERT_EQ(info.height, height);
  int channels = ChannelCount(info.layout);
  int worst = 0;
  for (int y = 0; y < height; ++y) {
    if (std::abs(y - height / 2) < 3) continue;  // chroma upsampling blends across the seam
    for (int x = 0; x < width; ++x) {
      if (std::abs(x - width / 2) < 3) continue;
      const Rgb& want = kColours[(x >= width / 2) + 2 * (y >= height / 2)];
      for (int s = 0; s < channels; ++s) {
        int got = pixels[(static_cast<size_t>(y) * width + x) * channels + s];
        worst = std::max(worst, std::abs(got - want.v[s]));
      }
    }
  }
  EXPECT_LE(worst, c.tolerance);
}

EncodeOptions Options(J_COLOR_SPACE input, J_COLOR_SPACE stored) {
  EncodeOptions o;
  o.input = input;
  o.stored = stored;
  return o;
}

EncodeOptions With(EncodeOptions o, bool progressive, bool arithmetic, int restart,
                   bool adobe = true) {
  o.progressive = progressive;
  o.arithmetic = arithmetic;
  o.restartInterval = restart;
  o.adobeMarker = adobe;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Models, JpegColourModel,
    testing::Values(
        ModelCase{"Gray", Options(JCS_GRAYSCALE, JCS_GRAYSCALE), PixelLayout::kG8, false, 2},
        ModelCase{"YCbCr", Options(JCS_RGB, JCS_YCbCr), PixelLayout::kRGB8, false, 6},
        ModelCase{"StoredRgb", Options(JCS_RGB, JCS_RGB), PixelLayout::kRGB8, false, 3},
        ModelCase{"AdobeCmyk", Options(JCS_CMYK, JCS_CMYK), PixelLayout::kCMYK8, true, 3},
        ModelCase{"PlainCmyk", With(Options(JCS_CMYK, JCS_CMYK), false, false, 0, false),
                  PixelLayout::kCMYK8, false, 3},
        ModelCase{"Ycck", Options(JCS_CMYK, JCS_YCCK), PixelLayout::kCMYK8, true, 6},
        ModelCase{"Progressive", With(Options(JCS_RGB, JCS_YCbCr), true, false, 0),
                  PixelLayout::kRGB8, false, 6},
        ModelCase{"ProgressiveGray", With(Options(JCS_GRAYSCALE, JCS_GRAYSCALE), true, false, 0),
                  PixelLayout::kG8, false, 2},
        ModelCase{"Arithmetic", With(Options(JCS_RGB, JCS_YCbCr), false, true, 0),
                  PixelLayout::kRGB8, false, 6},
        ModelCase{"ArithmeticProgressive", With(Options(JCS_RGB, JCS_YCbCr), true, true, 0),
                  PixelLayout::kRGB8, false, 6},
        ModelCase{"Restarts", With(Options(JCS_RGB, JCS_YCbCr), false, false, 1),
                  PixelLayout::kRGB8, false, 6},
        ModelCase{"RestartsCmyk", With(Options(JCS_CMYK, JCS_CMYK), false, false, 2),
                  PixelLayout::kCMYK8, true, 3}),
    [](const testing::TestParamInfo<ModelCase>& p) { return std::string(p.param.name); });

// An EXIF block: "Exif\0\0", a TIFF header in the given byte order and an IFD0 holding one
// orientation entry of the given type and value.
std::string ExifBlock(bool bigEndian, int value, int type = 3) {
  auto put16 = [&](std::string& s, int v) {
    if (bigEndian) {
      s += static_cast<char>(v >> 8), s += static_cast<char>(v & 0xff);
    } else {
      s += static_cast<char>(v & 0xff), s += static_cast<char>(v >> 8);
    }
  };
  auto put32 = [&](std::string& s, uint32_t v) {
    if (bigEndian) {
      put16(s, static_cast<int>(v >> 16)), put16(s, static_cast<int>(v & 0xffff));
    } else {
      put16(s, static_cast<int>(v & 0xffff)), put16(s, static_cast<int>(v >> 16));
    }
  };
  std::string s("Exif\0\0", 6);
  s += bigEndian ? "MM" : "II";
  put16(s, 42);
  put32(s, 8);
  put16(s, 1);       // one entry
  put16(s, 0x0112);  // orientation
  put16(s, type);
  put32(s, 1);
  if (type == 3) {
    put16(s, value), put16(s, 0);
  } else {
    put32(s, static_cast<uint32_t>(value));
  }
  put32(s, 0);  // no next IFD
  return s;
}

struct OrientationCase {
  bool bigEndian;
  int stored;
  int type;
  int expected;
};

class JpegOrientation : public testing::TestWithParam<OrientationCase> {};

TEST_P(JpegOrientation, ProbeAndStartPageReportTheExifOrientation) {
  const OrientationCase& c = GetParam();
  EncodeOptions opt;
  opt.app1 = ExifBlock(c.bigEndian, c.stored, c.type);
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(16, 8, kColours, opt));
  ASSERT_NE(decoder, nullptr);
  PageGeometry geometry;
  ASSERT_TRUE(decoder->Probe(0, &geometry));
  EXPECT_EQ(geometry.orientation, c.expected);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_EQ(info.orientation, c.expected);
  EXPECT_EQ(std::string(info.exif.begin(), info.exif.end()), opt.app1.substr(6));
  // The same block without its prefix, as PNG and WebP carry it.
  EXPECT_EQ(ReadExifOrientation(info.exif.data(), info.exif.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Orientations, JpegOrientation,
    testing::Values(OrientationCase{false, 6, 3, 6}, OrientationCase{true, 3, 3, 3},
                    OrientationCase{true, 8, 3, 8}, OrientationCase{false, 2, 3, 2},
                    OrientationCase{false, 9, 3, 1}, OrientationCase{true, 0, 3, 1},
                    OrientationCase{true, 5, 4, 5}),
    [](const testing::TestParamInfo<OrientationCase>& p) {
      return std::string(p.param.bigEndian ? "Motorola" : "Intel") +
             std::to_string(p.param.stored) + "Type" + std::to_string(p.param.type);
    });

TEST(JpegDecoder, WithoutExifOrientationIsOneAndExifEmpty) {
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(16, 8, kColours, {}));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_EQ(info.orientation, 1);
  EXPECT_TRUE(info.exif.empty());
  EXPECT_TRUE(info.icc.empty());
}

TEST(Exif, MalformedBlocksGiveOne) {
  const std::string good = ExifBlock(false, 6);
  const std::string cases[] = {"", "Exif", std::string("Exif\0\0", 6), good.substr(0, 20),
                               std::string("Exif\0\0II*\0\xff\xff\xff\x7f", 14)};
  for (const std::string& s : cases) {
    EXPECT_EQ(ReadExifOrientation(reinterpret_cast<const uint8_t*>(s.data()), s.size()), 1)
        << s.size();
  }
  EXPECT_EQ(ReadExifOrientation(reinterpret_cast<const uint8_t*>(good.data()), good.size()), 6);
}

// A little-endian TIFF structure whose IFD0 states count entries and holds the given ones
// (tag, type, count, value), then padding up to size bytes.
struct IfdEntry {
  uint16_t tag, type;
  uint32_t count, value;
};
std::string TiffIfd0(int count, std::initializer_list<IfdEntry> entries, size_t size = 0,
                     uint32_t ifdOffset = 8) {
  std::string s = "II";
  AppendLe16(s, 42);
  AppendLe32(s, ifdOffset);
  s.resize(ifdOffset, '\0');
  AppendLe16(s, static_cast<uint32_t>(count));
  for (const IfdEntry& e : entries) {
    AppendLe16(s, e.tag), AppendLe16(s, e.type), AppendLe32(s, e.count), AppendLe32(s, e.value);
  }
  if (s.size() < size) s.resize(size, '\0');
  return s;
}

// Which orientation entry counts when IFD0 is odd, as the common EXIF readers decide.
TEST(Exif, OddDirectoriesAsCommonReadersSeeThem) {
  constexpr uint16_t kOrient = 0x0112, kThumbnail = 0x0201, kShort = 3, kByte = 1;
  struct Case {
    const char* name;
    std::string tiff;
    int expected;
  };
  const Case kCases[] = {
      {"first of two entries", TiffIfd0(2, {{kOrient, kShort, 1, 3}, {kOrient, kShort, 1, 6}}), 3},
      {"values out of the block skipped",
       TiffIfd0(2, {{kOrient, kShort, 3, 0xffff}, {kOrient, kShort, 1, 6}}), 6},
      {"pointer out of the block ends the directory",
       TiffIfd0(2, {{kThumbnail, 4, 1, 0xffff}, {kOrient, kShort, 1, 6}}), 1},
      {"pointer inside the block", TiffIfd0(2, {{kThumbnail, 4, 1, 8}, {kOrient, kShort, 1, 6}}),
       6},
      {"count larger than the entries", TiffIfd0(3, {{kOrient, kShort, 1, 6}}), 6},
      {"type that holds no orientation", TiffIfd0(1, {{kOrient, kByte, 1, 6}}), 1},
      {"directory beyond 64 KiB", TiffIfd0(1, {{kOrient, kShort, 1, 6}}, 0, 66000), 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string prefixed = std::string("Exif\0\0", 6) + c.tiff;
    EXPECT_EQ(ReadExifOrientation(reinterpret_cast<const uint8_t*>(c.tiff.data()), c.tiff.size()),
              c.expected);
    EXPECT_EQ(
        ReadExifOrientation(reinterpret_cast<const uint8_t*>(prefixed.data()), prefixed.size()),
        c.expected);
  }
}

TEST(JpegDecoder, IccProfileSpanningMarkersIsReassembled) {
  EncodeOptions opt;
  opt.icc.resize(150000);
  for (size_t i = 0; i < opt.icc.size(); ++i) opt.icc[i] = static_cast<uint8_t>(i * 7 + i / 256);
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(16, 8, kColours, opt));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_EQ(info.icc, opt.icc);
}

struct ScaleCase {
  int width, height;
  DecodeRequest request;
  int expectedWidth, expectedHeight;
};

class JpegScaling : public testing::TestWithParam<ScaleCase> {};

TEST_P(JpegScaling, PicksTheSmallestScaleStillCoveringTheRequest) {
  const ScaleCase& c = GetParam();
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(c.width, c.height, kColours, {}));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  std::vector<uint8_t> pixels;
  ASSERT_EQ(DecodePage(decoder.get(), 0, c.request, 7, &info, &pixels), DecodeStage::kDone);
  EXPECT_EQ(info.width, c.expectedWidth);
  EXPECT_EQ(info.height, c.expectedHeight);
  // The top-left quadrant's colour survives any scale.
  EXPECT_NEAR(pixels[0], kColours[0].v[0], 8);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, JpegScaling,
    testing::Values(ScaleCase{256, 128, {0, 0}, 256, 128}, ScaleCase{256, 128, {32, 16}, 32, 16},
                    ScaleCase{256, 128, {1, 1}, 32, 16}, ScaleCase{256, 128, {33, 16}, 64, 32},
                    ScaleCase{256, 128, {200, 0}, 224, 112}, ScaleCase{256, 128, {0, 17}, 64, 32},
                    ScaleCase{256, 128, {256, 128}, 256, 128},
                    ScaleCase{256, 128, {1000, 1000}, 256, 128},
                    ScaleCase{100, 75, {13, 10}, 13, 10}, ScaleCase{100, 75, {13, 11}, 25, 19},
                    // A reduced scale would keep the short side at 6, squeezed: none is taken.
                    ScaleCase{6, 64, {6, 32}, 6, 64}),
    [](const testing::TestParamInfo<ScaleCase>& p) {
      const ScaleCase& c = p.param;
      return std::to_string(c.width) + "x" + std::to_string(c.height) + "To" +
             std::to_string(c.request.minWidth) + "x" + std::to_string(c.request.minHeight);
    });

// Returns the RGB pixels of jpeg as libjpeg decodes it with every setting left at its default.
std::vector<uint8_t> PlainLibjpegDecode(const std::string& jpeg) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()),
               static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  size_t rowBytes = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
  std::vector<uint8_t> pixels(rowBytes * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = pixels.data() + rowBytes * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return pixels;
}

struct SmallSize {
  int width, height;
};
struct Sampling {
  const char* name;
  int lumaH, lumaV;
};

class JpegSmallImage : public testing::TestWithParam<std::tuple<SmallSize, Sampling>> {};

// Converting at the stored size must give libjpeg's own full-size decode, also for images
// smaller than a block, whose sides a reduced DCT scale rounds back up to the stored length.
TEST_P(JpegSmallImage, ConvertsAtStoredSizeAsLibjpegDecodes) {
  const auto& [size, sampling] = GetParam();
  EncodeOptions opt;
  opt.lumaH = sampling.lumaH;
  opt.lumaV = sampling.lumaV;
  std::string jpeg = EncodeJpeg(size.width, size.height, kColours, opt);
  TempDir dir;
  auto decoder = OpenBytes(dir, jpeg);
  ASSERT_NE(decoder, nullptr);
  Image converted;
  ASSERT_TRUE(RunPipeline(*decoder, Header(), 3, &converted));
  ASSERT_EQ(converted.width, size.width);
  ASSERT_EQ(converted.height, size.height);
  std::vector<uint8_t> reference = PlainLibjpegDecode(jpeg);
  ASSERT_EQ(converted.pixels.size(), reference.size());
  EXPECT_EQ(converted.pixels, reference) << "PSNR " << Psnr(converted.pixels, reference) << " dB";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, JpegSmallImage,
    testing::Combine(
        testing::Values(SmallSize{1, 1}, SmallSize{2, 3}, SmallSize{4, 4}, SmallSize{7, 7},
                        SmallSize{7, 9}, SmallSize{8, 8}, SmallSize{9, 9}, SmallSize{16, 3}),
        testing::Values(Sampling{"444", 1, 1}, Sampling{"422", 2, 1}, Sampling{"420", 2, 2})),
    [](const testing::TestParamInfo<std::tuple<SmallSize, Sampling>>& p) {
      const SmallSize& size = std::get<0>(p.param);
      return std::to_string(size.width) + "x" + std::to_string(size.height) + "At" +
             std::get<1>(p.param).name;
    });

TEST(JpegDecoder, StartPageAgainRestartsFromTheTop) {
  EncodeOptions opt;
  opt.progressive = true;
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(64, 48, kColours, opt));
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  std::vector<uint8_t> first, second, scaled;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 7, &info, &first), DecodeStage::kDone);
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));  // abandoned after one band
  std::vector<uint8_t> band(64 * 3 * 5);
  ASSERT_TRUE(decoder->ReadRows(band.data(), 64 * 3, 5));
  ASSERT_EQ(DecodePage(decoder.get(), 0, {8, 6}, 7, &info, &scaled), DecodeStage::kDone);
  EXPECT_EQ(info.width, 8);
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 48, &info, &second), DecodeStage::kDone);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(std::equal(band.begin(), band.end(), first.begin()));
}

// libjpeg pulls its input 4 KB at a time: a file of over half a megabyte (ten long comment
// segments before the frame) still decodes from a few dozen reads of the file.
TEST(JpegDecoder, LongFilesTakeFewReads) {
  std::string jpeg = EncodeJpeg(64, 48, kColours, {});
  std::string comments;
  for (int i = 0; i < 10; ++i) {
    comments += "\xFF\xFE\xFF\xFF";
    comments += std::string(0xFFFF - 2, static_cast<char>('a' + i));
  }
  TempDir dir;
  auto plain = OpenBytes(dir, jpeg);
  ASSERT_NE(plain, nullptr);
  DecodedPage expected, page;
  ASSERT_EQ(DecodePage(plain.get(), 0, {}, 16, &expected), DecodeStage::kDone);
  const long readsBefore = ReadSyscallCount();
  auto padded = OpenBytes(dir, jpeg.insert(2, comments));
  ASSERT_NE(padded, nullptr);
  ASSERT_EQ(DecodePage(padded.get(), 0, {}, 16, &page), DecodeStage::kDone);
  EXPECT_EQ(page.pixels, expected.pixels);
  if (readsBefore >= 0) {
    EXPECT_LT(ReadSyscallCount() - readsBefore, 40);
  }
}

// Returns true when a progressive file's scans would be decoded by two decompressions.
bool SplitsScans(const std::string& bytes) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  auto file = InputFile::FromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()), "scans.jpg");
  JpegScanSplit::Layout layout;
  bool split = JpegScanSplit::MapFile(*file, cinfo, &layout) && JpegScanSplit::Deal(&layout);
  jpeg_destroy_decompress(&cinfo);
  return split;
}

// Files of several scans large enough to use an idle core decode as on one core: their scans
// dealt to two decompressions where that gives the same pixels (refinements of one component
// on both sides, so that one waits for the other), their buffers mapped ahead where it does
// not (cut short, blocks smoothed); a damaged scan on the helper's side ends in one
// decompression of the whole file. The core comes back.
TEST(JpegDecoder, MultiScanFilesWithAnIdleCoreDecodeAsAlone) {
  EncodeOptions opt;
  opt.progressive = true;
  const std::string progressive = EncodeJpeg(1600, 1200, kColours, opt);
  opt.lumaH = opt.lumaV = 1;
  const std::string fine = EncodeJpeg(1280, 1024, kColours, opt);
  const size_t secondSos = fine.find("\xff\xda", fine.find("\xff\xda") + 2);
  opt.noisy = true;
  const std::string noisy = EncodeJpeg(1280, 1024, kColours, opt);
  std::string damaged = noisy;
  // A restart marker that was never announced, in the last scan (a luma refinement): libjpeg
  // warns, and fills the rest of the scan with zeros.
  damaged.replace(damaged.size() - 300, 2, "\xff\xd3");
  EncodeOptions gray = opt;
  gray.input = gray.stored = JCS_GRAYSCALE;
  const std::string grayDefault = EncodeJpeg(2048, 1536, kColours, gray);
  // The first scan of the coefficients on one side, their refinement on the other, following
  // it row by row.
  gray.scans = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 1}, {1, {0}, 1, 63, 1, 0}};
  const std::string grayChain = EncodeJpeg(2048, 1536, kColours, gray);
  // A luma chain of three refinements, chroma refined late.
  opt.scans = {{3, {0, 1, 2}, 0, 0, 0, 1}, {1, {0}, 1, 63, 0, 2}, {1, {1}, 1, 63, 0, 1},
               {1, {2}, 1, 63, 0, 1},      {1, {0}, 1, 63, 2, 1}, {1, {0}, 1, 63, 1, 0},
               {3, {0, 1, 2}, 0, 0, 1, 0}, {1, {1}, 1, 63, 1, 0}, {1, {2}, 1, 63, 1, 0}};
  const std::string chain = EncodeJpeg(1280, 1024, kColours, opt);
  opt.scans.resize(6);  // chroma's last bit never comes: the decoder smooths its blocks
  const std::string unrefined = EncodeJpeg(1280, 1024, kColours, opt);
  // Each component's DC in a scan of its own, luma's coefficients decoded on the other side
  // at the same time as its DC.
  opt.scans = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}, {1, {1}, 0, 0, 0, 0},
               {1, {2}, 0, 0, 0, 0}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
  opt.lumaH = opt.lumaV = 2;
  const std::string ownDc = EncodeJpeg(1280, 1024, kColours, opt);
  const struct {
    const char* name;
    std::string bytes;
    bool split;
  } cases[] = {
      {"4:2:0, flat quadrants", progressive, true},
      {"4:4:4, flat quadrants", fine, true},
      {"cut between scans", fine.substr(0, secondSos), false},
      {"4:4:4, noisy", noisy, true},
      {"noisy, a byte of the last scan damaged", damaged, true},
      {"gray, noisy", grayDefault, true},
      {"gray, refined in one chain", grayChain, true},
      {"luma refined in a chain", chain, true},
      {"chroma short of its last bit", unrefined, false},
      {"a DC scan for each component", ownDc, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& bytes = c.bytes;
    EXPECT_EQ(SplitsScans(bytes), c.split);
    TempDir dir;
    CoreBudget cores;
    cores.Release();  // one core idle
    DecodedPage alone, helped;
    auto first = OpenBytes(dir, bytes), second = OpenBytes(dir, bytes);
    EXPECT_EQ(DecodePage(first.get(), 0, {}, 64, &alone),
              DecodePage(second.get(), 0, {.cores = &cores}, 64, &helped));
    EXPECT_EQ(alone.pixels, helped.pixels);
    EXPECT_TRUE(cores.TryBorrow());
    EXPECT_FALSE(cores.TryBorrow());
  }
}

// How scans are dealt: only where two decompressions promise a good share of the time, and
// always with the first scan of every component on the caller's side.
TEST(JpegScanSplit, DealsScansWhereTwoDecompressionsSaveTime) {
  struct ScanOf {
    uint32_t components;
    int ss, se;
    double cost;
  };
  const struct {
    const char* name;
    std::vector<ScanOf> scans;
    bool split;
  } cases[] = {
      {"three components refined apart",
       {{7, 0, 0, 10}, {1, 1, 63, 900}, {2, 1, 63, 450}, {4, 1, 63, 450}, {7, 0, 0, 10}},
       true},
      {"one scan carries the time", {{1, 0, 0, 10}, {1, 1, 63, 1000}}, false},
      {"a component first seen in a costly scan",
       {{1, 0, 0, 10}, {2, 0, 0, 1000}, {1, 1, 63, 1000}, {2, 1, 63, 10}},
       true},
      {"a refinement following its first scan row by row",
       {{1, 0, 0, 10}, {1, 1, 63, 900}, {1, 1, 63, 900}},
       true},
      {"a lone scan", {{1, 0, 0, 10}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JpegScanSplit::Layout layout;
    for (const ScanOf& scan : c.scans) {
      JpegScanSplit::Scan s;
      s.components = scan.components;
      s.ss = scan.ss;
      s.se = scan.se;
      s.cost = scan.cost;
      layout.scans.push_back(s);
    }
    EXPECT_EQ(JpegScanSplit::Deal(&layout), c.split);
    if (!c.split) continue;
    uint32_t seen = 0;
    for (const JpegScanSplit::Scan& scan : layout.scans) {
      if ((scan.components & ~seen) != 0) {
        EXPECT_EQ(scan.part, 0) << "a component's first scan";
      }
      seen |= scan.components;
    }
  }
}

TEST(JpegDecoder, MisuseFailsWithoutHarm) {
  TempDir dir;
  auto decoder = OpenBytes(dir, EncodeJpeg(16, 16, kColours, {}));
  ASSERT_NE(decoder, nullptr);
  std::vector<uint8_t> rows(16 * 3 * 17);
  EXPECT_FALSE(decoder->ReadRows(rows.data(), 48, 1));  // not started
  PageInfo info;
  PageGeometry geometry;
  EXPECT_FALSE(decoder->Probe(1, &geometry));
  EXPECT_FALSE(decoder->StartPage(1, {}, &info));
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_FALSE(decoder->ReadRows(rows.data(), 48, 17));  // more rows than the page has
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  EXPECT_TRUE(decoder->ReadRows(rows.data(), 48, 16));
  EXPECT_FALSE(decoder->ReadRows(rows.data(), 48, 1));
}

// Returns the offset of the first SOFn marker's length field in a JPEG.
size_t FindSof(const std::string& jpeg) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (static_cast<uint8_t>(jpeg[i]) == 0xFF &&
        (static_cast<uint8_t>(jpeg[i + 1]) & 0xF0) == 0xC0 &&
        static_cast<uint8_t>(jpeg[i + 1]) != 0xC4) {
      return i + 2;
    }
  }
  return std::string::npos;
}

TEST(JpegDecoder, RefusesHeadersTheFileCannotHold) {
  std::string jpeg = EncodeJpeg(16, 16, kColours, {});
  size_t sof = FindSof(jpeg);
  ASSERT_NE(sof, std::string::npos);
  struct Size {
    int width, height;
  };
  for (Size s : {Size{40000, 20000}, Size{65535, 65535}, Size{0, 16}, Size{16, 0}}) {
    std::string patched = jpeg;
    patched[sof + 3] = static_cast<char>(s.height >> 8);
    patched[sof + 4] = static_cast<char>(s.height & 0xff);
    patched[sof + 5] = static_cast<char>(s.width >> 8);
    patched[sof + 6] = static_cast<char>(s.width & 0xff);
    TempDir dir;
    EXPECT_EQ(OpenBytes(dir, patched), nullptr) << s.width << "x" << s.height;
  }
}

TEST(JpegDecoder, RefusesWhatIsNotAJpegHeader) {
  std::string jpeg = EncodeJpeg(16, 16, kColours, {});
  size_t sof = FindSof(jpeg);
  const std::string cases[] = {"",
                               "\xff\xd8",
                               "\xff\xd8\xff",
                               jpeg.substr(0, sof + 4),
                               "GIF89a" + jpeg,
                               std::string("\xff\xd8\xff\xd9\0\0\0\0", 8)};
  for (const std::string& bytes : cases) {
    TempDir dir;
    EXPECT_EQ(OpenBytes(dir, bytes), nullptr) << bytes.size();
  }
}

// Truncated or damaged data either fails in StartPage/ReadRows or decodes (libjpeg resyncs over
// damage), but never crashes; data that ends early fails, however far the decoder got.
TEST(JpegDecoder, TruncatedAndDamagedDataNeverCrash) {
  for (bool progressive : {false, true}) {
    EncodeOptions opt;
    opt.progressive = progressive;
    std::string jpeg = EncodeJpeg(64, 64, kColours, opt);
    for (size_t cut : {jpeg.size() / 3, jpeg.size() / 2, jpeg.size() - 2}) {
      TempDir dir;
      auto decoder = OpenBytes(dir, jpeg.substr(0, cut));
      if (!decoder) continue;
      PageInfo info;
      std::vector<uint8_t> pixels;
      DecodePage(decoder.get(), 0, {}, 7, &info, &pixels);
    }
    for (size_t at = jpeg.size() / 4; at < jpeg.size(); at += jpeg.size() / 9) {
      std::string damaged = jpeg;
      for (size_t i = at; i < std::min(at + 40, damaged.size()); ++i) damaged[i] = '\xff';
      TempDir dir;
      auto decoder = OpenBytes(dir, damaged);
      if (!decoder) continue;
      PageInfo info;
      std::vector<uint8_t> pixels;
      DecodePage(decoder.get(), 0, {}, 7, &info, &pixels);
    }
  }
  TempDir dir;
  std::string jpeg = EncodeJpeg(64, 64, kColours, {});
  size_t sos = jpeg.find("\xff\xda");
  EncodeOptions progressive;
  progressive.progressive = true;
  std::string scans = EncodeJpeg(64, 64, kColours, progressive);
  size_t secondSos = scans.find("\xff\xda", scans.find("\xff\xda") + 2);
  ASSERT_NE(secondSos, std::string::npos);
  struct Case {
    const char* name;
    std::string bytes;
    DecodeStage reached;
  };
  const Case kCases[] = {
      {"whole", jpeg, DecodeStage::kDone},
      {"cut before the scan header", jpeg.substr(0, sos), DecodeStage::kOpen},
      {"cut halfway through the scan", jpeg.substr(0, sos + (jpeg.size() - sos) / 2),
       DecodeStage::kRead},
      {"cut in the last bytes of the scan", jpeg.substr(0, jpeg.size() - 4), DecodeStage::kRead},
      // Every pixel is there; only the end marker is missing.
      {"end-of-image marker missing", jpeg.substr(0, jpeg.size() - 2), DecodeStage::kDone},
      {"cut after a comment that follows the scan",
       jpeg.substr(0, jpeg.size() - 2) + std::string("\xff\xfe\x00\x06note", 8),
       DecodeStage::kDone},
      {"cut in the middle of a comment that follows the scan",
       jpeg.substr(0, jpeg.size() - 2) + std::string("\xff\xfe\x00\x06no", 6), DecodeStage::kDone},
      {"progressive, whole", scans, DecodeStage::kDone},
      {"progressive, cut between scans", scans.substr(0, secondSos), DecodeStage::kStart},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto decoder = OpenBytes(dir, c.bytes);
    PageInfo info;
    std::vector<uint8_t> pixels;
    EXPECT_EQ(DecodePage(decoder.get(), 0, {}, 7, &info, &pixels), c.reached);
  }
}

}  // namespace
