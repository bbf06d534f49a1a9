#include "codec/writers/metadata.h"

#include "codec/pipeline/color.h"

namespace {

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint16_t kShortType = 3;

struct ByteOrder {
  bool little;
  uint16_t Get16(const uint8_t* p) const {
    return little ? static_cast<uint16_t>(p[0] | p[1] << 8)
                  : static_cast<uint16_t>(p[0] << 8 | p[1]);
  }
  uint32_t Get32(const uint8_t* p) const {
    return little ? (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24)
                  : (static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
  }
  void Put16(uint8_t* p, uint16_t v) const {
    p[little ? 0 : 1] = static_cast<uint8_t>(v & 0xFF);
    p[little ? 1 : 0] = static_cast<uint8_t>(v >> 8);
  }
};

}  // namespace

bool ResetExifOrientation(std::vector<uint8_t>* exif) {
  std::vector<uint8_t>& b = *exif;
  if (b.size() < 8) return false;
  ByteOrder order;
  if (b[0] == 'I' && b[1] == 'I') {
    order.little = true;
  } else if (b[0] == 'M' && b[1] == 'M') {
    order.little = false;
  } else {
    return false;
  }
  if (order.Get16(&b[2]) != 42) return false;
  uint64_t ifd = order.Get32(&b[4]);
  if (ifd + 2 > b.size()) return false;
  uint64_t count = order.Get16(&b[ifd]);
  if (ifd + 2 + count * 12 > b.size()) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t* entry = &b[ifd + 2 + i * 12];
    if (order.Get16(entry) != kOrientationTag) continue;
    if (order.Get16(entry + 2) != kShortType || order.Get32(entry + 4) < 1) return false;
    order.Put16(entry + 8, 1);
  }
  return true;
}

std::vector<uint8_t> ProfileForOutput(const std::vector<uint8_t>& icc, int channels) {
  IccSpace space = IccColorSpace(icc);
  if ((channels == 1 && space == IccSpace::kGray) || (channels == 3 && space == IccSpace::kRgb)) {
    return icc;
  }
  return {};
}
