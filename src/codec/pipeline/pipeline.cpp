#include "codec/pipeline/pipeline.h"

#include <algorithm>

#include "codec/pipeline/color.h"
#include "codec/pipeline/orient.h"
#include "codec/pipeline/resize.h"
#include "codec/pipeline/rotate.h"

namespace {

long long ScaleRounded(long long value, long long numerator, long long denominator) {
  return std::max(1LL, (2 * value * numerator + denominator) / (2 * denominator));
}

int ValidOrientation(int orientation) {
  return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

bool SaneSize(long long width, long long height) {
  return width >= 1 && height >= 1 && width <= kMaxOutputSide && height <= kMaxOutputSide;
}

bool ValidLayout(PixelLayout layout) {
  int n = ChannelCount(layout);
  return n >= 1 && n <= 4;
}

// The resize target of a page with geometry, sized as it is seen once its orientation is
// applied.
void OrientedTargetSize(const SaveHeader& header, const PageGeometry& geometry, long long* width,
                        long long* height) {
  bool transposes = OrientationTransposes(ValidOrientation(geometry.orientation));
  TargetSize(header, transposes ? geometry.height : geometry.width,
             transposes ? geometry.width : geometry.height, width, height);
}

}  // namespace

void TargetSize(const SaveHeader& header, int sourceWidth, int sourceHeight, long long* width,
                long long* height) {
  long long sw = std::max(1, sourceWidth), sh = std::max(1, sourceHeight);
  bool hasW = header.nWidth > 0, hasH = header.nHeight > 0;
  long long w = hasW ? header.nWidth : sw, h = hasH ? header.nHeight : sh;
  if (header.bProportional && (hasW || hasH)) {
    bool widthLimits = hasW && (!hasH || w * sh <= h * sw);
    if (widthLimits) {
      h = ScaleRounded(sh, w, sw);
    } else {
      w = ScaleRounded(sw, h, sh);
    }
  }
  *width = w;
  *height = h;
}

bool OutputSize(const SaveHeader& header, const PageGeometry& geometry, int* width, int* height) {
  long long tw, th;
  OrientedTargetSize(header, geometry, &tw, &th);
  if (!SaneSize(tw, th)) return false;
  long long ow, oh;
  RotatedSize(PlanRotation(header.fRotation), static_cast<int>(tw), static_cast<int>(th), &ow, &oh);
  if (!SaneSize(ow, oh)) return false;
  *width = static_cast<int>(ow);
  *height = static_cast<int>(oh);
  return true;
}

std::unique_ptr<RowSource> BuildPipeline(Decoder& decoder, const SaveHeader& header, int channels,
                                         PageInfo* info, CoreBudget* cores,
                                         const RowBoundary& boundary) {
  int page = header.nPage;
  if (page < 0 || page >= decoder.PageCount()) return nullptr;
  PageGeometry geometry;
  if (!decoder.Probe(page, &geometry) || geometry.width < 1 || geometry.height < 1) {
    return nullptr;
  }
  int outW, outH;
  if (!OutputSize(header, geometry, &outW, &outH)) return nullptr;

  long long tw, th;
  OrientedTargetSize(header, geometry, &tw, &th);
  bool transposes = OrientationTransposes(ValidOrientation(geometry.orientation));
  // The decoder sees the request in stored orientation.
  DecodeRequest request;
  request.cores = cores;
  long long rw = transposes ? th : tw, rh = transposes ? tw : th;
  if (rw <= geometry.width && rh <= geometry.height) {
    request.minWidth = static_cast<int>(rw);
    request.minHeight = static_cast<int>(rh);
  }
  if (!decoder.StartPage(page, request, info)) return nullptr;
  if (info->width < 1 || info->height < 1 || !ValidLayout(info->layout) ||
      static_cast<uint64_t>(info->width) * static_cast<uint64_t>(info->height) > kMaxSourcePixels) {
    return nullptr;
  }
  int orientation = ValidOrientation(info->orientation);
  transposes = OrientationTransposes(orientation);

  RotationPlan rotation = PlanRotation(header.fRotation);
  std::unique_ptr<RowSource> rows = MakeDecoderSource(decoder, *info);
  // Decoding then runs on one thread while the other resizes (and encodes what little is
  // left), instead of one thread doing both while the other waits for a small output. The
  // reduction is judged from the stored page: a decoder shrinking on load still reads it all.
  const uint64_t outPixels = static_cast<uint64_t>(outW) * static_cast<uint64_t>(outH);
  const uint64_t workPixels =
      std::max(outPixels, static_cast<uint64_t>(info->width) * static_cast<uint64_t>(info->height));
  const bool splitAfterDecoder = boundary && outPixels * kSplitAfterDecoderReduction <=
                                                 static_cast<uint64_t>(geometry.width) *
                                                     static_cast<uint64_t>(geometry.height);
  if (splitAfterDecoder) {
    rows = boundary(std::move(rows), workPixels);
    if (!rows) return nullptr;
  }
  rows = MakeColorStage(std::move(rows), info->layout, info->icc, channels);
  if (!rows) return nullptr;
  rows = MakeResizeStage(std::move(rows), static_cast<int>(transposes ? th : tw),
                         static_cast<int>(transposes ? tw : th));
  if (!rows) return nullptr;
  int turn = rotation.exact ? QuarterTurnOrientation(rotation.quarterTurns) : 1;
  rows = MakeOrientStage(std::move(rows), ComposeOrientations(orientation, turn));
  if (!rotation.exact) {
    long long rotW, rotH;
    RotatedSize(rotation, rows->width(), rows->height(), &rotW, &rotH);
    if (!SaneSize(rotW, rotH)) return nullptr;
    rows =
        MakeRotateStage(std::move(rows), rotation, static_cast<int>(rotW), static_cast<int>(rotH));
    if (!rows) return nullptr;
  }
  if (boundary && !splitAfterDecoder) rows = boundary(std::move(rows), workPixels);
  return rows;
}
