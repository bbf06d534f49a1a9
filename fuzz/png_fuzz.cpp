// libFuzzer target for the PNG decoder: every input is opened, probed and decoded row by
// row, in full and again at a reduced request. Not part of the CMake build; from the repository
// root:
//   clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     fuzz/png_fuzz.cpp src/codec/png_decoder.cpp \
//     src/codec/exif.cpp src/codec/input_file.cpp src/codec/decoder.cpp -lspng -lexif \
//     -o build-fuzz/png_fuzz
//   build-fuzz/png_fuzz -max_total_time=180 -rss_limit_mb=2048 tests/data/fuzz/png
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder.h"

namespace {

// Larger pages are only opened and probed: decoding them would only measure speed.
constexpr uint64_t kMaxFuzzPixels = 4u << 20;

void DecodePage(Decoder* decoder, int page, const DecodeRequest& request) {
  PageInfo info;
  if (!decoder->StartPage(page, request, &info)) return;
  size_t stride = static_cast<size_t>(info.width) * ChannelCount(info.layout);
  std::vector<uint8_t> band(stride * 16);
  for (int y = 0; y < info.height; y += 16) {
    if (!decoder->ReadRows(band.data(), stride, std::min(16, info.height - y))) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("png_fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  auto decoder = OpenPngDecoder(InputFile::Open(path.c_str()));
  close(fd);
  if (!decoder) return 0;
  for (int page = 0; page < decoder->PageCount(); ++page) {
    PageGeometry geometry;
    if (!decoder->Probe(page, &geometry)) continue;
    if (static_cast<uint64_t>(geometry.width) * geometry.height > kMaxFuzzPixels) continue;
    DecodePage(decoder.get(), page, {});
    DecodePage(decoder.get(), page, {geometry.width / 3, geometry.height / 5});
  }
  return 0;
}
