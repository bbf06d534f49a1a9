// The writers and the codec's face: each writer's output decoded back with its own library,
// failing saves leaving nothing behind, and loading by content through CImageInterface.
#include "codec/image_interface.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "codec/formats/registry.h"
#include "codec/read_back.h"
#include "codec/save_page.h"
#include "codec/test_image.h"
#include "codec/writers/jpeg_writer.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/xevra_codec_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

template <typename Info>
Info Record() {
  Info info;
  InitSaveInfo(info);
  return info;
}

// A 6 x 4 image with a distinct colour per quadrant.
FakePage Quadrants() {
  return MakePage(6, 4, PixelLayout::kRGB8, [](int x, int y, int c) {
    static const int kColors[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
    return kColors[(y >= 2) * 2 + (x >= 3)][c];
  });
}

FakePage Flat(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  return MakePage(w, h, PixelLayout::kRGB8, [=](int, int, int c) {
    return c == 0 ? r : c == 1 ? g : b;
  });
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(JpegWriter, ModeAndChromaFromRecord) {
  struct Case {
    int depth, quality, channels, lumaSampling;
  };
  const Case kCases[] = {{24, 75, 3, 2}, {24, 89, 3, 2},  {24, 90, 3, 1}, {24, 100, 3, 1},
                         {24, 0, 3, 2},  {24, 500, 3, 1}, {8, 75, 1, 1},  {1, 95, 1, 1},
                         {0, 75, 3, 2},  {32, 75, 3, 2},  {9, 75, 3, 2}};
  TempDir dir;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.depth * 1000 + c.quality);
    FakeDecoder decoder(Flat(33, 17, 200, 100, 50));
    auto info = Record<_SAVEIMAGEINFO::_JPG>();
    info.nColorDepth = c.depth;
    info.nQuality = c.quality;
    std::string path = dir.File("out.jpg");
    ASSERT_TRUE(SavePage(decoder, path.c_str(), info));
    ReadBack back;
    ASSERT_TRUE(ReadJpeg(path, &back));
    EXPECT_EQ(back.width, 33);
    EXPECT_EQ(back.height, 17);
    EXPECT_EQ(back.channels, c.channels);
    EXPECT_EQ(back.lumaSampling, c.lumaSampling);
    int expected = c.channels == 1 ? (77 * 200 + 150 * 100 + 29 * 50 + 128) >> 8 : 200;
    EXPECT_NEAR(back.At(16, 8), expected, c.quality < 10 ? 40 : 8);
  }
}

TEST(JpegWriter, ResizesAndTurnsPerHeader) {
  TempDir dir;
  FakeDecoder decoder(Quadrants());
  auto info = Record<_SAVEIMAGEINFO::_JPG>();
  info.nWidth = 60;
  info.bProportional = 1;
  info.fRotation = 90;
  info.nQuality = 95;
  std::string path = dir.File("out.jpg");
  ASSERT_TRUE(SavePage(decoder, path.c_str(), info));
  ReadBack back;
  ASSERT_TRUE(ReadJpeg(path, &back));
  EXPECT_EQ(back.width, 40);
  EXPECT_EQ(back.height, 60);
  // After a clockwise turn the bottom-left (blue) quadrant is at the top-left.
  EXPECT_NEAR(back.At(5, 5, 2), 255, 12);
  EXPECT_NEAR(back.At(5, 5, 0), 0, 12);
  EXPECT_NEAR(back.At(35, 5, 0), 255, 12);  // red
}

std::vector<uint8_t> FakeProfile(const char* space) {
  std::vector<uint8_t> icc(200, 7);
  std::memcpy(&icc[16], space, 4);
  return icc;
}

// A little-endian EXIF block with orientation and one other tag.
std::vector<uint8_t> ExifWithOrientation(uint16_t orientation) {
  std::vector<uint8_t> b = {'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0};
  auto entry = [&](uint16_t tag, uint16_t value) {
    uint8_t e[12] = {
        static_cast<uint8_t>(tag),   static_cast<uint8_t>(tag >> 8),   3, 0, 1, 0, 0, 0,
        static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), 0, 0};
    b.insert(b.end(), e, e + 12);
  };
  entry(0x0112, orientation);
  entry(0x0128, 2);
  b.insert(b.end(), {0, 0, 0, 0});
  return b;
}

TEST(JpegWriter, CarriesMatchingProfileAndResetsExifOrientation) {
  struct Case {
    const char* space;
    int depth;
    bool carried;
  };
  const Case kCases[] = {{"RGB ", 24, true},
                         {"RGB ", 8, false},
                         {"GRAY", 8, true},
                         {"GRAY", 24, false},
                         {"CMYK", 24, false}};
  TempDir dir;
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.space) + std::to_string(c.depth));
    FakePage page = Quadrants();
    page.icc = FakeProfile(c.space);
    page.exif = ExifWithOrientation(6);
    page.orientation = 6;
    FakeDecoder decoder(page);
    auto info = Record<_SAVEIMAGEINFO::_JPG>();
    info.nColorDepth = c.depth;
    std::string path = dir.File("meta.jpg");
    ASSERT_TRUE(SavePage(decoder, path.c_str(), info));
    ReadBack back;
    ASSERT_TRUE(ReadJpeg(path, &back));
    EXPECT_EQ(back.width, 4);
    EXPECT_EQ(back.height, 6);
    EXPECT_EQ(back.icc, c.carried ? page.icc : std::vector<uint8_t>());
    std::vector<uint8_t> expected = ExifWithOrientation(1);
    EXPECT_EQ(back.exif, expected);
  }
}

TEST(JpegWriter, MalformedExifIsDropped) {
  TempDir dir;
  FakePage page = Quadrants();
  page.exif = ExifWithOrientation(3);
  page.exif[8] = 200;  // more entries than the block holds
  FakeDecoder decoder(page);
  std::string path = dir.File("meta.jpg");
  ASSERT_TRUE(SavePage(decoder, path.c_str(), Record<_SAVEIMAGEINFO::_JPG>()));
  ReadBack back;
  ASSERT_TRUE(ReadJpeg(path, &back));
  EXPECT_TRUE(back.exif.empty());
}

TEST(LosslessWriters, PixelsComeBackExactly) {
  TempDir dir;
  FakePage page =
      MakePage(5, 3, PixelLayout::kRGB8, [](int x, int y, int c) { return x * 50 + y * 7 + c; });
  for (const char* format : {"bmp", "tif"}) {
    SCOPED_TRACE(format);
    FakeDecoder decoder(page);
    std::string path = dir.File(std::string("out.") + format);
    ReadBack back;
    if (format[0] == 'b') {
      ASSERT_TRUE(SavePage(decoder, path.c_str(), Record<_SAVEIMAGEINFO::_BMP>()));
      ASSERT_TRUE(ReadBmp(path, &back));
    } else {
      ASSERT_TRUE(SavePage(decoder, path.c_str(), Record<_SAVEIMAGEINFO::_TIF>()));
      ASSERT_TRUE(ReadTiff(path, &back));
      EXPECT_EQ(back.compression, 8);  // deflate
    }
    EXPECT_EQ(back.width, 5);
    EXPECT_EQ(back.height, 3);
    EXPECT_EQ(back.channels, 3);
    EXPECT_EQ(back.pixels, page.pixels);
  }
}

TEST(LosslessWriters, GrayAndAlphaSourcesBecomeRgb) {
  TempDir dir;
  FakeDecoder gray(MakePage(3, 2, PixelLayout::kG8, [](int x, int, int) { return x * 100; }));
  std::string path = dir.File("gray.bmp");
  ASSERT_TRUE(SavePage(gray, path.c_str(), Record<_SAVEIMAGEINFO::_BMP>()));
  ReadBack back;
  ASSERT_TRUE(ReadBmp(path, &back));
  EXPECT_EQ(back.At(2, 1, 0), 200);
  EXPECT_EQ(back.At(2, 1, 2), 200);

  FakeDecoder alpha(
      MakePage(2, 2, PixelLayout::kRGBA8, [](int, int, int c) { return c == 3 ? 0 : 9; }));
  path = dir.File("alpha.tif");
  ASSERT_TRUE(SavePage(alpha, path.c_str(), Record<_SAVEIMAGEINFO::_TIF>()));
  ReadBack tiff;
  ASSERT_TRUE(ReadTiff(path, &tiff));
  EXPECT_EQ(tiff.pixels, std::vector<uint8_t>(12, 255));
}

TEST(GifWriter, FewColoursStayExactAndFieldsAreHonoured) {
  struct Case {
    int bits;
    bool interlaced;
    bool transparent;
  };
  const Case kCases[] = {{8, false, false}, {8, true, false}, {1, false, true}, {4, true, true}};
  TempDir dir;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.bits * 100 + c.interlaced * 10 + c.transparent);
    FakeDecoder decoder(MakePage(9, 19, PixelLayout::kRGB8, [](int x, int y, int ch) {
      return ((x + y) % 2) ? (ch == 0 ? 250 : 3) : (ch == 2 ? 201 : 13);
    }));
    auto info = Record<_SAVEIMAGEINFO::_GIF>();
    info.nColorBits = c.bits;
    info.bInterlaced = c.interlaced;
    info.bTransparent = c.transparent;
    info.nTransparentIndex = 1;
    std::string path = dir.File("out.gif");
    ASSERT_TRUE(SavePage(decoder, path.c_str(), info));
    ReadBack back;
    ASSERT_TRUE(ReadGif(path, &back));
    EXPECT_EQ(back.width, 9);
    EXPECT_EQ(back.height, 19);
    EXPECT_EQ(back.colorBits, c.bits);
    EXPECT_EQ(back.transparentIndex, c.transparent ? 1 : -1);
    for (int y = 0; y < back.height; ++y) {
      for (int x = 0; x < back.width; ++x) {
        bool odd = (x + y) % 2;
        ASSERT_EQ(back.At(x, y, 0), odd ? 250 : 13) << x << "," << y;
        ASSERT_EQ(back.At(x, y, 2), odd ? 3 : 201) << x << "," << y;
      }
    }
  }
}

TEST(GifWriter, ManyColoursAreQuantisedClosely) {
  TempDir dir;
  FakeDecoder decoder(MakePage(64, 64, PixelLayout::kRGB8, [](int x, int y, int ch) {
    return ch == 0 ? x * 4 : ch == 1 ? y * 4 : (x + y) * 2;
  }));
  std::string path = dir.File("many.gif");
  ASSERT_TRUE(SavePage(decoder, path.c_str(), Record<_SAVEIMAGEINFO::_GIF>()));
  ReadBack back;
  ASSERT_TRUE(ReadGif(path, &back));
  ASSERT_EQ(back.width, 64);
  // giflib's median cut: close on average, a little worse at the gradient's corners.
  double total = 0;
  int worst = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      int error = std::abs(back.At(x, y, 0) - x * 4) + std::abs(back.At(x, y, 1) - y * 4);
      total += error;
      worst = std::max(worst, error);
    }
  }
  EXPECT_LT(total / (64 * 64), 24);  // two channels; a scrambled palette gives 80+
  EXPECT_LT(worst, 64);
}

TEST(FailedSave, LeavesNoFile) {
  TempDir dir;
  FakePage broken = Quadrants();
  broken.failAfterRows = 2;
  // A stage that runs out of memory mid-image throws std::bad_alloc out of SavePage (the
  // codec's face turns it into a failed save); every writer must free its library's state
  // on the way, which the leak checker of the sanitizer build sees.
  FakePage exhausted = Quadrants();
  exhausted.throwAfterRows = 2;
  struct Case {
    const char* name;
    FakePage page;
    int width;
    float rotation;
    std::string path;
    FailureKind kind;  // the reason given; kNone: not checked
  };
  const Case kCases[] = {
      {"decoding fails midway", broken, -1, 0, dir.File("out"), FailureKind::kNone},
      {"output too wide", Quadrants(), 70000, 0, dir.File("out"), FailureKind::kNone},
      {"folder missing", Quadrants(), -1, 0, dir.File("missing/out"), FailureKind::kWriteError},
      {"memory runs out midway", exhausted, -1, 0, dir.File("out"), FailureKind::kNone},
      {"memory runs out in a quarter turn", exhausted, -1, 90, dir.File("out"), FailureKind::kNone},
      {"memory runs out in a free rotation", exhausted, -1, 30, dir.File("out"),
       FailureKind::kNone},
  };
  // Each case also with the rows read on a helper thread, and someone waiting for the decoder.
  CoreBudget cores;
  cores.Release();
  SaveHelpers withHelper;
  withHelper.cores = &cores;
  withHelper.helperMinPixels = 0;
  withHelper.decoded = [] {};
  const SaveHelpers kHelpers[] = {SaveHelpers{}, withHelper};
  for (const Case& c : kCases) {
    for (int format = 0; format < 8; ++format) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(format));
      fs::remove(c.path);
      FakeDecoder decoder(c.page);
      const char* path = c.path.c_str();
      Failure failure;
      auto save = [&](auto info) {
        info.nWidth = c.width;
        info.fRotation = c.rotation;
        try {
          return SavePage(decoder, path, info, &failure, kHelpers[format / 4]);
        } catch (const std::bad_alloc&) {
          return false;
        }
      };
      bool saved = true;
      if (format % 4 == 0) {
        saved = save(Record<_SAVEIMAGEINFO::_JPG>());
      } else if (format % 4 == 1) {
        saved = save(Record<_SAVEIMAGEINFO::_BMP>());
      } else if (format % 4 == 2) {
        saved = save(Record<_SAVEIMAGEINFO::_TIF>());
      } else {
        saved = save(Record<_SAVEIMAGEINFO::_GIF>());
      }
      EXPECT_FALSE(saved);
      EXPECT_FALSE(fs::exists(c.path));
      EXPECT_TRUE(cores.TryBorrow()) << "the helper gave its core back";
      cores.Release();
      if (c.kind != FailureKind::kNone) {
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_FALSE(failure.text.empty());
      }
    }
  }
}

TEST(ImageInterface, NothingLoadedMeansNothingWorks) {
  TempDir dir;
  CImageInterface image;
  EXPECT_EQ(image.GetPageCount(), 0);
  auto jpg = Record<_SAVEIMAGEINFO::_JPG>();
  auto bmp = Record<_SAVEIMAGEINFO::_BMP>();
  auto tif = Record<_SAVEIMAGEINFO::_TIF>();
  auto gif = Record<_SAVEIMAGEINFO::_GIF>();
  std::string path = dir.File("out");
  EXPECT_EQ(image.Save(path.c_str(), &jpg), 0);
  EXPECT_EQ(image.Save(path.c_str(), &bmp), 0);
  EXPECT_EQ(image.Save(path.c_str(), &tif), 0);
  EXPECT_EQ(image.Save(path.c_str(), &gif), 0);
  EXPECT_EQ(image.LastFailure().kind, FailureKind::kMisuse);
  EXPECT_FALSE(fs::exists(path));
  image.CloseHandle();
  EXPECT_EQ(image.GetPageCount(), 0);
}

TEST(ImageInterface, NonImagesDoNotLoad) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    FailureKind kind;            // the reason Load gives; kNone: any reason but none
    std::string looksLike = "";  // the failure's text, for kNotAnImage
  };
  // A format of ours is told apart from the rest when this build left its library out.
  const bool withHeif = FindSourceFormat("heif") != nullptr;
  const std::string heic(
      "\0\0\0\x18"
      "ftypheic\0\0\0\0mif1heic",
      24);
  const Case kCases[] = {
      {"empty", "", FailureKind::kNotAnImage, "an empty file"},
      {"text", "hello, this is not an image\n", FailureKind::kNotAnImage, "text"},
      {"jpeg magic only", std::string("\xFF\xD8\xFF", 3), FailureKind::kTruncated},
      {"png signature only", std::string("\x89PNG\r\n\x1A\n", 8), FailureKind::kNone},
      {"bmp magic only", "BM", FailureKind::kNone},
      {"riff not webp", std::string("RIFF\x10\0\0\0WAVEfmt ", 16), FailureKind::kNotAnImage,
       "a WAV audio file"},
      {"mp4",
       std::string("\0\0\0\x18"
                   "ftypmp42\0\0\0\0mp42isom",
                   24),
       FailureKind::kNotAnImage, "an MP4 video"},
      {"quicktime",
       std::string("\0\0\0\x14"
                   "ftypqt  \0\0\0\0qt  ",
                   20),
       FailureKind::kNotAnImage, "a QuickTime video"},
      {"matroska", "\x1a\x45\xdf\xa3\x01\x02", FailureKind::kNotAnImage,
       "a Matroska or WebM video"},
      {"pdf", "%PDF-1.7\n%\xe2\xe3\n", FailureKind::kNotAnImage, "a PDF document"},
      {"docx", std::string("PK\x03\x04\x14\0\x06\0", 8), FailureKind::kNotAnImage,
       "a zip archive or an office document"},
      {"html", "<!DOCTYPE html>\n<html><body>", FailureKind::kNotAnImage, "an HTML page"},
      {"svg", "<?xml version=\"1.0\"?>\n<svg width=\"10\">", FailureKind::kNotAnImage,
       "an SVG drawing"},
      {"heic", heic, withHeif ? FailureKind::kNone : FailureKind::kNotAnImage,
       withHeif ? "" : "a HEIC image, but this xevra was built without libheif"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File("file.jpg");
    WriteFile(path, c.bytes);
    CImageInterface image;
    EXPECT_EQ(image.Load(path.c_str()), 0);
    EXPECT_EQ(image.GetPageCount(), 0);
    if (c.kind != FailureKind::kNone) {
      EXPECT_EQ(image.LastFailure().kind, c.kind);
      if (c.kind == FailureKind::kNotAnImage) {
        EXPECT_EQ(image.LastFailure().text, c.looksLike);
      }
    } else {
      EXPECT_NE(image.LastFailure().kind, FailureKind::kNone);
    }
  }
  CImageInterface image;
  EXPECT_EQ(image.Load(dir.File("absent.jpg").c_str()), 0);
  EXPECT_EQ(image.LastFailure().kind, FailureKind::kReadError);
  EXPECT_EQ(image.Load(dir.File("").c_str()), 0);  // a folder
  EXPECT_EQ(image.LastFailure().kind, FailureKind::kReadError);
  EXPECT_EQ(image.Load(nullptr), 0);
  EXPECT_EQ(image.LastFailure().kind, FailureKind::kMisuse);
}

TEST(ImageInterface, LoadsByContentAndConvertsToEveryFormat) {
  TempDir dir;
  // A JPEG and a BMP made by our writers, each named as the other format.
  FakeDecoder decoder(Quadrants());
  auto jpgInfo = Record<_SAVEIMAGEINFO::_JPG>();
  jpgInfo.nQuality = 100;
  ASSERT_TRUE(SavePage(decoder, dir.File("jpeg.bmp").c_str(), jpgInfo));
  ASSERT_TRUE(SavePage(decoder, dir.File("bmp.jpg").c_str(), Record<_SAVEIMAGEINFO::_BMP>()));
  for (const char* source : {"jpeg.bmp", "bmp.jpg"}) {
    SCOPED_TRACE(source);
    CImageInterface image;
    ASSERT_NE(image.Load(dir.File(source).c_str()), 0);
    EXPECT_EQ(image.GetPageCount(), 1);
    auto jpg = Record<_SAVEIMAGEINFO::_JPG>();
    jpg.nWidth = 12;
    jpg.nQuality = 95;
    auto bmp = Record<_SAVEIMAGEINFO::_BMP>();
    auto tif = Record<_SAVEIMAGEINFO::_TIF>();
    auto gif = Record<_SAVEIMAGEINFO::_GIF>();
    gif.fRotation = 180;
    ASSERT_NE(image.Save(dir.File("o.jpg").c_str(), &jpg), 0);
    ASSERT_NE(image.Save(dir.File("o.bmp").c_str(), &bmp), 0);
    ASSERT_NE(image.Save(dir.File("o.tif").c_str(), &tif), 0);
    ASSERT_NE(image.Save(dir.File("o.gif").c_str(), &gif), 0);
    ReadBack j, b, t, g;
    const int kLossy = 40;  // saturated colours through JPEG
    ASSERT_TRUE(ReadJpeg(dir.File("o.jpg"), &j));
    ASSERT_TRUE(ReadBmp(dir.File("o.bmp"), &b));
    ASSERT_TRUE(ReadTiff(dir.File("o.tif"), &t));
    ASSERT_TRUE(ReadGif(dir.File("o.gif"), &g));
    EXPECT_EQ(j.width, 12);
    EXPECT_EQ(j.height, 4);
    EXPECT_EQ(b.width, 6);
    EXPECT_EQ(t.height, 4);
    EXPECT_NEAR(j.At(1, 0, 0), 255, kLossy);  // red top-left
    EXPECT_NEAR(b.At(5, 3, 1), 255, kLossy);  // yellow bottom-right
    EXPECT_NEAR(t.At(0, 3, 2), 255, kLossy);  // blue bottom-left
    EXPECT_NEAR(g.At(5, 3, 0), 255, kLossy);  // turned: red bottom-right
    EXPECT_NEAR(g.At(5, 3, 1), 0, kLossy);
    // A second Load replaces the first; a page past the end fails.
    jpg.nPage = 1;
    EXPECT_EQ(image.Save(dir.File("p.jpg").c_str(), &jpg), 0);
    EXPECT_FALSE(fs::exists(dir.File("p.jpg")));
    EXPECT_EQ(image.Load(dir.File("nothing").c_str()), 0);
    EXPECT_EQ(image.GetPageCount(), 0);
  }
}

// A source that shrinks between Load and Save (a copy still being made, a file rewritten, a
// failing disk) fails the save and leaves nothing, in every decoder that reads the file again
// while saving: through libtiff's, giflib's, libspng's and libjpeg's read callbacks, whose
// handling of a short read the sanitizers watch, and through direct reads.
TEST(ImageInterface, SourceCutShortAfterLoadFailsTheSave) {
  TempDir dir;
  // Noise, so that every format's pixel data is most of its file.
  FakeDecoder noise(MakePage(160, 120, PixelLayout::kRGB8, [](int x, int y, int c) {
    return ((x * 73856093u) ^ (y * 19349663u) ^ (c * 83492791u)) * 2654435761u >> 24;
  }));
  ASSERT_TRUE(SavePage(noise, dir.File("jpeg").c_str(), Record<_SAVEIMAGEINFO::_JPG>()));
  ASSERT_TRUE(SavePage(noise, dir.File("gif").c_str(), Record<_SAVEIMAGEINFO::_GIF>()));
  ASSERT_TRUE(SavePage(noise, dir.File("bmp").c_str(), Record<_SAVEIMAGEINFO::_BMP>()));
  WritePng(dir.File("png"), 160, 120);
  // Our own TIFFs keep their directory after the pixels, which a cut would take away.
  WriteFile(dir.File("tiff"), TiffDirectoryFirst(160, 120, std::string(160 * 120 * 3, '\x5a')));
  WriteFile(dir.File("pnm"), "P6\n160 120\n255\n" + std::string(160 * 120 * 3, '\x5a'));
  for (const char* name : {"jpeg", "tiff", "gif", "bmp", "png", "pnm"}) {
    SCOPED_TRACE(name);
    std::string source = dir.File(name);
    CImageInterface image;
    ASSERT_NE(image.Load(source.c_str()), 0);
    fs::resize_file(source, fs::file_size(source) / 2);
    std::string out = dir.File("out.jpg");
    auto info = Record<_SAVEIMAGEINFO::_JPG>();
    EXPECT_EQ(image.Save(out.c_str(), &info), 0);
    EXPECT_NE(image.LastFailure().kind, FailureKind::kNone);
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST(ImageInterface, RealJpegOrientationIsAppliedBeforeResizingAndReset) {
  TempDir dir;
  // Stored 64 x 32, left half black, right half white; EXIF says turn 90 degrees clockwise.
  FakePage page =
      MakePage(64, 32, PixelLayout::kRGB8, [](int x, int, int) { return x < 32 ? 0 : 255; });
  std::unique_ptr<RowSource> rows = MakeMemorySource(64, 32, 3, page.pixels);
  JpegWriteOptions options;
  options.quality = 95;
  options.exif = ExifWithOrientation(6);
  std::string source = dir.File("turned.jpg");
  ASSERT_TRUE(WriteJpeg(*rows, source.c_str(), options));

  CImageInterface image;
  ASSERT_NE(image.Load(source.c_str()), 0);
  auto info = Record<_SAVEIMAGEINFO::_JPG>();
  info.nWidth = 8;  // of the turned image: 8 x 16, small enough for DCT scaling
  info.bProportional = 1;
  info.nQuality = 95;
  std::string out = dir.File("out.jpg");
  ASSERT_NE(image.Save(out.c_str(), &info), 0);
  ReadBack back;
  ASSERT_TRUE(ReadJpeg(out, &back));
  EXPECT_EQ(back.width, 8);
  EXPECT_EQ(back.height, 16);
  EXPECT_EQ(back.exif, ExifWithOrientation(1));
  // Turned clockwise, the stored left (black) half becomes the top.
  EXPECT_LT(back.At(4, 2, 0), 40);
  EXPECT_GT(back.At(4, 13, 0), 215);
}

// The pages of one file saved by objects on threads of their own, taking turns with the
// file's decoder (each page decoded while the one before is still encoded), are the pages
// saved one after the other; an object that never loads passes its turn on.
TEST(ImageInterface, PagesTakingTurnsOnThreadsEqualPagesSavedInTurn) {
  TempDir dir;
  const std::string source = dir.File("pages.tif");
  const int kPages = 4;
  WriteTiff(source, 1100, 1000, kPages);  // over a megapixel a page: saves may take helpers
  std::vector<std::string> inTurn;
  CImageInterface alone;
  for (int p = 0; p < kPages; ++p) {
    ASSERT_NE(alone.Load(source.c_str()), 0);
    auto jpg = Record<_SAVEIMAGEINFO::_JPG>();
    jpg.nPage = p;
    ASSERT_NE(alone.Save(dir.File("alone.jpg").c_str(), &jpg), 0);
    alone.CloseHandle();
    inTurn.push_back(Contents(dir.File("alone.jpg")));
  }
  struct Case {
    const char* name;
    int idle;     // cores idle for helpers
    int skipped;  // a page whose object only closes; -1: none
  };
  const Case kCases[] = {
      {"no idle core", 0, -1}, {"one idle core", 1, -1}, {"page 1 never loads", 1, 1}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto cores = std::make_shared<CoreBudget>();
    for (int i = 0; i < c.idle; ++i) cores->Release();
    CImageInterface first;
    first.ShareCores(cores);
    ASSERT_NE(first.Load(source.c_str()), 0);
    std::vector<std::unique_ptr<CImageInterface>> later;
    for (int p = 1; p < kPages; ++p) later.push_back(first.NextPage());
    std::vector<int> saved(kPages, -1);
    std::vector<std::thread> threads;
    // The last page's thread starts first: every Load waits for its turn.
    for (int p = kPages - 1; p >= 0; --p) {
      threads.emplace_back([&, p] {
        CImageInterface& image = p == 0 ? first : *later[p - 1];
        if (p == c.skipped) {
          image.CloseHandle();
          return;
        }
        if (p > 0 && image.Load(source.c_str()) == 0) return;
        auto jpg = Record<_SAVEIMAGEINFO::_JPG>();
        jpg.nPage = p;
        saved[p] = image.Save(dir.File("page" + std::to_string(p) + ".jpg").c_str(), &jpg);
        image.CloseHandle();
      });
    }
    for (std::thread& t : threads) t.join();
    for (int p = 0; p < kPages; ++p) {
      std::string out = dir.File("page" + std::to_string(p) + ".jpg");
      if (p == c.skipped) {
        EXPECT_FALSE(fs::exists(out));
        continue;
      }
      EXPECT_NE(saved[p], 0) << p;
      EXPECT_TRUE(Contents(out) == inTurn[p]) << "page " << p << " differs";
      fs::remove(out);
    }
    EXPECT_EQ(cores->TryBorrow(), c.idle > 0) << "helpers gave their cores back";
  }
}

}  // namespace
