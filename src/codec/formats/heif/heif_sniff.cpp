#include <cstring>

#include "codec/formats/formats.h"

namespace {

// Brands of HEIF stills and sequences (HEVC, AVIF and the codec-neutral ones).
constexpr const char* kHeifBrands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                       "mif1", "mif2", "msf1", "avif", "avis"};

bool IsHeifBrand(const uint8_t* brand) {
  for (const char* known : kHeifBrands) {
    if (std::memcmp(brand, known, 4) == 0) return true;
  }
  return false;
}

}  // namespace

bool SniffHeif(const uint8_t* head, size_t length) {
  if (length < 16 || std::memcmp(head + 4, "ftyp", 4) != 0) return false;
  const size_t boxSize = static_cast<size_t>(head[0]) << 24 | static_cast<size_t>(head[1]) << 16 |
                         static_cast<size_t>(head[2]) << 8 | head[3];
  if (boxSize < 16) return false;
  if (IsHeifBrand(head + 8)) return true;
  // Compatible brands follow the minor version; only those within the head are looked at.
  const size_t end = boxSize < length ? boxSize : length;
  for (size_t at = 16; at + 4 <= end; at += 4) {
    if (IsHeifBrand(head + at)) return true;
  }
  return false;
}
