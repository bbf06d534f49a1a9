#include "codec/formats/heif/heif_color.h"

#include <cmath>
#include <memory>

#include "codec/pipeline/color.h"

namespace {

bool Near(float a, float b) { return std::fabs(a - b) < 0.002f; }

// Returns the gamma of an H.273 transfer: 2.2 and 2.8, linear, and 0 (the sRGB curve) for
// the rest (BT.709's camera curve is not undone by displays either; PQ and HLG are not
// tone-mapped: their 8-bit values are shown as sRGB-encoded).
double GammaOf(int transfer) {
  switch (transfer) {
    case 4:
      return 2.2;
    case 5:
      return 2.8;
    case 8:
      return 1.0;
    default:
      return 0;
  }
}

}  // namespace

std::vector<uint8_t> IccForPrimaries(const float (&xy)[8], int transfer) {
  const bool srgbPrimaries = Near(xy[0], 0.64f) && Near(xy[1], 0.33f) && Near(xy[2], 0.30f) &&
                             Near(xy[3], 0.60f) && Near(xy[4], 0.15f) && Near(xy[5], 0.06f) &&
                             Near(xy[6], 0.3127f) && Near(xy[7], 0.3290f);
  if (srgbPrimaries) return {};
  for (float v : xy) {
    if (!(v > 0.0f && v < 1.0f)) return {};
  }
  const double points[8] = {xy[0], xy[1], xy[2], xy[3], xy[4], xy[5], xy[6], xy[7]};
  return RgbProfile(points, GammaOf(transfer));
}
