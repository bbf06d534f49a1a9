#include "codec/formats/heif/heif_color.h"

#include <lcms2.h>

#include <cmath>
#include <memory>

namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
struct CurveFree {
  void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};

bool Near(float a, float b) { return std::fabs(a - b) < 0.002f; }

// Returns the tone curve of an H.273 transfer: gamma 2.2 and 2.8, linear, and the sRGB curve
// for the rest (BT.709's camera curve is not undone by displays either; PQ and HLG are not
// tone-mapped: their 8-bit values are shown as sRGB-encoded).
cmsToneCurve* CurveFor(int transfer) {
  switch (transfer) {
    case 4:
      return cmsBuildGamma(nullptr, 2.2);
    case 5:
      return cmsBuildGamma(nullptr, 2.8);
    case 8:
      return cmsBuildGamma(nullptr, 1.0);
    default: {
      const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
      return cmsBuildParametricToneCurve(nullptr, 4, srgb);
    }
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
  const cmsCIExyY white = {xy[6], xy[7], 1.0};
  const cmsCIExyYTRIPLE primaries = {{xy[0], xy[1], 1.0}, {xy[2], xy[3], 1.0}, {xy[4], xy[5], 1.0}};
  std::unique_ptr<cmsToneCurve, CurveFree> curve(CurveFor(transfer));
  if (!curve) return {};
  cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
  std::unique_ptr<void, ProfileCloser> profile(cmsCreateRGBProfile(&white, &primaries, curves));
  if (!profile) return {};
  cmsUInt32Number size = 0;
  if (!cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) return {};
  std::vector<uint8_t> icc(size);
  if (!cmsSaveProfileToMem(profile.get(), icc.data(), &size)) return {};
  return icc;
}
