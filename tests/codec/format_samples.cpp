#include "codec/format_samples.h"

#include <gtest/gtest.h>

#include <fstream>

#include "codec/pipeline/pipeline.h"
#include "codec/test_image.h"
#include "codec/writers/gif_writer.h"
#include "codec/writers/jpeg_writer.h"
#include "support/images.h"

namespace {

// Runs write over a gradient page of the sample size.
template <typename Write>
void WriteThroughCodec(Write write) {
  FakeDecoder decoder(
      MakePage(kSampleWidth, kSampleHeight, PixelLayout::kRGB8,
               [](int x, int y, int c) { return (x * 11 + y * 7 + c * 50) & 255; }));
  PageInfo info;
  std::unique_ptr<RowSource> rows = BuildPipeline(decoder, Header(), 3, &info);
  ASSERT_NE(rows, nullptr);
  ASSERT_TRUE(write(*rows));
}

void WriteJpegSample(const std::string& path) {
  WriteThroughCodec([&](RowSource& rows) { return WriteJpeg(rows, path.c_str(), {}); });
}

void WriteGifSample(const std::string& path) {
  WriteThroughCodec([&](RowSource& rows) { return WriteGif(rows, path.c_str(), {}); });
}

void WritePnmSample(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << kSampleWidth << " " << kSampleHeight << "\n255\n";
  for (int i = 0; i < kSampleWidth * kSampleHeight * 3; ++i) out.put(static_cast<char>(i * 13));
}

// Runs of equal pixels that cross rows, small and large steps, and alpha changes, so every QOI
// operation appears and the decoder's state carries from row to row.
void WriteQoiSample(const std::string& path) {
  std::string rgba;
  for (int i = 0; i < kSampleWidth * kSampleHeight; ++i) {
    const int x = i % kSampleWidth;
    const bool flat = (i / 11) % 3 == 0;
    rgba.push_back(static_cast<char>(flat ? 40 : x * 9));
    rgba.push_back(static_cast<char>(flat ? 80 : i / 5));
    rgba.push_back(static_cast<char>(flat ? 120 : 200 - x));
    rgba.push_back(static_cast<char>(i % 40 < 30 ? 255 : x * 10));
  }
  std::ofstream(path, std::ios::binary) << EncodeQoi(kSampleWidth, kSampleHeight, 4, rgba);
}

std::map<std::string, FormatSample> CoreSamples() {
  return {
      {"bmp", {1, [](const std::string& p) { WriteBmp(p, kSampleWidth, kSampleHeight, 3); }}},
      {"gif", {1, WriteGifSample}},
      {"jpeg", {1, WriteJpegSample}},
      {"png", {1, [](const std::string& p) { WritePng(p, kSampleWidth, kSampleHeight); }}},
      {"pnm", {1, WritePnmSample}},
      {"qoi", {1, WriteQoiSample}},
      {"tiff", {2, [](const std::string& p) { WriteTiff(p, kSampleWidth, kSampleHeight, 2); }}},
  };
}

}  // namespace

std::map<std::string, FormatSample>& FormatSamples() {
  static std::map<std::string, FormatSample> samples = CoreSamples();
  return samples;
}

bool AddFormatSample(const std::string& name, FormatSample sample) {
  FormatSamples()[name] = sample;
  return true;
}
