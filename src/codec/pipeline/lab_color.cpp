#include "codec/pipeline/lab_color.h"

#include <lcms2.h>

namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using ProfilePtr = std::unique_ptr<void, ProfileCloser>;

}  // namespace

std::unique_ptr<LabToSrgb> LabToSrgb::Create(bool d65) {
  // A version 4 Lab profile: its 16-bit encoding is the one Convert takes.
  cmsCIExyY white;
  if (d65) cmsWhitePointFromTemp(&white, 6504);
  ProfilePtr lab(cmsCreateLab4Profile(d65 ? &white : nullptr));
  ProfilePtr srgb(cmsCreate_sRGBProfile());
  if (!lab || !srgb) return nullptr;
  // Relative colorimetric maps the Lab white onto sRGB's white. lcms2 would otherwise bake the
  // transform into a grid of samples, whose interpolation is off by several levels near the
  // edges of the sRGB gamut (and by one even at white); the exact pipeline costs about
  // 0.1 to 0.2 s a megapixel, which the rare Lab file can afford.
  cmsHTRANSFORM transform = cmsCreateTransform(lab.get(), TYPE_Lab_16, srgb.get(), TYPE_RGB_8,
                                               INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
  if (transform == nullptr) return nullptr;
  return std::unique_ptr<LabToSrgb>(new LabToSrgb(transform));
}

LabToSrgb::~LabToSrgb() { cmsDeleteTransform(transform_); }

void LabToSrgb::Convert(const uint16_t* lab, uint8_t* rgb, size_t pixels) const {
  cmsDoTransform(transform_, lab, rgb, static_cast<cmsUInt32Number>(pixels));
}
