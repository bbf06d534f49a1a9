#include "codec/formats/jxl/jxl_hdr.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "codec/pipeline/color.h"

namespace {

constexpr double kReferenceWhiteNits = 203.0;  // BT.2408's graphics white
constexpr double kKnee = 0.8;  // relative luminance up to which values are kept as they are

// Returns the luminance in cd/m2 that PQ signal v (0..1) stands for.
double PqToNits(double v) {
  constexpr double m1 = 2610.0 / 16384.0, m2 = 2523.0 / 4096.0 * 128.0;
  constexpr double c1 = 3424.0 / 4096.0, c2 = 2413.0 / 4096.0 * 32.0, c3 = 2392.0 / 4096.0 * 32.0;
  const double e = std::pow(v, 1.0 / m2);
  return 10000.0 * std::pow(std::max(e - c1, 0.0) / (c2 - c3 * e), 1.0 / m1);
}

// Returns the luminance in cd/m2 that HLG signal v (0..1) gives on a 1000 cd/m2 display (the
// system gamma of 1.2 applied per channel).
double HlgToNits(double v) {
  constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
  const double scene = v <= 0.5 ? v * v / 3.0 : (std::exp((v - c) / a) + b) / 12.0;
  return 1000.0 * std::pow(scene, 1.2);
}

// Returns the relative luminance l (1 = reference white) squeezed below 1: unchanged up to the
// knee, then an exponential shoulder that keeps the slope continuous.
double RollOff(double l) {
  if (l <= kKnee) return l;
  return kKnee + (1.0 - kKnee) * (1.0 - std::exp(-(l - kKnee) / (1.0 - kKnee)));
}

double SrgbEncode(double linear) {
  return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
}

// Returns the CIE xy of the white point and the primaries (red, green, blue) of encoding.
void Chromaticities(const JxlColorEncoding& encoding, cmsCIExyY* white, cmsCIExyYTRIPLE* rgb) {
  double w[2] = {0.3127, 0.3290};
  if (encoding.white_point == JXL_WHITE_POINT_DCI) {
    w[0] = 0.314, w[1] = 0.351;
  } else if (encoding.white_point == JXL_WHITE_POINT_E) {
    w[0] = w[1] = 1.0 / 3.0;
  } else if (encoding.white_point == JXL_WHITE_POINT_CUSTOM) {
    w[0] = encoding.white_point_xy[0], w[1] = encoding.white_point_xy[1];
  }
  double p[6] = {0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
  if (encoding.primaries == JXL_PRIMARIES_2100) {
    const double bt2020[6] = {0.708, 0.292, 0.170, 0.797, 0.131, 0.046};
    std::copy(std::begin(bt2020), std::end(bt2020), p);
  } else if (encoding.primaries == JXL_PRIMARIES_P3) {
    const double p3[6] = {0.680, 0.320, 0.265, 0.690, 0.150, 0.060};
    std::copy(std::begin(p3), std::end(p3), p);
  } else if (encoding.primaries == JXL_PRIMARIES_CUSTOM) {
    const double custom[6] = {encoding.primaries_red_xy[0],   encoding.primaries_red_xy[1],
                              encoding.primaries_green_xy[0], encoding.primaries_green_xy[1],
                              encoding.primaries_blue_xy[0],  encoding.primaries_blue_xy[1]};
    std::copy(std::begin(custom), std::end(custom), p);
  }
  *white = {w[0], w[1], 1.0};
  *rgb = {{p[0], p[1], 1.0}, {p[2], p[3], 1.0}, {p[4], p[5], 1.0}};
}

}  // namespace

bool IsHdrTransfer(const JxlColorEncoding& encoding) {
  return encoding.transfer_function == JXL_TRANSFER_FUNCTION_PQ ||
         encoding.transfer_function == JXL_TRANSFER_FUNCTION_HLG;
}

std::vector<uint8_t> HdrToSrgbTable(JxlTransferFunction transfer) {
  const bool pq = transfer == JXL_TRANSFER_FUNCTION_PQ;
  std::vector<uint8_t> table(65536);
  for (size_t i = 0; i < table.size(); ++i) {
    const double v = static_cast<double>(i) / 65535.0;
    const double nits = pq ? PqToNits(v) : HlgToNits(v);
    const double encoded = SrgbEncode(RollOff(nits / kReferenceWhiteNits));
    table[i] = static_cast<uint8_t>(std::lround(std::clamp(encoded, 0.0, 1.0) * 255.0));
  }
  return table;
}

std::vector<uint8_t> SrgbCurveProfile(const JxlColorEncoding& encoding) {
  const bool srgbWhite = encoding.white_point == JXL_WHITE_POINT_D65;
  if (encoding.color_space != JXL_COLOR_SPACE_RGB ||
      (srgbWhite && encoding.primaries == JXL_PRIMARIES_SRGB)) {
    return {};
  }
  cmsCIExyY white;
  cmsCIExyYTRIPLE primaries;
  Chromaticities(encoding, &white, &primaries);
  const double xy[8] = {primaries.Red.x,  primaries.Red.y,  primaries.Green.x, primaries.Green.y,
                        primaries.Blue.x, primaries.Blue.y, white.x,           white.y};
  return RgbProfile(xy, 0);
}
