#include "codec/pipeline/rotate.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr double kQuarterTolerance = 1e-6;
constexpr int kFractionBits = 8;

class RotateStage : public WholeImageStage {
 public:
  RotateStage(std::unique_ptr<RowSource> source, double degrees, int width, int height)
      : WholeImageStage(std::move(source), width, height),
        cos_(std::cos(degrees * M_PI / 180.0)),
        sin_(std::sin(degrees * M_PI / 180.0)) {}

 private:
  void MakeRow(int row, uint8_t* out) override {
    const int ch = channels();
    const long srcW = sourceWidth(), srcH = sourceHeight();
    // Output pixel centre relative to the canvas centre, turned back onto the source.
    double oy = row + 0.5 - height() / 2.0;
    double ox = 0.5 - width() / 2.0;
    double sx = ox * cos_ + oy * sin_ + srcW / 2.0 - 0.5;
    double sy = -ox * sin_ + oy * cos_ + srcH / 2.0 - 0.5;
    const uint8_t* px = sourcePixels();
    constexpr int kOne = 1 << kFractionBits;
    for (int x = 0; x < width(); ++x, sx += cos_, sy -= sin_) {
      double fx = std::floor(sx), fy = std::floor(sy);
      uint8_t* dst = out + static_cast<size_t>(x) * ch;
      if (fx < -1 || fy < -1 || fx >= srcW || fy >= srcH) {
        std::fill(dst, dst + ch, 255);
        continue;
      }
      long x0 = static_cast<long>(fx), y0 = static_cast<long>(fy);
      int wx = static_cast<int>((sx - fx) * kOne + 0.5),
          wy = static_cast<int>((sy - fy) * kOne + 0.5);
      int weights[4] = {(kOne - wx) * (kOne - wy), wx * (kOne - wy), (kOne - wx) * wy, wx * wy};
      long xs[4] = {x0, x0 + 1, x0, x0 + 1};
      long ys[4] = {y0, y0, y0 + 1, y0 + 1};
      for (int c = 0; c < ch; ++c) {
        int sum = 0;
        for (int k = 0; k < 4; ++k) {
          bool inside = xs[k] >= 0 && xs[k] < srcW && ys[k] >= 0 && ys[k] < srcH;
          int v = inside ? px[(ys[k] * srcW + xs[k]) * ch + c] : 255;
          sum += weights[k] * v;
        }
        dst[c] =
            static_cast<uint8_t>((sum + (1 << (2 * kFractionBits - 1))) >> (2 * kFractionBits));
      }
    }
  }

  double cos_;
  double sin_;
};

}  // namespace

RotationPlan PlanRotation(double degrees) {
  RotationPlan plan;
  if (!std::isfinite(degrees)) return plan;
  double a = std::fmod(degrees, 360.0);
  if (a < 0) a += 360.0;
  double turns = std::round(a / 90.0);
  if (std::fabs(a - turns * 90.0) < kQuarterTolerance) {
    plan.quarterTurns = static_cast<int>(turns) % 4;
    plan.degrees = plan.quarterTurns * 90.0;
    return plan;
  }
  plan.exact = false;
  plan.degrees = a;
  return plan;
}

void RotatedSize(const RotationPlan& plan, int width, int height, long long* outWidth,
                 long long* outHeight) {
  if (plan.exact) {
    bool swap = plan.quarterTurns % 2 == 1;
    *outWidth = swap ? height : width;
    *outHeight = swap ? width : height;
    return;
  }
  double r = plan.degrees * M_PI / 180.0;
  double c = std::fabs(std::cos(r)), s = std::fabs(std::sin(r));
  *outWidth = std::max(1LL, static_cast<long long>(std::ceil(width * c + height * s - 1e-6)));
  *outHeight = std::max(1LL, static_cast<long long>(std::ceil(width * s + height * c - 1e-6)));
}

std::unique_ptr<RowSource> MakeRotateStage(std::unique_ptr<RowSource> source,
                                           const RotationPlan& plan, int width, int height) {
  if (plan.exact) return nullptr;
  return std::make_unique<RotateStage>(std::move(source), plan.degrees, width, height);
}
