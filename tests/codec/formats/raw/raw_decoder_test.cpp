#include <gtest/gtest.h>
#include <libraw/libraw.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/formats.h"
#include "codec/formats/registry.h"
#include "support/images.h"
#include "support/jpeg_writer.h"
#include "support/process.h"

// jpeglib.h needs stdio's FILE declared before it.
#include <jpeglib.h>

namespace fs = std::filesystem;

namespace {

// LibRaw takes nothing under 22 pixels a side for a raw picture.
constexpr int kDngWidth = 32;
constexpr int kDngHeight = 24;
const fs::path kCameraDng = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "next" /
                            "valid" / "raw" / "photoprism" / "canon_eos_6d.dng";

enum class DngData { kGood, kMosaic, kMissing, kCompressedGarbage };
// The picture in the first directory: a small one, as converters store, or one as large as
// the raw picture, as cameras store, uncompressed or as a JPEG.
enum class DngPreview { kSmall, kFullBitmap, kFullJpeg };

// Returns a baseline JPEG of an RGB picture.
std::vector<uint8_t> EncodeJpeg(int width, int height, const std::vector<uint8_t>& rgb) {
  MemoryJpeg jpeg(width, height, 3, JCS_RGB);
  jpeg_compress_struct& c = *jpeg.cinfo();
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  for (int y = 0; y < height; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb.data() + static_cast<size_t>(y) * width * 3);
    jpeg_write_scanlines(&c, &row, 1);
  }
  const std::string bytes = jpeg.Finish();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Writes a LinearRaw DNG (demosaiced 8-bit RGB, as a converter makes) of a gradient, with a
// preview in its first directory; data says what the raw directory's strip holds, and
// orientation is the turn the file asks for.
void WriteDng(const std::string& path, DngData data = DngData::kGood,
              DngPreview previewKind = DngPreview::kSmall, int orientation = 1) {
  std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "w"), &TIFFClose);
  ASSERT_NE(tif, nullptr);
  TIFF* t = tif.get();
  const uint8_t version[4] = {1, 4, 0, 0};
  // sRGB's XYZ-to-linear-RGB matrix: the camera sees sRGB primaries.
  const float colorMatrix[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                0.0415f, 0.0557f,  -0.2040f, 1.0570f};
  const float neutral[3] = {1, 1, 1};
  uint64_t subIfd = 0;
  // Directory 0: the preview, the picture a TIFF reader shows; red on the left, so that a
  // turn shows.
  const bool full = previewKind != DngPreview::kSmall;
  const int previewWidth = full ? kDngWidth : 8;
  const int previewHeight = full ? kDngHeight : 6;
  std::vector<uint8_t> preview;
  for (int i = 0; i < previewWidth * previewHeight; ++i) {
    const bool left = i % previewWidth < previewWidth / 2;
    preview.insert(preview.end(), {static_cast<uint8_t>(left ? 220 : 40), 60, 60});
  }
  TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, previewWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, previewHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, previewHeight);
  TIFFSetField(t, TIFFTAG_MAKE, "Xevra");
  TIFFSetField(t, TIFFTAG_MODEL, "Test");
  TIFFSetField(t, TIFFTAG_DNGVERSION, version);
  TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Xevra Test");
  TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, colorMatrix);
  TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21);  // D65
  TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
  TIFFSetField(t, TIFFTAG_SUBIFD, 1, &subIfd);
  if (previewKind == DngPreview::kFullJpeg) {
    TIFFSetField(t, TIFFTAG_COMPRESSION, 7);
    std::vector<uint8_t> jpeg = EncodeJpeg(previewWidth, previewHeight, preview);
    ASSERT_EQ(TIFFWriteRawStrip(t, 0, jpeg.data(), static_cast<tmsize_t>(jpeg.size())),
              static_cast<tmsize_t>(jpeg.size()));
  } else {
    ASSERT_EQ(TIFFWriteEncodedStrip(t, 0, preview.data(), static_cast<tmsize_t>(preview.size())),
              static_cast<tmsize_t>(preview.size()));
  }
  ASSERT_TRUE(TIFFWriteDirectory(t));
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  // The raw directory.
  TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kDngWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kDngHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  const bool mosaic = data == DngData::kMosaic;
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, mosaic ? 1 : 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, mosaic ? 32803 : 34892);  // CFA or LinearRaw
  if (mosaic) {
    const uint16_t dims[2] = {2, 2};
    const uint8_t rggb[4] = {0, 1, 1, 2};
    TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, dims);
    TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, rggb);
  }
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kDngHeight);
  std::vector<uint8_t> pixels;
  for (int y = 0; y < kDngHeight; ++y) {
    for (int x = 0; x < kDngWidth; ++x) {
      pixels.push_back(static_cast<uint8_t>(40 + x * 6));
      pixels.push_back(static_cast<uint8_t>(40 + y * 8));
      pixels.push_back(120);
    }
  }
  if (mosaic) pixels.resize(pixels.size() / 3);
  if (data == DngData::kCompressedGarbage) {
    // Lossless JPEG, as cameras compress raw data, but the strip is noise.
    TIFFSetField(t, TIFFTAG_COMPRESSION, 7);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 37 + 11);
    ASSERT_EQ(TIFFWriteRawStrip(t, 0, pixels.data(), 200), 200);
  } else if (data == DngData::kMissing) {
    ASSERT_EQ(TIFFWriteRawStrip(t, 0, pixels.data(), 100), 100);
  } else {
    ASSERT_EQ(TIFFWriteEncodedStrip(t, 0, pixels.data(), static_cast<tmsize_t>(pixels.size())),
              static_cast<tmsize_t>(pixels.size()));
  }
  ASSERT_TRUE(TIFFWriteDirectory(t));
}

// The decoder contract suite's raw sample. Each sniffer, raw's and TIFF's, takes the other's
// files; the raw opener hands plain TIFFs to the TIFF decoder.
[[maybe_unused]] const bool kSampleAdded = AddFormatSample(
    "raw", {1, [](const std::string& path) { WriteDng(path); }, kDngWidth, kDngHeight, "tiff"});

// LibRaw's own decode of path with our settings: the reference the decoder must reproduce.
bool LibRawReference(const std::string& path, DecodedPage* out) {
  auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
  raw->imgdata.params.use_camera_wb = 1;
  raw->imgdata.params.output_color = 1;
  raw->imgdata.params.output_bps = 8;
  if (raw->open_file(path.c_str()) != LIBRAW_SUCCESS || raw->unpack() != LIBRAW_SUCCESS ||
      raw->dcraw_process() != LIBRAW_SUCCESS) {
    return false;
  }
  libraw_processed_image_t* image = raw->dcraw_make_mem_image();
  if (image == nullptr) return false;
  out->width = image->width;
  out->height = image->height;
  out->pixels.assign(image->data, image->data + image->data_size);
  LibRaw::dcraw_clear_mem(image);
  return true;
}

class RawDecoderTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(RawDecoderTest, DecodesLikeLibRawAtFullOrHalfSize) {
  const std::string dng = dir_.path() + "/made.dng";
  WriteDng(dng);
  const std::string mosaic = dir_.path() + "/mosaic.dng";
  WriteDng(mosaic, DngData::kMosaic);
  struct SizeCase {
    const char* name;
    std::string path;
    DecodeRequest request;
    bool half;
  } cases[] = {
      {"made DNG, stored size", dng, {}, false},
      {"made DNG, a third asked (not mosaiced: no half size)", dng, {8, 6}, false},
      {"mosaic DNG, stored size", mosaic, {}, false},
      {"mosaic DNG, a third asked", mosaic, {kDngWidth / 3, kDngHeight / 3}, true},
      {"mosaic DNG, more than half asked", mosaic, {kDngWidth / 2 + 1, kDngHeight / 2}, false},
      {"camera DNG, stored size", kCameraDng.string(), {}, false},
      {"camera DNG, a thumbnail asked (linear)", kCameraDng.string(), {256, 171}, false},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (!fs::exists(c.path)) continue;  // the shared corpus is optional
    DecodedPage reference;
    ASSERT_TRUE(LibRawReference(c.path, &reference));
    Failure failure;
    auto decoder = OpenRawDecoder(InputFile::Open(c.path.c_str()), &failure);
    ASSERT_NE(decoder, nullptr) << failure.text;
    PageGeometry geometry;
    ASSERT_TRUE(decoder->Probe(0, &geometry));
    EXPECT_EQ(geometry.width, reference.width);
    EXPECT_EQ(geometry.height, reference.height);
    DecodedPage page;
    ASSERT_EQ(DecodePage(decoder.get(), 0, c.request, 7, &page), DecodeStage::kDone);
    EXPECT_EQ(page.orientation, 1) << "LibRaw turns the picture upright";
    EXPECT_EQ(page.layout, PixelLayout::kRGB8);
    if (c.half) {
      EXPECT_EQ(page.width, (reference.width + 1) / 2);
      EXPECT_EQ(page.height, (reference.height + 1) / 2);
    } else {
      ASSERT_EQ(page.width, reference.width);
      ASSERT_EQ(page.height, reference.height);
      EXPECT_GE(Psnr(page.pixels, reference.pixels), 35.0);
    }
  }
}

TEST_F(RawDecoderTest, PlainTiffsGoToTheTiffDecoder) {
  const std::string tiff = dir_.path() + "/plain.tif";
  WriteTiff(tiff, 30, 20, 1);
  Failure failure;
  EXPECT_EQ(OpenRawDecoder(InputFile::Open(tiff.c_str()), &failure), nullptr);
  EXPECT_EQ(failure.kind, FailureKind::kNotThisFormat);
  auto decoder = OpenDecoder(tiff.c_str(), &failure);
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->PageCount(), 1);
  DecodedPage page;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 0, &page), DecodeStage::kDone);
  EXPECT_EQ(page.width, 30);
  EXPECT_EQ(page.height, 20);
  // The other way round: the TIFF decoder never takes a DNG, whose first page is the preview.
  const std::string dng = dir_.path() + "/made.dng";
  WriteDng(dng);
  EXPECT_EQ(OpenTiffDecoder(InputFile::Open(dng.c_str()), &failure), nullptr);
  EXPECT_EQ(failure.kind, FailureKind::kUnsupported);
}

// A raw file whose sensor data is cut short fails, unless the camera's preview is as large as
// the picture: then the preview, turned as the file asks, stands in and the reason says so. A
// small preview, which the TIFF decoder would show, is never given instead. Noise that
// LibRaw's decompressor takes without a complaint cannot be told from a picture, but even then
// the result is the raw size.
TEST_F(RawDecoderTest, DamagedRawDataFailsUnlessAFullSizePreviewStandsIn) {
  enum Outcome { kFails, kPreview, kRawSize };
  struct BadCase {
    const char* name;
    DngData data;
    DngPreview preview;
    int orientation;
    Outcome outcome;
    int width, height;  // of the output, upright
  } cases[] = {
      {"strip cut short, small preview", DngData::kMissing, DngPreview::kSmall, 1, kFails, 0, 0},
      {"compressed strip of noise", DngData::kCompressedGarbage, DngPreview::kSmall, 1, kRawSize,
       kDngWidth, kDngHeight},
      {"strip cut short, full-size bitmap preview", DngData::kMissing, DngPreview::kFullBitmap, 1,
       kPreview, kDngWidth, kDngHeight},
      {"strip cut short, full-size JPEG preview, turned", DngData::kMissing, DngPreview::kFullJpeg,
       6, kPreview, kDngHeight, kDngWidth},
      {"strip cut short, full-size bitmap preview, turned", DngData::kMissing,
       DngPreview::kFullBitmap, 8, kPreview, kDngHeight, kDngWidth},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dng = dir_.path() + "/bad.dng";
    WriteDng(dng, c.data, c.preview, c.orientation);
    auto decoder = OpenDecoder(dng.c_str());
    ASSERT_NE(decoder, nullptr);
    DecodedPage page;
    const DecodeStage stage = DecodePage(decoder.get(), 0, {}, 0, &page);
    if (c.outcome == kFails) {
      EXPECT_EQ(stage, DecodeStage::kStart) << page.width << "x" << page.height;
      EXPECT_NE(decoder->LastFailure().kind, FailureKind::kNone);
    } else if (c.outcome == kPreview) {
      ASSERT_EQ(stage, DecodeStage::kDone);
      EXPECT_NE(decoder->LastFailure().text.find("preview"), std::string::npos)
          << decoder->LastFailure().text;
    } else if (stage == DecodeStage::kDone) {
      EXPECT_EQ(page.width, kDngWidth);
      EXPECT_EQ(page.height, kDngHeight);
    }
    fs::remove(dir_.path() + "/bad.jpg");
    ProcessResult r = RunXevraBinary({"s=" + dng, "d=" + dir_.path()}, "/");
    if (c.outcome == kFails) {
      EXPECT_EQ(r.out, " 1 graphic files found\n\n bad.dng...Converting failed\n");
      EXPECT_FALSE(fs::exists(dir_.path() + "/bad.jpg"));
    } else if (c.outcome == kPreview) {
      EXPECT_EQ(r.out, " 1 graphic files found\n\n bad.dng....Ready\n");
      // One line on standard error says what stood in, and no summary counts a failure.
      const std::string note = "; the camera's embedded preview was converted instead\n";
      EXPECT_EQ(r.err.rfind("xevra: " + dng + ": ", 0), 0u) << r.err;
      EXPECT_TRUE(r.err.size() > note.size() &&
                  r.err.compare(r.err.size() - note.size(), note.size(), note) == 0)
          << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.exitCode, 0);
      DecodedPage out;
      auto jpeg = OpenDecoder((dir_.path() + "/bad.jpg").c_str());
      ASSERT_NE(jpeg, nullptr);
      ASSERT_EQ(DecodePage(jpeg.get(), 0, {}, 0, &out), DecodeStage::kDone);
      ASSERT_EQ(out.width, c.width);
      ASSERT_EQ(out.height, c.height);
      // The red half of the preview ends up where the turn puts it: left, top or bottom.
      auto red = [&](int x, int y) { return out.pixels[(size_t{3} * (y * out.width + x))]; };
      const int w = out.width - 1, h = out.height - 1;
      const bool redFirst = c.orientation == 1   ? red(0, h / 2) > red(w, h / 2)
                            : c.orientation == 6 ? red(w / 2, 0) > red(w / 2, h)
                                                 : red(w / 2, h) > red(w / 2, 0);
      EXPECT_TRUE(redFirst) << "preview not turned as the file asks";
    }
  }
}

// Camera files whose image data was stripped: LibRaw reads zeros past their end and says so
// only through its data-error callback; they fail rather than convert into black pictures.
TEST_F(RawDecoderTest, StrippedCameraFilesFail) {
  const fs::path stripped = kCameraDng.parent_path().parent_path().parent_path().parent_path() /
                            "corrupt" / "raw" / "exiftool-stripped";
  for (const char* name : {"Nikon.nef", "CanonRaw.cr3"}) {
    SCOPED_TRACE(name);
    if (!fs::exists(stripped / name)) continue;  // the shared corpus is optional
    auto decoder = OpenDecoder((stripped / name).c_str());
    ASSERT_NE(decoder, nullptr);
    DecodedPage page;
    EXPECT_EQ(DecodePage(decoder.get(), 0, {}, 0, &page), DecodeStage::kStart)
        << page.width << "x" << page.height;
    EXPECT_EQ(decoder->LastFailure().kind, FailureKind::kCorrupt);
  }
}

TEST_F(RawDecoderTest, CameraDngConvertsAtItsFullSize) {
  if (!fs::exists(kCameraDng)) GTEST_SKIP() << "no corpus";
  ProcessResult r = RunXevraBinary({"s=" + kCameraDng.string(), "d=" + dir_.path()}, "/");
  EXPECT_EQ(r.out, " 1 graphic files found\n\n canon_eos_6d.dng....Ready\n");
  JpegInfo info;
  ASSERT_TRUE(ReadJpegInfo(dir_.path() + "/canon_eos_6d.jpg", &info));
  EXPECT_EQ(info.width, 1224) << "not the 256x171 embedded thumbnail";
  EXPECT_EQ(info.height, 816);
}

}  // namespace
