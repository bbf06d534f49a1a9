#include "codec/resize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int kWeightBits = 14;       // filter weights sum to 1 << kWeightBits
constexpr int kIntermediateBits = 6;  // fraction bits kept between the two passes
constexpr int kLobes = 3;

double Lanczos3(double x) {
  x = std::fabs(x);
  if (x < 1e-9) return 1.0;
  if (x >= kLobes) return 0.0;
  double px = M_PI * x;
  return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// For each output sample, the first source sample it reads and the weights of the
// following ones (taps per output, zero-padded), edges clamped onto the border samples.
struct Kernel {
  int taps = 0;
  std::vector<int> first;
  std::vector<int16_t> weights;
};

Kernel MakeKernel(int srcSize, int dstSize) {
  Kernel k;
  double scale = static_cast<double>(srcSize) / dstSize;
  double filterScale = std::max(1.0, scale);
  double support = kLobes * filterScale;
  k.taps = std::min(srcSize, static_cast<int>(std::ceil(2 * support)) + 1);
  k.first.resize(dstSize);
  k.weights.assign(static_cast<size_t>(dstSize) * k.taps, 0);
  std::vector<double> w(k.taps);
  for (int i = 0; i < dstSize; ++i) {
    double center = (i + 0.5) * scale - 0.5;
    int lo = static_cast<int>(std::ceil(center - support));
    int hi = static_cast<int>(std::floor(center + support));
    int first = std::clamp(lo, 0, srcSize - k.taps);
    std::fill(w.begin(), w.end(), 0.0);
    double total = 0;
    for (int j = lo; j <= hi; ++j) {
      double v = Lanczos3((j - center) / filterScale);
      int slot = std::clamp(j, 0, srcSize - 1) - first;
      if (slot < 0 || slot >= k.taps) continue;
      w[slot] += v;
      total += v;
    }
    if (std::fabs(total) < 1e-12) {
      w.assign(k.taps, 0.0);
      w[std::clamp(static_cast<int>(std::lround(center)), 0, srcSize - 1) - first] = 1.0;
      total = 1.0;
    }
    int16_t* out = &k.weights[static_cast<size_t>(i) * k.taps];
    int sum = 0, biggest = 0;
    for (int t = 0; t < k.taps; ++t) {
      out[t] = static_cast<int16_t>(std::lround(w[t] / total * (1 << kWeightBits)));
      sum += out[t];
      if (out[t] > out[biggest]) biggest = t;
    }
    out[biggest] = static_cast<int16_t>(out[biggest] + (1 << kWeightBits) - sum);
    k.first[i] = first;
  }
  return k;
}

template <int kChannels>
void HorizontalPass(const Kernel& k, const uint8_t* in, int16_t* out, int dstWidth) {
  constexpr int kMax = 255 << kIntermediateBits;
  constexpr int kRound = 1 << (kWeightBits - kIntermediateBits - 1);
  for (int x = 0; x < dstWidth; ++x) {
    const uint8_t* src = in + static_cast<size_t>(k.first[x]) * kChannels;
    const int16_t* w = &k.weights[static_cast<size_t>(x) * k.taps];
    int sum[kChannels] = {};
    for (int t = 0; t < k.taps; ++t) {
      for (int c = 0; c < kChannels; ++c) sum[c] += w[t] * src[t * kChannels + c];
    }
    for (int c = 0; c < kChannels; ++c) {
      int v = (sum[c] + kRound) >> (kWeightBits - kIntermediateBits);
      out[x * kChannels + c] = static_cast<int16_t>(std::clamp(v, 0, kMax));
    }
  }
}

class ResizeStage : public RowSource {
 public:
  ResizeStage(std::unique_ptr<RowSource> source, int width, int height)
      : RowSource(width, height, source->channels()),
        source_(std::move(source)),
        horizontal_(MakeKernel(source_->width(), width)),
        vertical_(MakeKernel(source_->height(), height)),
        ringRows_(vertical_.taps),
        ring_(static_cast<size_t>(ringRows_) * rowBytes()),
        accum_(rowBytes()),
        out_(rowBytes()) {}

  const uint8_t* NextRow() override {
    if (next_ >= height()) return nullptr;
    int first = vertical_.first[next_];
    int last = first + vertical_.taps - 1;
    while (read_ <= last) {
      const uint8_t* row = source_->NextRow();
      if (row == nullptr) return nullptr;
      int16_t* slot = RingRow(read_++);
      if (channels() == 1) {
        HorizontalPass<1>(horizontal_, row, slot, width());
      } else if (channels() == 3) {
        HorizontalPass<3>(horizontal_, row, slot, width());
      } else {
        return nullptr;
      }
    }
    const int16_t* w = &vertical_.weights[static_cast<size_t>(next_) * vertical_.taps];
    size_t n = rowBytes();
    std::fill(accum_.begin(), accum_.end(), 1 << (kWeightBits + kIntermediateBits - 1));
    for (int t = 0; t < vertical_.taps; ++t) {
      if (w[t] == 0) continue;
      const int16_t* src = RingRow(first + t);
      int weight = w[t];
      for (size_t i = 0; i < n; ++i) accum_[i] += weight * src[i];
    }
    for (size_t i = 0; i < n; ++i) {
      out_[i] =
          static_cast<uint8_t>(std::clamp(accum_[i] >> (kWeightBits + kIntermediateBits), 0, 255));
    }
    ++next_;
    return out_.data();
  }

 private:
  int16_t* RingRow(int sourceRow) {
    return ring_.data() + static_cast<size_t>(sourceRow % ringRows_) * rowBytes();
  }

  std::unique_ptr<RowSource> source_;
  Kernel horizontal_;
  Kernel vertical_;
  int ringRows_;
  std::vector<int16_t> ring_;
  std::vector<int32_t> accum_;
  std::vector<uint8_t> out_;
  int read_ = 0;
  int next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> MakeResizeStage(std::unique_ptr<RowSource> source, int width,
                                           int height) {
  if (width < 1 || height < 1) return nullptr;
  if (source->width() == width && source->height() == height) return source;
  return std::make_unique<ResizeStage>(std::move(source), width, height);
}
