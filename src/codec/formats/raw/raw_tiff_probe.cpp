#include "codec/formats/raw/raw_tiff_probe.h"

#include <array>
#include <cstring>

namespace {

constexpr uint16_t kMakeTag = 271;
constexpr uint16_t kDngVersionTag = 50706;
// A first directory longer than this is not one a camera wrote.
constexpr uint16_t kMaxEntries = 1024;

}  // namespace

bool LooksLikeCameraTiff(const InputFile& file) {
  std::array<uint8_t, 12> header{};
  if (!file.ReadAt(0, header.data(), header.size())) return false;
  const bool little = header[0] == 'I';
  auto read16 = [little](const uint8_t* p) {
    return static_cast<uint16_t>(little ? p[0] | p[1] << 8 : p[0] << 8 | p[1]);
  };
  auto read32 = [little](const uint8_t* p) {
    return little ? static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | uint32_t{p[3]} << 24
                  : uint32_t{p[0]} << 24 | static_cast<uint32_t>(p[1] << 16 | p[2] << 8 | p[3]);
  };
  if (read16(header.data() + 2) != 42) return false;
  if (std::memcmp(header.data() + 8, "CR", 2) == 0 ||
      std::memcmp(header.data() + 8, "IIII", 4) == 0) {
    return true;
  }
  const uint32_t offset = read32(header.data() + 4);
  std::array<uint8_t, 2> countBytes{};
  if (!file.ReadAt(offset, countBytes.data(), countBytes.size())) return false;
  const uint16_t count = read16(countBytes.data());
  if (count == 0 || count > kMaxEntries) return false;
  std::array<uint8_t, 12 * kMaxEntries> entries{};
  const size_t length = file.ReadUpTo(offset + 2ull, entries.data(), 12ull * count);
  for (size_t i = 0; i + 12 <= length; i += 12) {
    const uint16_t tag = read16(entries.data() + i);
    if (tag == kMakeTag || tag == kDngVersionTag) return true;
  }
  return false;
}
