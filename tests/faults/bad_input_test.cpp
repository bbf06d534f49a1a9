// Broken and hostile images: each one fails on its own line (or converts), quickly and in
// bounded memory, and the files after it still convert.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "codec/image_interface.h"
#include "faults/fault_support.h"
#include "settings/convert_settings.h"
#include "support/images.h"

namespace {

namespace fs = std::filesystem;

// A BMP header (40-byte info header) followed by data.
std::string Bmp(int32_t width, int32_t height, int bits, int compression,
                const std::string& palette, const std::string& pixels) {
  std::string body;
  AppendLe32(body, 40);
  AppendLe32(body, static_cast<uint32_t>(width));
  AppendLe32(body, static_cast<uint32_t>(height));
  AppendLe16(body, 1);
  AppendLe16(body, static_cast<uint32_t>(bits));
  AppendLe32(body, static_cast<uint32_t>(compression));
  AppendLe32(body, static_cast<uint32_t>(pixels.size()));
  AppendLe32(body, 2835);
  AppendLe32(body, 2835);
  AppendLe32(body, static_cast<uint32_t>(palette.size() / 4));
  AppendLe32(body, 0);
  std::string file = "BM";
  AppendLe32(file, static_cast<uint32_t>(14 + body.size() + palette.size() + pixels.size()));
  AppendLe32(file, 0);
  AppendLe32(file, static_cast<uint32_t>(14 + body.size() + palette.size()));
  return file + body + palette + pixels;
}

std::string TiffWithLoopingChain() {
  // Two directories of a 1x1 gray image whose "next" offsets point at each other.
  std::string file = "II*";
  file += '\0';
  AppendLe32(file, 8);
  auto directory = [&](uint32_t next) {
    const uint16_t tags[][2] = {{256, 1},   {257, 1}, {258, 8}, {259, 1}, {262, 1},
                                {273, 200}, {277, 1}, {278, 1}, {279, 1}};
    AppendLe16(file, 9);
    for (const auto& t : tags) {
      AppendLe16(file, t[0]);
      AppendLe16(file, 3);
      AppendLe32(file, 1);
      AppendLe32(file, t[1]);
    }
    AppendLe32(file, next);
  };
  directory(8 + 2 + 9 * 12 + 4);  // the second directory follows the first
  directory(8);                   // and leads back to it
  file.resize(201, '\x80');
  return file;
}

std::string GifWithManyFrames(int frames) {
  std::string file = "GIF89a";
  AppendLe16(file, 1);
  AppendLe16(file, 1);
  file += std::string("\x80\x00\x00", 3);  // global palette of 2 colours
  file += std::string("\x00\x00\x00\xff\xff\xff", 6);
  for (int i = 0; i < frames; ++i) {
    file += std::string("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10);
    file += std::string("\x02\x02\x4c\x01\x00", 5);  // one pixel of colour 1
  }
  file += ';';
  return file;
}

std::string PngHeaderOnly(uint32_t width, uint32_t height) {
  // A signature and an IHDR claiming a vast image, then a two-byte IDAT and the end; the
  // checksums are left wrong on purpose.
  std::string png = "\x89PNG\r\n\x1a\n";
  auto chunk = [&](const char* type, const std::string& body) {
    AppendBe32(png, static_cast<uint32_t>(body.size()));
    png += type;
    png += body;
    AppendBe32(png, 0);
  };
  std::string ihdr;
  AppendBe32(ihdr, width);
  AppendBe32(ihdr, height);
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  chunk("IHDR", ihdr);
  chunk("IDAT", "\x78\x01");
  chunk("IEND", "");
  return png;
}

std::string JpegFrameOnly(uint16_t width, uint16_t height) {
  std::string jpeg = "\xff\xd8";
  jpeg += std::string("\xff\xc0\x00\x0b\x08", 5);
  jpeg += static_cast<char>(height >> 8);
  jpeg += static_cast<char>(height & 0xff);
  jpeg += static_cast<char>(width >> 8);
  jpeg += static_cast<char>(width & 0xff);
  jpeg += std::string("\x01\x01\x11\x00\xff\xd9", 6);
  return jpeg;
}

// Returns the bytes of width x height pixels of noise, three samples each.
std::string NoiseRgb(int width, int height) {
  std::string rgb;
  for (uint32_t i = 0; i < static_cast<uint32_t>(width * height * 3); ++i) {
    rgb += static_cast<char>((i * 2654435761u) >> 24);
  }
  return rgb;
}

// A lossless WebP of black and green squares: every prefix code but green's has a single
// symbol, so the entropy-coded pixels are one bit each.
std::string WebpSquares(int width, int height) {
  std::string data = "\x2f";
  int used = 0;
  auto put = [&](uint32_t value, int bits) {
    for (int i = 0; i < bits; ++i, ++used) {
      if (used % 8 == 0) data += '\0';
      if ((value >> i) & 1) data.back() = static_cast<char>(data.back() | (1 << (used % 8)));
    }
  };
  put(static_cast<uint32_t>(width - 1), 14);
  put(static_cast<uint32_t>(height - 1), 14);
  put(0, 1);  // no alpha
  put(0, 3);  // version
  put(0, 1);  // no transform
  put(0, 1);  // no colour cache
  put(0, 1);  // one prefix code group

  // A simple prefix code of the symbol first, or of first and second (second >= 0).
  auto simpleCode = [&](uint32_t first, int second) {
    put(1, 1);
    put(second >= 0 ? 1 : 0, 1);
    put(1, 1);  // first takes 8 bits
    put(first, 8);
    if (second >= 0) put(static_cast<uint32_t>(second), 8);
  };
  simpleCode(0, 255);   // green
  simpleCode(0, -1);    // red
  simpleCode(0, -1);    // blue
  simpleCode(255, -1);  // alpha
  simpleCode(0, -1);    // distance, unused
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) put(static_cast<uint32_t>((x / 8) ^ (y / 8)) & 1u, 1);
  }
  std::string chunk = "VP8L";
  AppendLe32(chunk, static_cast<uint32_t>(data.size()));
  chunk += data;
  if (data.size() % 2 != 0) chunk += '\0';
  std::string file = "RIFF";
  AppendLe32(file, static_cast<uint32_t>(4 + chunk.size()));
  return file + "WEBP" + chunk;
}

// Small sound files of every written format, made by the codec itself from a BMP.
void MakeSmallSources(const std::string& folder) {
  WriteBmp(folder + "/small.bmp", 16, 12);
  WriteTiff(folder + "/small.tif", 16, 12, 2);
  WritePng(folder + "/small.png", 16, 12);
  CImageInterface codec;
  ASSERT_NE(codec.Load((folder + "/small.bmp").c_str()), 0);
  CConvertSettings settings;
  InitConvertSettings(settings);
  ASSERT_NE(codec.Save((folder + "/small.jpg").c_str(), &settings.m_jpg), 0);
  ASSERT_NE(codec.Save((folder + "/small.gif").c_str(), &settings.m_gif), 0);
}

TEST_F(FaultTest, BrokenAndHostileImagesFailAloneInBoundedMemory) {
  TempDir sound;
  MakeSmallSources(sound.path());
  int count = 0;
  for (const char* ext : {"bmp", "tif", "png", "jpg", "gif"}) {
    std::string whole = ReadFile(sound / (std::string("small.") + ext));
    ASSERT_GT(whole.size(), 20u) << ext;
    for (size_t cut = 7; cut < whole.size(); cut += 7) {
      WriteFile(src_ + "/cut-" + ext + "-" + std::to_string(cut) + "." + ext, whole.substr(0, cut));
      ++count;
    }
  }
  // Headers claiming vast images over a few bytes.
  WriteFile(src_ + "/vast.bmp", Bmp(100000, 100000, 24, 0, "", "xyz"));
  WriteFile(src_ + "/vast-rle.bmp",
            Bmp(30000, 30000, 8, 1, std::string(8, '\0'), std::string("\0\1", 2)));
  WriteFile(src_ + "/vast.png", PngHeaderOnly(100000, 100000));
  WriteFile(src_ + "/vast.jpg", JpegFrameOnly(65500, 65500));
  // A palette index past the palette, and an RLE run past the row.
  WriteFile(src_ + "/index.bmp", Bmp(4, 2, 8, 0, std::string("\0\0\0\0\xff\xff\xff\0", 8),
                                     std::string("\xc8\x01\x00\xc8\x01\xc8\x00\x01", 8)));
  WriteFile(src_ + "/run.bmp", Bmp(4, 2, 8, 1, std::string("\0\0\0\0\xff\xff\xff\0", 8),
                                   std::string("\xff\x01\x00\x00\x04\x01\x00\x01", 8)));
  WriteFile(src_ + "/loop.tif", TiffWithLoopingChain());
  WriteFile(src_ + "/frames.gif", GifWithManyFrames(10000));
  count += 8;
  WriteBmp(src_ + "/zz-good.bmp", 8, 8);
  ++count;

  ProcessResult r = Convert({"-j2"}, {.timeoutSeconds = 300});
  ASSERT_EQ(r.signal, 0) << "the run was not ended by a signal";
  std::vector<std::string> lines = ProgressLines(r.out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(count)) << r.out.substr(0, 2000);
  for (const std::string& line : lines) {
    bool closed = line.ends_with(".Loading failed") || line.ends_with(".Converting failed") ||
                  line.ends_with("..Ready");
    EXPECT_TRUE(closed) << line;
  }
  EXPECT_EQ(lines.back(), " zz-good.bmp....Ready");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_LT(r.maxRssKb, 200 * 1024) << "peak memory of the whole run";
  EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
  for (const char* name : {"vast.jpg", "vast-rle.jpg", "loop.jpg"}) {
    EXPECT_FALSE(fs::exists(out_ + "/" + name) && fs::file_size(out_ + "/" + name) == 0) << name;
  }
}

// A source cut short in its pixel data (a copy still being made, a download broken off) is not
// converted, whatever its format: its line closes with a failure, nothing is written for it, no
// temporary file is left and the exit status says so. Whole, every one of them converts. With
// a second core the failure happens on the thread that decodes ahead of the encoder.
TEST_F(FaultTest, SourcesCutInTheirPixelDataAreNotConverted) {
  const int kWidth = 1024, kHeight = 1000;  // large enough for a save to take a helper thread
  const std::string noise = NoiseRgb(kWidth, kHeight);
  TempDir made;
  WriteFile(made / "noise.ppm", "P6\n1024 1000\n255\n" + noise);
  CImageInterface codec;
  ASSERT_NE(codec.Load((made / "noise.ppm").c_str()), 0);
  CConvertSettings settings;
  InitConvertSettings(settings);
  ASSERT_NE(codec.Save((made / "noise.jpg").c_str(), &settings.m_jpg), 0);
  ASSERT_NE(codec.Save((made / "noise.gif").c_str(), &settings.m_gif), 0);
  ASSERT_NE(codec.Save((made / "noise.bmp").c_str(), &settings.m_bmp), 0);
  WritePng(made / "noise.png", kWidth, kHeight);  // stored deflate: the data is most of it
  WriteFile(made / "noise.tif", TiffDirectoryFirst(kWidth, kHeight, noise));
  WriteFile(made / "noise.webp", WebpSquares(kWidth, kHeight));
  // The pixel data is most of each file: a cut at three fifths lies well inside it.
  const char* kSources[] = {"noise.bmp", "noise.png",  "noise.tif", "noise.gif",
                            "noise.jpg", "noise.webp", "noise.ppm"};

  for (const char* name : kSources) fs::copy_file(made / name, src_ + "/" + name);
  ProcessResult whole = Convert({});
  EXPECT_EQ(whole.exitCode, 0) << whole.out;
  std::vector<std::string> wholeLines = ProgressLines(whole.out);
  ASSERT_EQ(wholeLines.size(), std::size(kSources)) << whole.out;
  for (const std::string& line : wholeLines) EXPECT_TRUE(line.ends_with("....Ready")) << line;

  for (const char* name : kSources) {
    for (const char* jobs : {"-j1", "-j2"}) {
      SCOPED_TRACE(std::string(name) + " " + jobs);
      fs::remove_all(src_);
      fs::remove_all(out_);
      SetUp();
      std::string bytes = ReadFile(made / name);
      WriteFile(src_ + "/" + name, bytes.substr(0, bytes.size() * 3 / 5));
      ProcessResult r = Convert({jobs});
      std::vector<std::string> lines = ProgressLines(r.out);
      ASSERT_EQ(lines.size(), 1u) << r.out;
      EXPECT_TRUE(lines[0].ends_with(".Loading failed") || lines[0].ends_with(".Converting failed"))
          << lines[0];
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(Tree(out_), std::vector<std::string>{}) << "no output and no temporary file";
    }
  }
}

// The shared corpus's broken files in one batch, each followed by a sound file: every broken
// one ends its own line, the sound one after it converts, and the run stays in bounds.
TEST_F(FaultTest, CorpusOfBrokenFilesFailsFileByFile) {
  fs::path corpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus" / "corrupt";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  std::vector<fs::path> broken;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (entry.is_regular_file()) broken.push_back(entry.path());
  }
  std::sort(broken.begin(), broken.end());
  ASSERT_FALSE(broken.empty());
  for (size_t i = 0; i < broken.size(); ++i) {
    char number[24];
    std::snprintf(number, sizeof number, "%04zu", i);
    fs::copy_file(broken[i], src_ + "/" + number + "-a-" + broken[i].filename().string());
    WriteBmp(src_ + "/" + number + "-b-good.bmp", 8, 8);
  }

  // A second a file at most, and the sanitizer's slowness included.
  ProcessResult r = Convert({"-j2"}, {.timeoutSeconds = static_cast<unsigned>(broken.size()) + 60});
  ASSERT_EQ(r.signal, 0) << "the run was not ended by a signal";
  std::vector<std::string> lines = ProgressLines(r.out);
  ASSERT_EQ(lines.size(), 2 * broken.size()) << r.out.substr(0, 2000);
  for (size_t i = 0; i < broken.size(); ++i) {
    const std::string& line = lines[2 * i];
    bool closed = line.ends_with(".Loading failed") || line.ends_with(".Converting failed") ||
                  line.ends_with("..Ready");
    EXPECT_TRUE(closed) << broken[i] << ": " << line;
    EXPECT_TRUE(lines[2 * i + 1].ends_with("-b-good.bmp....Ready"))
        << "after " << broken[i] << ": " << lines[2 * i + 1];
  }
  EXPECT_LT(r.maxRssKb, 200 * 1024) << "peak memory of the whole run";
  EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
}

}  // namespace
