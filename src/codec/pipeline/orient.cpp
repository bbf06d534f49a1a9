#include "codec/pipeline/orient.h"

#include <cstring>

namespace {

// Source coordinates of an output pixel, centred: sx = m[0] * x + m[1] * y, sy = m[2] * x
// + m[3] * y (then shifted to start at 0). Index is the orientation.
constexpr int kMatrix[9][4] = {
    {1, 0, 0, 1}, {1, 0, 0, 1},  {-1, 0, 0, 1},  {-1, 0, 0, -1}, {1, 0, 0, -1},
    {0, 1, 1, 0}, {0, 1, -1, 0}, {0, -1, -1, 0}, {0, -1, 1, 0},
};

bool Valid(int orientation) { return orientation >= 1 && orientation <= 8; }

class OrientStage : public WholeImageStage {
 public:
  OrientStage(std::unique_ptr<RowSource> source, int orientation)
      : WholeImageStage(std::move(source),
                        OrientationTransposes(orientation) ? source->height() : source->width(),
                        OrientationTransposes(orientation) ? source->width() : source->height()),
        orientation_(orientation) {}

 private:
  void MakeRow(int row, uint8_t* out) override {
    const int* m = kMatrix[orientation_];
    const long srcW = sourceWidth(), srcH = sourceHeight();
    const long ch = channels();
    // Source pixel of output (x, row) = origin + x * step.
    long y = row;
    long sx0 = m[1] * y + ((m[0] < 0 || m[1] < 0) ? srcW - 1 : 0);
    long sy0 = m[3] * y + ((m[2] < 0 || m[3] < 0) ? srcH - 1 : 0);
    long step = (m[2] * srcW + m[0]) * ch;
    const uint8_t* src = sourcePixels() + (sy0 * srcW + sx0) * ch;
    long n = width();
    if (ch == 1) {
      for (long x = 0; x < n; ++x, src += step) out[x] = *src;
    } else if (ch == 3) {
      for (long x = 0; x < n; ++x, src += step) {
        out[3 * x] = src[0];
        out[3 * x + 1] = src[1];
        out[3 * x + 2] = src[2];
      }
    } else {
      for (long x = 0; x < n; ++x, src += step) std::memcpy(out + x * ch, src, ch);
    }
  }

  int orientation_;
};

}  // namespace

bool OrientationTransposes(int orientation) { return orientation >= 5 && orientation <= 8; }

int ComposeOrientations(int first, int second) {
  if (!Valid(first) || !Valid(second)) return 1;
  // Output -> intermediate by second, intermediate -> source by first.
  const int* a = kMatrix[first];
  const int* b = kMatrix[second];
  int m[4] = {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
              a[2] * b[1] + a[3] * b[3]};
  for (int o = 1; o <= 8; ++o) {
    if (std::memcmp(kMatrix[o], m, sizeof m) == 0) return o;
  }
  return 1;
}

int QuarterTurnOrientation(int quarterTurns) {
  constexpr int kByTurns[4] = {1, 6, 3, 8};
  return kByTurns[((quarterTurns % 4) + 4) % 4];
}

std::unique_ptr<RowSource> MakeOrientStage(std::unique_ptr<RowSource> source, int orientation) {
  if (!Valid(orientation) || orientation == 1) return source;
  return std::make_unique<OrientStage>(std::move(source), orientation);
}
