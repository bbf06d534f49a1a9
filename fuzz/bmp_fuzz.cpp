// libFuzzer target for the BMP decoder: opens the input as a file and reads every row of every
// page. Build and run from the repository root:
//   mkdir -p build-fuzz && clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined \
//     -Isrc fuzz/bmp_fuzz.cpp src/codec/bmp_decoder.cpp src/codec/bmp_decoder_header.cpp \
//     src/codec/input_file.cpp src/codec/decoder.cpp -o build-fuzz/bmp_fuzz
//   build-fuzz/bmp_fuzz -max_total_time=180 build-fuzz/bmp_corpus
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder.h"

namespace {

// The decoder accepts up to kMaxSourcePixels; larger pages than this are only probed, so
// that a legitimate gigapixel allocation does not trip libFuzzer's memory limit.
constexpr uint64_t kFuzzMaxPixels = 4u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("bmp_fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  auto decoder = OpenBmpDecoder(InputFile::Open(path.c_str()));
  close(fd);
  if (decoder == nullptr) return 0;
  const int pages = decoder->PageCount();
  for (int page = 0; page < pages && page < 64; ++page) {
    PageGeometry geometry;
    if (!decoder->Probe(page, &geometry)) continue;
    if (static_cast<uint64_t>(geometry.width) * geometry.height > kFuzzMaxPixels) continue;
    PageInfo info;
    if (!decoder->StartPage(page, DecodeRequest{}, &info)) continue;
    const size_t stride = static_cast<size_t>(info.width) * ChannelCount(info.layout);
    std::vector<uint8_t> row(stride);
    for (int y = 0; y < info.height; ++y) {
      if (!decoder->ReadRows(row.data(), stride, 1)) break;
    }
  }
  return 0;
}
