#include "codec/pipeline/color.h"

#include <lcms2.h>

#include <cstring>

namespace {

struct ProfileCloser {
  void operator()(void* profile) const { cmsCloseProfile(profile); }
};
struct CurveFree {
  void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
struct TransformDeleter {
  void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using ProfilePtr = std::unique_ptr<void, ProfileCloser>;
using TransformPtr = std::unique_ptr<void, TransformDeleter>;

inline uint8_t OverWhite(unsigned value, unsigned alpha) {
  return static_cast<uint8_t>((value * alpha + 255u * (255u - alpha) + 127u) / 255u);
}

inline uint8_t Luma(unsigned r, unsigned g, unsigned b) {
  return static_cast<uint8_t>((77u * r + 150u * g + 29u * b + 128u) >> 8);
}

// Returns a transform from the CMYK profile to sRGB, empty when the profile is unusable.
TransformPtr MakeCmykTransform(const std::vector<uint8_t>& icc) {
  if (IccColorSpace(icc) != IccSpace::kCmyk) return nullptr;
  ProfilePtr input(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
  if (!input || cmsGetColorSpace(input.get()) != cmsSigCmykData) return nullptr;
  ProfilePtr srgb(cmsCreate_sRGBProfile());
  if (!srgb) return nullptr;
  return TransformPtr(
      cmsCreateTransform(input.get(), TYPE_CMYK_8, srgb.get(), TYPE_RGB_8, INTENT_PERCEPTUAL, 0));
}

class ColorStage : public RowSource {
 public:
  ColorStage(std::unique_ptr<RowSource> source, PixelLayout layout, TransformPtr cmyk, int channels)
      : RowSource(source->width(), source->height(), channels),
        source_(std::move(source)),
        layout_(layout),
        cmyk_(std::move(cmyk)),
        out_(rowBytes()) {
    if (layout_ == PixelLayout::kCMYK8 && channels == 1) rgb_.resize(source_->width() * 3u);
  }

  const uint8_t* NextRow() override {
    const uint8_t* in = source_->NextRow();
    if (in == nullptr) return nullptr;
    size_t n = static_cast<size_t>(width());
    uint8_t* out = out_.data();
    bool gray = channels() == 1;
    switch (layout_) {
      case PixelLayout::kG8:  // only to RGB
        for (size_t x = 0; x < n; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = in[x];
        break;
      case PixelLayout::kGA8:
        for (size_t x = 0; x < n; ++x) {
          uint8_t v = OverWhite(in[2 * x], in[2 * x + 1]);
          if (gray) {
            out[x] = v;
          } else {
            out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = v;
          }
        }
        break;
      case PixelLayout::kRGB8:  // only to gray
        for (size_t x = 0; x < n; ++x) out[x] = Luma(in[3 * x], in[3 * x + 1], in[3 * x + 2]);
        break;
      case PixelLayout::kRGBA8:
        for (size_t x = 0; x < n; ++x) {
          unsigned a = in[4 * x + 3];
          uint8_t r = OverWhite(in[4 * x], a), g = OverWhite(in[4 * x + 1], a),
                  b = OverWhite(in[4 * x + 2], a);
          if (gray) {
            out[x] = Luma(r, g, b);
          } else {
            out[3 * x] = r;
            out[3 * x + 1] = g;
            out[3 * x + 2] = b;
          }
        }
        break;
      case PixelLayout::kCMYK8:
        ConvertCmyk(in, gray ? rgb_.data() : out, n);
        if (gray) {
          const uint8_t* rgb = rgb_.data();
          for (size_t x = 0; x < n; ++x) out[x] = Luma(rgb[3 * x], rgb[3 * x + 1], rgb[3 * x + 2]);
        }
        break;
    }
    return out;
  }

 private:
  void ConvertCmyk(const uint8_t* in, uint8_t* rgb, size_t n) {
    if (cmyk_) {
      cmsDoTransform(cmyk_.get(), in, rgb, static_cast<cmsUInt32Number>(n));
      return;
    }
    for (size_t x = 0; x < n; ++x) {
      unsigned white = 255u - in[4 * x + 3];
      for (int c = 0; c < 3; ++c) {
        rgb[3 * x + c] = static_cast<uint8_t>(((255u - in[4 * x + c]) * white + 127u) / 255u);
      }
    }
  }

  std::unique_ptr<RowSource> source_;
  PixelLayout layout_;
  TransformPtr cmyk_;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> rgb_;
};

}  // namespace

IccSpace IccColorSpace(const std::vector<uint8_t>& profile) {
  if (profile.size() < 132) return IccSpace::kUnknown;
  const uint8_t* sig = profile.data() + 16;
  if (std::memcmp(sig, "GRAY", 4) == 0) return IccSpace::kGray;
  if (std::memcmp(sig, "RGB ", 4) == 0) return IccSpace::kRgb;
  if (std::memcmp(sig, "CMYK", 4) == 0) return IccSpace::kCmyk;
  return IccSpace::kUnknown;
}

std::unique_ptr<RowSource> MakeColorStage(std::unique_ptr<RowSource> source, PixelLayout layout,
                                          const std::vector<uint8_t>& icc, int channels) {
  if (channels != 1 && channels != 3) return nullptr;
  if ((layout == PixelLayout::kG8 && channels == 1) ||
      (layout == PixelLayout::kRGB8 && channels == 3)) {
    return source;
  }
  TransformPtr cmyk;
  if (layout == PixelLayout::kCMYK8) cmyk = MakeCmykTransform(icc);
  return std::make_unique<ColorStage>(std::move(source), layout, std::move(cmyk), channels);
}

std::vector<uint8_t> RgbProfile(const double (&xy)[8], double gamma) {
  const cmsCIExyY white = {xy[6], xy[7], 1.0};
  const cmsCIExyYTRIPLE primaries = {{xy[0], xy[1], 1.0}, {xy[2], xy[3], 1.0}, {xy[4], xy[5], 1.0}};
  const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
  std::unique_ptr<cmsToneCurve, CurveFree> curve(
      gamma > 0 ? cmsBuildGamma(nullptr, gamma) : cmsBuildParametricToneCurve(nullptr, 4, srgb));
  if (!curve) return {};
  cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
  ProfilePtr profile(cmsCreateRGBProfile(&white, &primaries, curves));
  if (!profile) return {};
  cmsUInt32Number size = 0;
  if (!cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) return {};
  std::vector<uint8_t> icc(size);
  if (!cmsSaveProfileToMem(profile.get(), icc.data(), &size) || size < 36) return {};
  // lcms2 stamps the time of making into the header (bytes 24 to 35); a fixed date keeps the
  // output a function of the source alone, so that two runs write the same bytes.
  static constexpr uint8_t kCreated[12] = {0x07, 0xe8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};  // 2024-01-01
  std::memcpy(icc.data() + 24, kCreated, sizeof kCreated);
  return icc;
}
