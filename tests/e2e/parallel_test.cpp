// Conversions run side by side must give exactly what one after the other gives: the same
// console text, the same names and the same bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "codec/image_interface.h"
#include "support/images.h"
#include "support/jpeg_writer.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

// A tree full of what makes the order matter: names that collide within the batch and with
// existing files, pages, failures and sub-folders.
void MakeCorpus(const std::string& src, const std::string& out) {
  fs::create_directories(src + "/sub/deeper");
  fs::create_directories(src + "/blocked");
  fs::create_directories(out);
  for (int i = 0; i < 6; ++i) {
    std::string n = i == 0 ? "x" : "x(" + std::to_string(i) + ")";
    WriteBmp(src + "/" + n + ".bmp", 40 + i, 30, i);
    WriteTiff(src + "/" + n + ".tif", 20, 10 + i, 1);
  }
  // Pages this large run as tasks of their own; the 8 x 8 ones below, as one task.
  WriteTiff(src + "/p.tif", 256, 256, 3);
  WriteBmp(src + "/p_p0.bmp", 10, 10);
  WriteBmp(src + "/p_p1(1).bmp", 11, 10);
  WriteFile(out + "/p_p1.jpg", "taken before");
  WriteFile(src + "/broken.bmp", "BM broken");
  WriteBmp(src + "/ro.bmp", 5, 5);
  WriteFile(out + "/ro.jpg", "read-only");
  chmod((out + "/ro.jpg").c_str(), 0444);
  for (int i = 0; i < 12; ++i) WriteBmp(src + "/sub/s" + std::to_string(i) + ".bmp", 64, 48, i);
  WriteTiff(src + "/sub/deeper/s0.tif", 8, 8, 2);
  WriteBmp(src + "/blocked/z.bmp", 4, 4);
  WriteFile(out + "/blocked", "a file where a folder should be");
}

// A 1200x900 photo-like TIFF of many strips (or tiles), large enough for its bands to be
// decoded on helper threads. Every stored sample varies, so that a band read from the wrong
// strip or in the wrong order shows.
struct BigTiff {
  uint16_t bps = 8;
  uint16_t spp = 3;
  bool planar = false;
  uint16_t compression = COMPRESSION_ADOBE_DEFLATE;
  uint16_t predictor = 1;
  uint32_t tile = 0;       // square tiles of this size instead of strips of 16 rows
  bool cutMiddle = false;  // the middle strip keeps only the first half of its bytes
};

void WriteBigTiff(const std::string& path, const BigTiff& t) {
  constexpr uint32_t kWidth = 1200, kHeight = 900;
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, t.bps);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, t.spp);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, t.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, t.compression);
  if (t.compression == COMPRESSION_JPEG) {
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  } else {
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, t.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  }
  if (t.predictor != 1) TIFFSetField(tif, TIFFTAG_PREDICTOR, t.predictor);
  const int planes = t.planar ? t.spp : 1;
  const uint32_t perPixel = t.planar ? 1 : t.spp;
  const size_t sampleBytes = t.bps / 8;
  auto sample = [&](uint32_t x, uint32_t y, int s) -> uint32_t {
    uint32_t v = (x * 3 + y * 2 + static_cast<uint32_t>(s) * 70 + (x * y) % 23) % 256;
    return t.bps == 16 ? v * 256 + (x * 7 + y) % 256 : v;
  };
  auto fill = [&](uint8_t* out, uint32_t x0, uint32_t y, uint32_t count, int plane) {
    for (uint32_t i = 0; i < count * perPixel; ++i) {
      uint32_t v = sample(x0 + i / perPixel, y, t.planar ? plane : static_cast<int>(i % perPixel));
      std::memcpy(out + i * sampleBytes, &v, sampleBytes);  // little-endian host
    }
  };
  if (t.tile == 0) {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<uint8_t> row(kWidth * perPixel * sampleBytes);
    for (int s = 0; s < planes; ++s) {
      for (uint32_t y = 0; y < kHeight; ++y) {
        fill(row.data(), 0, y, kWidth, s);
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), y, static_cast<uint16_t>(s)), 1);
      }
    }
  } else {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, t.tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, t.tile);
    std::vector<uint8_t> tile(size_t{t.tile} * t.tile * perPixel * sampleBytes, 0);
    for (int s = 0; s < planes; ++s) {
      for (uint32_t ty = 0; ty < kHeight; ty += t.tile) {
        for (uint32_t tx = 0; tx < kWidth; tx += t.tile) {
          for (uint32_t y = 0; y < t.tile; ++y) {
            fill(tile.data() + y * t.tile * perPixel * sampleBytes, tx, ty + y, t.tile, s);
          }
          ASSERT_GE(TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(s)), 0);
        }
      }
    }
  }
  TIFFClose(tif);
  if (!t.cutMiddle) return;
  tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  uint32_t middle = TIFFNumberOfStrips(tif) / 2;
  uint64_t cutBytes = TIFFGetStrileByteCount(tif, middle) / 2;
  uint64_t cutAt = TIFFGetStrileOffset(tif, middle) + cutBytes;
  TIFFClose(tif);
  // The second half of the strip turns to zeros: its data stops making sense half-way.
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(cutAt));
  file.write(std::string(cutBytes, '\0').data(), static_cast<std::streamsize>(cutBytes));
}

// What is wrong with a big PNG: a chunk's CRC, or where the file ends.
enum class PngDamage {
  kNone,
  kEarlyIdatCrc,
  kLastIdatCrc,
  kIendCrc,
  kAncillaryCrcAfterIdat,  // a tEXt chunk between the image data and IEND
  kCutInIdat,              // the file ends half-way through the last IDAT chunk
  kCutAfterIdat,           // no IEND
};

// A 1250x1250 RGB PNG of stored deflate blocks, over 4 MiB: large enough to be read ahead on a
// thread of its own with a second core. Its image data spans IDAT chunks of 256 KiB.
void WriteBigPng(const std::string& path, PngDamage damage) {
  constexpr int kSide = 1250;
  constexpr size_t kIdatBytes = 256u << 10;
  std::string raw;
  raw.reserve(static_cast<size_t>(kSide) * (kSide * 3 + 1));
  for (int y = 0; y < kSide; ++y) {
    raw += '\0';
    for (int x = 0; x < kSide; ++x) {
      raw += static_cast<char>(x * 3 + y * 2 + (x * y) % 23);
      raw += static_cast<char>(y * 5 + x);
      raw += static_cast<char>((x + y) * 7 + (x ^ y));
    }
  }
  std::string ihdr;
  AppendBe32(ihdr, kSide);
  AppendBe32(ihdr, kSide);
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  std::string png = "\x89PNG\r\n\x1a\n";
  AppendPngChunk(png, "IHDR", ihdr);
  const std::string zlib = StoredZlib(raw);
  const size_t chunks = (zlib.size() + kIdatBytes - 1) / kIdatBytes;
  size_t cutAt = 0;
  for (size_t i = 0; i < chunks; ++i) {
    if (i + 1 == chunks) cutAt = png.size() + 8 + (zlib.size() - i * kIdatBytes) / 2;
    AppendPngChunk(png, "IDAT", zlib.substr(i * kIdatBytes, kIdatBytes));
    if ((damage == PngDamage::kEarlyIdatCrc && i == 1) ||
        (damage == PngDamage::kLastIdatCrc && i + 1 == chunks)) {
      png.back() ^= 0x01;
    }
  }
  if (damage == PngDamage::kAncillaryCrcAfterIdat) {
    AppendPngChunk(png, "tEXt", std::string("Comment\0written after the pixels", 33));
    png.back() ^= 0x01;
  }
  if (damage == PngDamage::kCutInIdat) png.resize(cutAt);
  if (damage == PngDamage::kCutInIdat || damage == PngDamage::kCutAfterIdat) {
    WriteFile(path, png);
    return;
  }
  AppendPngChunk(png, "IEND", "");
  if (damage == PngDamage::kIendCrc) png.back() ^= 0x01;
  WriteFile(path, png);
}

// How a progressive JPEG written for a test ends.
enum class ProgressiveEnd {
  kWhole,
  kCut,         // in the middle of its scans: an error
  kAfterScan2,  // its end marker right after two scans: valid, the decoder smooths the blocks
};

// A 1600x1200 progressive JPEG whose samples all vary.
void WriteProgressiveJpeg(const std::string& path, ProgressiveEnd end) {
  constexpr int kWidth = 1600, kHeight = 1200;
  MemoryJpeg jpeg(kWidth, kHeight, 3, JCS_RGB);
  jpeg_compress_struct& cinfo = *jpeg.cinfo();
  jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row(kWidth * 3);
  for (int y = 0; y < kHeight; ++y) {
    for (int i = 0; i < kWidth * 3; ++i) row[i] = static_cast<uint8_t>(i * 3 + y * 2 + i * y % 23);
    JSAMPROW rowPointer = row.data();
    jpeg_write_scanlines(&cinfo, &rowPointer, 1);
  }
  std::string bytes = jpeg.Finish();
  if (end == ProgressiveEnd::kCut) bytes.resize(bytes.size() / 2);
  if (end == ProgressiveEnd::kAfterScan2) {
    // Entropy-coded data never holds 0xFF 0xDA: the third start-of-scan marker is found whole.
    size_t at = 0;
    for (int scan = 0; scan < 3 && at != std::string::npos; ++scan) {
      at = bytes.find("\xFF\xDA", scan == 0 ? 0 : at + 2);
    }
    if (at != std::string::npos) bytes = bytes.substr(0, at) + "\xFF\xD9";
  }
  WriteFile(path, bytes);
}

struct Mode {
  const char* label;
  std::vector<std::string> switches;
};

TEST(Parallel, SameTextNamesAndBytesAsOneAtATime) {
  const Mode modes[] = {
      {"free names", {"-sf", "-sep"}},
      {"overwriting", {"-sf", "-sep", "-ov"}},
      {"resized and turned", {"-sf", "-w17", "-h13", "-prop", "-rot30"}},
  };
  for (const Mode& mode : modes) {
    SCOPED_TRACE(mode.label);
    std::map<std::string, std::string> trees[2];
    std::string texts[2];
    const char* jobs[2] = {"-j1", "-j8"};
    for (int run = 0; run < 2; ++run) {
      TempDir dir;
      MakeCorpus(dir / "src", dir / "out");
      std::vector<std::string> args{"s=" + dir.path() + "/src/*.*", "d=" + dir.path() + "/out",
                                    jobs[run]};
      args.insert(args.end(), mode.switches.begin(), mode.switches.end());
      ProcessResult r = RunXevraBinary(args, "/");
      EXPECT_EQ(r.exitCode, 1) << "the corpus holds failures";
      texts[run] = r.out;
      trees[run] = TreeContents(dir / "out");
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(trees[0].size(), trees[1].size());
    for (const auto& [name, bytes] : trees[0]) {
      auto other = trees[1].find(name);
      ASSERT_NE(other, trees[1].end()) << name << " is missing in parallel";
      EXPECT_TRUE(other->second == bytes) << name << " differs";
    }
  }
}

TEST(Parallel, OutputsBesideTheirSourcesAreReadAfterTheyAreWritten) {
  // With -ov and no destination, c.bmp writes c.jpg, which is itself a later source: it must
  // be read as c.bmp left it, whatever runs at the same time.
  std::map<std::string, std::string> trees[2];
  std::string texts[2];
  const char* jobs[2] = {"-j1", "-j4"};
  for (int run = 0; run < 2; ++run) {
    TempDir dir;
    WriteBmp(dir / "c.bmp", 300, 200, 1);
    WriteBmp(dir / "old.bmp", 20, 20, 2);
    ProcessResult first = RunXevraBinary({"s=" + dir.path() + "/old.bmp", "-j1"}, "/");
    ASSERT_EQ(first.exitCode, 0);
    fs::rename(dir / "old.jpg", dir / "c.jpg");
    for (int i = 0; i < 6; ++i) WriteBmp(dir / ("a" + std::to_string(i) + ".bmp"), 200, 100, i);
    ProcessResult r = RunXevraBinary({"s=" + dir.path() + "/*.*", "-ov", jobs[run]}, "/");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    texts[run] = r.out;
    trees[run] = TreeContents(dir.path());
    JpegInfo info;
    ASSERT_TRUE(ReadJpegInfo(dir / "c.jpg", &info));
    EXPECT_EQ(info.width, 300) << jobs[run] << ": c.jpg was read before c.bmp replaced it";
  }
  EXPECT_EQ(texts[0], texts[1]);
  EXPECT_TRUE(trees[0] == trees[1]);
}

// One large image, or the pages of one file, with a second core: decoding runs beside
// encoding and pages overlap, yet the console text and every byte are those of one core.
TEST(Parallel, LargeImagesAndSplitPagesAsOnOneCore) {
  const fs::path corpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "valid";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  TempDir made;
  // A deflate TIFF of many strips, by our own writer, from a 1.44-megapixel BMP.
  WriteBmp(made / "wide.bmp", 1600, 900, 3);
  CImageInterface codec;
  ASSERT_NE(codec.Load((made / "wide.bmp").c_str()), 0);
  _SAVEIMAGEINFO::_TIF tif;
  InitSaveInfo(tif);
  ASSERT_NE(codec.Save((made / "strips.tif").c_str(), &tif), 0);
  codec.CloseHandle();
  WriteBigPng(made / "big.png", PngDamage::kNone);
  WriteBigPng(made / "early-idat-crc.png", PngDamage::kEarlyIdatCrc);
  WriteBigPng(made / "last-idat-crc.png", PngDamage::kLastIdatCrc);
  WriteBigPng(made / "iend-crc.png", PngDamage::kIendCrc);
  WriteBigPng(made / "text-crc.png", PngDamage::kAncillaryCrcAfterIdat);
  WriteBigPng(made / "cut-in-idat.png", PngDamage::kCutInIdat);
  WriteBigPng(made / "no-iend.png", PngDamage::kCutAfterIdat);
  WriteTiff(made / "pages.tif", 700, 500, 5);
  WriteTiff(made / "thumbs.tif", 64, 48, 12);
  WriteBigTiff(made / "predictor.tif", {.predictor = PREDICTOR_HORIZONTAL});
  WriteBigTiff(made / "deep.tif", {.bps = 16, .predictor = PREDICTOR_HORIZONTAL});
  WriteBigTiff(made / "planar.tif", {.bps = 16, .planar = true});
  WriteBigTiff(made / "gray-lzw.tif", {.spp = 1, .compression = COMPRESSION_LZW});
  WriteBigTiff(made / "tiles.tif", {.tile = 128});
  WriteBigTiff(made / "ycbcr.tif", {.compression = COMPRESSION_JPEG});
  WriteBigTiff(made / "cut.tif", {.cutMiddle = true});
  fs::copy_file(made / "big.png", made / "cut.png");
  fs::resize_file(made / "cut.png", fs::file_size(made / "big.png") / 2);
  WriteProgressiveJpeg(made / "progressive.jpg", ProgressiveEnd::kWhole);
  WriteProgressiveJpeg(made / "cut.jpg", ProgressiveEnd::kCut);
  WriteProgressiveJpeg(made / "two-scans.jpg", ProgressiveEnd::kAfterScan2);
  struct Case {
    const char* label;
    std::string source;
    std::vector<std::string> switches;
    bool fails = false;
  };
  const Case kCases[] = {
      {"multi-strip deflate TIFF", made / "strips.tif", {}},
      {"deflate strips, horizontal predictor", made / "predictor.tif", {}},
      {"16-bit deflate strips, horizontal predictor", made / "deep.tif", {"-w600", "-prop"}},
      {"16-bit planar strips", made / "planar.tif", {}},
      {"gray LZW strips", made / "gray-lzw.tif", {}},
      {"deflate tiles", made / "tiles.tif", {}},
      {"JPEG-compressed YCbCr strips", made / "ycbcr.tif", {}},
      {"deflate strip cut short in the middle", made / "cut.tif", {}, true},
      {"tiled TIFF enlarged",
       (corpus / "tiff/libtiffpic/cramps-tile.tif").string(),
       {"-w2000", "-prop"}},
      {"PNG", made / "big.png", {}},
      {"progressive JPEG", made / "progressive.jpg", {}},
      {"progressive JPEG cut short in its scans", made / "cut.jpg", {}, true},
      {"progressive JPEG of two scans, its blocks smoothed", made / "two-scans.jpg", {}},
      {"PNG resized and turned", made / "big.png", {"-w900", "-prop", "-rot30"}},
      {"PNG shrunk strongly: decoding and resizing on two threads",
       made / "big.png",
       {"-w300", "-prop"}},
      {"PNG cut short, shrunk strongly", made / "cut.png", {"-w300", "-prop"}, true},
      {"PNG with an early IDAT's CRC wrong", made / "early-idat-crc.png", {}, true},
      {"PNG with the last IDAT's CRC wrong", made / "last-idat-crc.png", {}, true},
      {"PNG with IEND's CRC wrong", made / "iend-crc.png", {}, true},
      {"PNG with a damaged tEXt chunk after the pixels", made / "text-crc.png", {}},
      {"PNG cut short in an IDAT chunk", made / "cut-in-idat.png", {}, true},
      {"PNG cut after its last IDAT chunk", made / "no-iend.png", {}},
      {"BMP quarter turn", made / "wide.bmp", {"-rot90"}},
      {"TIFF pages split", made / "pages.tif", {"-sep"}},
      {"TIFF thumbnails split by the file's one task", made / "thumbs.tif", {"-sep"}},
      {"TIFF pages split and shrunk strongly", made / "pages.tif", {"-sep", "-w150", "-prop"}},
      {"GIF frames split", (corpus / "gif/danbooru/test-animated-400x281.gif").string(), {"-sep"}},
      {"GIF frames split and resized",
       (corpus / "gif/image-rs/large-gif-anim-combine.gif").string(),
       {"-sep", "-w300", "-prop"}},
      {"WebP frames split", (corpus / "webp/image-rs/anim.webp").string(), {"-sep"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(fs::exists(c.source)) << c.source;
    std::map<std::string, std::string> trees[2];
    std::string texts[2];
    const char* jobs[2] = {"-j1", "-j2"};
    for (int run = 0; run < 2; ++run) {
      TempDir dir;
      fs::create_directories(dir / "src");
      fs::copy_file(c.source, dir / ("src/" + fs::path(c.source).filename().string()));
      std::vector<std::string> args{"s=" + dir.path() + "/src/*.*", "d=" + dir.path() + "/out",
                                    jobs[run]};
      args.insert(args.end(), c.switches.begin(), c.switches.end());
      ProcessResult r = RunXevraBinary(args, "/");
      EXPECT_EQ(r.exitCode != 0, c.fails) << r.out;
      // Reasons name the source by its path, which differs from run to run.
      std::string err = r.err;
      for (size_t at = err.find(dir.path()); at != std::string::npos; at = err.find(dir.path())) {
        err.replace(at, dir.path().size(), "<dir>");
      }
      texts[run] = r.out + err;
      if (fs::exists(dir / "out")) trees[run] = TreeContents(dir / "out");
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(trees[0].empty(), c.fails);
    EXPECT_TRUE(trees[0] == trees[1]) << "outputs differ between -j1 and -j2";
  }
}

}  // namespace
