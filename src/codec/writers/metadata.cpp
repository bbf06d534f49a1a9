#include "codec/writers/metadata.h"

#include "codec/pipeline/color.h"

std::vector<uint8_t> ProfileForOutput(const std::vector<uint8_t>& icc, int channels) {
  IccSpace space = IccColorSpace(icc);
  if ((channels == 1 && space == IccSpace::kGray) || (channels == 3 && space == IccSpace::kRgb)) {
    return icc;
  }
  return {};
}
