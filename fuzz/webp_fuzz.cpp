// libFuzzer target for the WebP decoder: every page, every row.
// Build from the repository root (not part of the default build):
//   clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     $(pkg-config --cflags libwebp libwebpdemux libexif) fuzz/webp_fuzz.cpp src/codec/webp_decoder.cpp \
//     src/codec/exif.cpp src/codec/decoder.cpp \
//     src/codec/input_file.cpp $(pkg-config --libs libwebp libwebpdemux libexif) -o /tmp/webp_fuzz
//   /tmp/webp_fuzz -max_total_time=180 -rss_limit_mb=2048 -timeout=20 CORPUS_DIR
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("webp_fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::unique_ptr<Decoder> decoder = OpenWebpDecoder(InputFile::Open(path.c_str()));
  close(fd);
  if (!decoder) return 0;
  for (int page = 0; page < std::min(decoder->PageCount(), 8); ++page) {
    PageGeometry geometry;
    decoder->Probe(page, &geometry);
    PageInfo info;
    if (!decoder->StartPage(page, DecodeRequest{}, &info)) continue;
    size_t stride = static_cast<size_t>(info.width) * ChannelCount(info.layout);
    std::vector<uint8_t> rows(stride * 4);
    for (int y = 0; y < info.height; y += 4) {
      if (!decoder->ReadRows(rows.data(), stride, std::min(4, info.height - y))) break;
    }
  }
  return 0;
}
