// The shared body of the decoders' fuzz targets: the input becomes a file, is sniffed and
// opened by one format of the registry, and every page is probed and read row by row, in full
// and at a reduced request, and in full with a core to spare.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/core_budget.h"
#include "codec/formats/registry.h"

namespace fuzz {

// Larger pages are only probed: a legitimate gigapixel allocation would trip libFuzzer's
// memory limit and measure nothing but speed.
constexpr uint64_t kMaxPixels = 4u << 20;
constexpr int kMaxPages = 64;

inline void DecodePage(Decoder& decoder, int page, const DecodeRequest& request) {
  PageInfo info;
  if (!decoder.StartPage(page, request, &info)) return;
  size_t stride = static_cast<size_t>(info.width) * ChannelCount(info.layout);
  std::vector<uint8_t> band(stride * 16);
  for (int y = 0; y < info.height; y += 16) {
    if (!decoder.ReadRows(band.data(), stride, std::min(16, info.height - y))) return;
  }
}

// Returns 0, as libFuzzer asks; faults show as sanitizer reports.
inline int DecodeAll(const uint8_t* data, size_t size, const SourceFormat& format) {
  // The opener sees only what its sniffer accepted, as in the program.
  if (!format.sniff(data, std::min(size, kSniffBytes))) return 0;
  int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::unique_ptr<Decoder> decoder = format.open(InputFile::Open(path.c_str()), nullptr);
  close(fd);
  if (!decoder) return 0;
  int pages = std::min(decoder->PageCount(), kMaxPages);
  for (int page = 0; page < pages; ++page) {
    PageGeometry geometry;
    if (!decoder->Probe(page, &geometry)) continue;
    if (static_cast<uint64_t>(geometry.width) * geometry.height > kMaxPixels) continue;
    DecodePage(*decoder, page, {});
    DecodePage(*decoder, page, {geometry.width / 3, geometry.height / 5});
    // With a core idle, as a run's waiting worker lends it: the decoders' helper threads.
    CoreBudget cores;
    cores.Release();
    DecodePage(*decoder, page, {.cores = &cores});
  }
  return 0;
}

}  // namespace fuzz
