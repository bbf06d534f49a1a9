#include <gtest/gtest.h>
#include <libheif/heif.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/formats.h"
#include "codec/formats/heif/heif_handles.h"
#include "codec/formats/registry.h"
#include "codec/io/exif.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kNext = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "next";

struct EncoderRelease {
  void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};

// An interleaved 8-bit RGB or RGBA picture of width x height for libheif's encoder.
HeifImagePtr Picture(int width, int height, bool alpha, int seed) {
  heif_image* raw = nullptr;
  heif_image_create(width, height, heif_colorspace_RGB,
                    alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &raw);
  HeifImagePtr image(raw);
  heif_image_add_plane(raw, heif_channel_interleaved, width, height, 8);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
  for (int y = 0; y < height; ++y) {
    uint8_t* p = plane + y * stride;
    for (int x = 0; x < width; ++x) {
      *p++ = static_cast<uint8_t>(x * 255 / width);
      *p++ = static_cast<uint8_t>(y * 255 / height);
      *p++ = static_cast<uint8_t>(seed * 40);
      if (alpha) *p++ = static_cast<uint8_t>(40 + x * 7);
    }
  }
  return image;
}

// What a test file made with libheif's (lossless, uncompressed) encoder holds.
struct Made {
  int pages = 1;  // top-level images; the last one is the primary
  bool alpha = false;
  bool exif = false;  // an EXIF block with orientation 6 behind a 4-byte offset
};

// Writes a file as described by made to path; each image is kSampleWidth x kSampleHeight.
void WriteHeif(const std::string& path, const Made& made) {
  ASSERT_EQ(heif_init(nullptr).code, heif_error_Ok);
  HeifContextPtr context(heif_context_alloc());
  heif_encoder* rawEncoder = nullptr;
  ASSERT_EQ(
      heif_context_get_encoder_for_format(context.get(), heif_compression_uncompressed, &rawEncoder)
          .code,
      heif_error_Ok);
  std::unique_ptr<heif_encoder, EncoderRelease> encoder(rawEncoder);
  for (int i = 0; i < made.pages; ++i) {
    HeifImagePtr image = Picture(kSampleWidth, kSampleHeight, made.alpha, i + 1);
    heif_image_handle* rawHandle = nullptr;
    ASSERT_EQ(
        heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, &rawHandle)
            .code,
        heif_error_Ok);
    HeifHandlePtr handle(rawHandle);
    if (made.exif) {
      // A big-endian TIFF block whose IFD0 holds orientation 6.
      const uint8_t tiff[] = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0,
                              3,   0,   0, 0,  1, 0, 6, 0, 0, 0, 0,    0,    0};
      ASSERT_EQ(heif_context_add_exif_metadata(context.get(), handle.get(), tiff, sizeof tiff).code,
                heif_error_Ok);
    }
    if (i == made.pages - 1) heif_context_set_primary_image(context.get(), handle.get());
  }
  ASSERT_EQ(heif_context_write_to_file(context.get(), path.c_str()).code, heif_error_Ok);
}

[[maybe_unused]] const bool kSampleAdded =
    AddFormatSample("heif", {1, [](const std::string& path) { WriteHeif(path, {}); }});

// libheif's own decode of path's primary image with its transformations, 8 bits, RGB(A).
struct Reference {
  int width = 0;
  int height = 0;
  bool alpha = false;
  Bytes pixels;
};

Reference DecodeWithLibheif(const fs::path& path) {
  Reference out;
  heif_init(nullptr);
  HeifContextPtr context(heif_context_alloc());
  if (heif_context_read_from_file(context.get(), path.c_str(), nullptr).code != heif_error_Ok) {
    return out;
  }
  heif_image_handle* rawHandle = nullptr;
  heif_context_get_primary_image_handle(context.get(), &rawHandle);
  HeifHandlePtr handle(rawHandle);
  out.alpha = heif_image_handle_has_alpha_channel(rawHandle) != 0;
  heif_decoding_options* options = heif_decoding_options_alloc();
  options->convert_hdr_to_8bit = 1;
  heif_image* rawImage = nullptr;
  heif_decode_image(rawHandle, &rawImage, heif_colorspace_RGB,
                    out.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                    options);
  heif_decoding_options_free(options);
  HeifImagePtr image(rawImage);
  if (!image) return out;
  out.width = heif_image_get_width(rawImage, heif_channel_interleaved);
  out.height = heif_image_get_height(rawImage, heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(rawImage, heif_channel_interleaved, &stride);
  const size_t rowBytes = static_cast<size_t>(out.width) * (out.alpha ? 4 : 3);
  for (int y = 0; y < out.height; ++y) {
    out.pixels.insert(out.pixels.end(), plane + y * stride, plane + y * stride + rowBytes);
  }
  return out;
}

class HeifDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/xevra_heif_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(HeifDecoderTest, DecodesWhatTheFileHolds) {
  struct MadeCase {
    const char* name;
    Made made;
    PixelLayout layout;
    int seed;  // of the primary image, which must be page 0
  } cases[] = {
      {"rgb", {}, PixelLayout::kRGB8, 1},
      {"alpha kept for the pipeline to flatten", {1, true}, PixelLayout::kRGBA8, 1},
      {"two top-level images: the primary (second) is page 0", {2}, PixelLayout::kRGB8, 2},
  };
  for (const MadeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / "made.heif";
    WriteHeif(path.string(), c.made);
    auto decoder = OpenDecoder(path.c_str());
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(decoder->PageCount(), c.made.pages);
    DecodedPage page;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 5, &page), DecodeStage::kDone);
    EXPECT_EQ(page.layout, c.layout);
    HeifImagePtr expected = Picture(kSampleWidth, kSampleHeight, c.made.alpha, c.seed);
    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(expected.get(), heif_channel_interleaved, &stride);
    const size_t rowBytes = static_cast<size_t>(kSampleWidth) * (c.made.alpha ? 4 : 3);
    Bytes want;
    for (int y = 0; y < kSampleHeight; ++y)
      want.insert(want.end(), plane + y * stride, plane + y * stride + rowBytes);
    EXPECT_EQ(page.pixels, want);
  }
}

TEST_F(HeifDecoderTest, CarriesExifOverFromItsTiffHeader) {
  const fs::path path = dir_ / "made.heif";
  WriteHeif(path.string(), {1, false, true});
  auto decoder = OpenDecoder(path.c_str());
  ASSERT_NE(decoder, nullptr);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  // The EXIF block starts at its TIFF header; its orientation is not applied again.
  ASSERT_GE(info.exif.size(), 4u);
  EXPECT_EQ(std::memcmp(info.exif.data(), "MM\0*", 4), 0);
  EXPECT_EQ(ReadExifOrientation(info.exif.data(), info.exif.size()), 6);
  EXPECT_EQ(info.orientation, 1);
}

// Real files: upright (libheif applies crop, rotation and mirroring), and the same pixels as
// libheif's own decode.
TEST_F(HeifDecoderTest, RealFilesMatchLibheifsOwnDecode) {
  struct RealCase {
    const char* file;
    bool icc;             // an ICC profile reaches the output (embedded or made from nclx)
    int exifOrientation;  // in the carried-over EXIF block; 0: no block
  } cases[] = {
      {"valid/heic/libvips/heic-orientation-6.heic", true, 6},  // irot and EXIF 6: turned once
      {"valid/heic/libvips/Example1.heic", true, 6},            // EXIF 6 without irot: as stored
      {"valid/heic/exiv2/issue_9292_sony_6_right_top.HIF", false, 0},  // 10-bit
      {"valid/heic/libheif/rainbow-451x461.heic", true, 0},            // clap crop
      {"valid/heic/libheif/colors-with-alpha-thumbnail.heic", false, 0},
      {"valid/heic/photoprism/iphone_15_pro.heic", true, 6},
      {"valid/avif/av1-avif/kimono.mirror-vertical.rotate270.crop.avif", false, 0},
      {"valid/avif/av1-avif/fox.profile2.12bpc.yuv444.avif", false, 0},
      {"valid/avif/immich/10bit-HDR-P3-nclx.avif", true, 1},
      {"valid/avif/immich/8bit-sRGB.avif", false, 0},
      {"valid/avif/pillow/transparency.avif", false, 0},
      {"valid/avif/av1-avif/Summer_in_Tomsk_720p_5x4_grid.avif", false, 1},
  };
  if (!fs::is_directory(kNext)) GTEST_SKIP() << "no corpus at " << kNext;
  for (const RealCase& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path path = kNext / c.file;
    Reference reference = DecodeWithLibheif(path);
    ASSERT_GT(reference.width, 0);
    auto decoder = OpenDecoder(path.c_str());
    ASSERT_NE(decoder, nullptr);
    DecodedPage page;
    ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 256, &page), DecodeStage::kDone);
    EXPECT_EQ(page.width, reference.width);
    EXPECT_EQ(page.height, reference.height);
    EXPECT_EQ(page.orientation, 1);
    EXPECT_GE(Psnr(page.pixels, reference.pixels), 35.0);
    EXPECT_EQ(!page.icc.empty(), c.icc);
    if (c.exifOrientation == 0) continue;
    EXPECT_EQ(ReadExifOrientation(page.exif.data(), page.exif.size()), c.exifOrientation);
  }
}

TEST_F(HeifDecoderTest, RefusesImagesOverTheBudgetBeforeDecoding) {
  const fs::path bomb = kNext / "corrupt/avif/libvips/17000x17000.avif";
  if (!fs::exists(bomb)) GTEST_SKIP() << "no corpus at " << kNext;
  Failure failure;
  EXPECT_EQ(OpenDecoder(bomb.c_str(), &failure), nullptr);
  EXPECT_EQ(failure.kind, FailureKind::kTooLarge) << failure.text;
}

}  // namespace
