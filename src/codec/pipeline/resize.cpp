#include "codec/pipeline/resize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int kWeightBits = 14;       // filter weights sum to 1 << kWeightBits
constexpr int kIntermediateBits = 6;  // fraction bits kept between the two passes
constexpr int kLobes = 3;
// A strong reduction first averages blocks of whole pixels and leaves the Lanczos filter a
// factor of at least three to reduce by, so that the filter still decides the result's
// sharpness and aliasing while reading a fraction of the taps. Below a factor of six no
// such block exists; pairs are then averaged from 3.6 on, leaving the filter 1.8 or more.
constexpr double kLanczosFactor = 3.0;
constexpr double kPairsFrom = 3.6;
// The filter reads past the border, where the exact filter repeats the edge pixel and blocks
// can only repeat the edge block's average: that weighs on the three outputs nearest each
// edge, which in a direction of fewer outputs than this are too large a part to average.
constexpr int kMinBlockedOutputs = 16;
// Blocks are at most this many pixels, so that a block's sum of samples fits 32 bits.
constexpr int64_t kMaxBlockPixels = int64_t{1} << 20;

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

// Returns the weights resampling srcSize samples to dstSize, output i centred on input sample
// (i + 0.5) * scale - 0.5: scale is srcSize / dstSize unless the input is itself a reduction
// by whole blocks whose last one is partial.
Kernel MakeKernel(int srcSize, int dstSize, double scale) {
  Kernel k;
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

// Returns the most output rows whose filter windows are open at once while source rows are
// read in order and each output is finished as soon as its last source row arrived.
int MaxOpenOutputs(const Kernel& k, int srcSize) {
  int opened = 0, finished = 0, most = 1;
  int outputs = static_cast<int>(k.first.size());
  for (int j = 0; j < srcSize; ++j) {
    while (finished < outputs && k.first[finished] + k.taps - 1 < j) ++finished;
    while (opened < outputs && k.first[opened] <= j) ++opened;
    most = std::max(most, opened - finished);
  }
  return most;
}

// Adds the samples of row (srcWidth pixels) into sums, block by block of factor pixels; the
// last block may be partial.
template <int kChannels>
void AddBlocks(const uint8_t* row, int srcWidth, int factor, uint32_t* sums) {
  for (int x = 0; x < srcWidth; x += factor, sums += kChannels) {
    int count = std::min(factor, srcWidth - x);
    const uint8_t* p = row + static_cast<size_t>(x) * kChannels;
    uint32_t block[kChannels] = {};
    for (int i = 0; i < count; ++i) {
      for (int c = 0; c < kChannels; ++c) block[c] += p[i * kChannels + c];
    }
    for (int c = 0; c < kChannels; ++c) sums[c] += block[c];
  }
}

// Averages blocks of factorX x factorY pixels (partial at the right and bottom edges),
// holding one row of sums.
class BlockAverageStage : public RowSource {
 public:
  BlockAverageStage(std::unique_ptr<RowSource> source, int factorX, int factorY)
      : RowSource((source->width() + factorX - 1) / factorX,
                  (source->height() + factorY - 1) / factorY, source->channels()),
        source_(std::move(source)),
        factorX_(factorX),
        factorY_(factorY),
        sums_(rowBytes()),
        out_(rowBytes()) {}

  const uint8_t* NextRow() override {
    if (next_ >= height() || (channels() != 1 && channels() != 3)) return nullptr;
    const int srcWidth = source_->width();
    const int rows = std::min(factorY_, source_->height() - next_ * factorY_);
    std::fill(sums_.begin(), sums_.end(), 0);
    for (int r = 0; r < rows; ++r) {
      const uint8_t* row = source_->NextRow();
      if (row == nullptr) return nullptr;
      if (channels() == 1) {
        AddBlocks<1>(row, srcWidth, factorX_, sums_.data());
      } else {
        AddBlocks<3>(row, srcWidth, factorX_, sums_.data());
      }
    }
    const size_t ch = static_cast<size_t>(channels());
    for (int x = 0; x < width(); ++x) {
      const uint32_t pixels =
          static_cast<uint32_t>(std::min(factorX_, srcWidth - x * factorX_) * rows);
      for (size_t c = 0; c < ch; ++c) {
        const size_t i = static_cast<size_t>(x) * ch + c;
        out_[i] = static_cast<uint8_t>((sums_[i] + pixels / 2) / pixels);
      }
    }
    ++next_;
    return out_.data();
  }

 private:
  std::unique_ptr<RowSource> source_;
  int factorX_;
  int factorY_;
  std::vector<uint32_t> sums_;
  std::vector<uint8_t> out_;
  int next_ = 0;
};

// The vertical pass either keeps a ring of horizontally resampled rows as tall as the filter
// or, when fewer rows are needed that way (strong vertical shrinking), one accumulator per
// output row whose window is open; both sum the same products, so results are identical.
class ResizeStage : public RowSource {
 public:
  // scaleX and scaleY: source pixels per output pixel (see MakeKernel).
  ResizeStage(std::unique_ptr<RowSource> source, int width, int height, double scaleX,
              double scaleY)
      : RowSource(width, height, source->channels()),
        source_(std::move(source)),
        horizontal_(MakeKernel(source_->width(), width, scaleX)),
        vertical_(MakeKernel(source_->height(), height, scaleY)),
        out_(rowBytes()) {
    int open = MaxOpenOutputs(vertical_, source_->height());
    accumulate_ = 2 * open < vertical_.taps;  // an accumulator is twice a ring row
    slots_ = accumulate_ ? open : vertical_.taps;
    if (accumulate_) {
      line_.resize(rowBytes());
      accums_.resize(static_cast<size_t>(slots_) * rowBytes());
    } else {
      ring_.resize(static_cast<size_t>(slots_) * rowBytes());
      accums_.resize(rowBytes());
    }
  }

  const uint8_t* NextRow() override {
    if (next_ >= height() || (channels() != 1 && channels() != 3)) return nullptr;
    bool ok = accumulate_ ? Accumulate() : SumRing();
    if (!ok) return nullptr;
    const int32_t* sum = accumulate_ ? Accum(next_) : accums_.data();
    for (size_t i = 0, n = rowBytes(); i < n; ++i) {
      out_[i] =
          static_cast<uint8_t>(std::clamp(sum[i] >> (kWeightBits + kIntermediateBits), 0, 255));
    }
    ++next_;
    return out_.data();
  }

 private:
  static constexpr int32_t kRound = 1 << (kWeightBits + kIntermediateBits - 1);

  // Returns false when the next source row cannot be read; else its horizontal pass in line.
  bool ReadSourceRow(int16_t* line) {
    const uint8_t* row = source_->NextRow();
    if (row == nullptr) return false;
    if (channels() == 1) {
      HorizontalPass<1>(horizontal_, row, line, width());
    } else {
      HorizontalPass<3>(horizontal_, row, line, width());
    }
    ++read_;
    return true;
  }

  static void AddWeighted(int32_t* sum, const int16_t* line, int weight, size_t n) {
    for (size_t i = 0; i < n; ++i) sum[i] += weight * line[i];
  }

  bool SumRing() {
    int first = vertical_.first[next_];
    while (read_ < first + vertical_.taps) {
      if (!ReadSourceRow(RingRow(read_))) return false;
    }
    const int16_t* w = &vertical_.weights[static_cast<size_t>(next_) * vertical_.taps];
    std::fill(accums_.begin(), accums_.end(), kRound);
    for (int t = 0; t < vertical_.taps; ++t) {
      if (w[t] != 0) AddWeighted(accums_.data(), RingRow(first + t), w[t], rowBytes());
    }
    return true;
  }

  bool Accumulate() {
    int last = vertical_.first[next_] + vertical_.taps - 1;
    while (read_ <= last) {
      int j = read_;
      if (!ReadSourceRow(line_.data())) return false;
      for (; opened_ < height() && vertical_.first[opened_] <= j; ++opened_) {
        std::fill_n(Accum(opened_), rowBytes(), kRound);
      }
      for (int y = next_; y < opened_; ++y) {
        int tap = j - vertical_.first[y];
        if (tap >= vertical_.taps) continue;
        int weight = vertical_.weights[static_cast<size_t>(y) * vertical_.taps + tap];
        if (weight != 0) AddWeighted(Accum(y), line_.data(), weight, rowBytes());
      }
    }
    return true;
  }

  int16_t* RingRow(int sourceRow) {
    return ring_.data() + static_cast<size_t>(sourceRow % slots_) * rowBytes();
  }
  int32_t* Accum(int outputRow) {
    return accums_.data() + static_cast<size_t>(outputRow % slots_) * rowBytes();
  }

  std::unique_ptr<RowSource> source_;
  Kernel horizontal_;
  Kernel vertical_;
  bool accumulate_ = false;
  int slots_ = 1;
  std::vector<int16_t> ring_;    // ring mode: source rows after the horizontal pass
  std::vector<int16_t> line_;    // accumulate mode: the current source row
  std::vector<int32_t> accums_;  // ring mode: one sum; accumulate mode: open outputs
  std::vector<uint8_t> out_;
  int read_ = 0;
  int opened_ = 0;
  int next_ = 0;
};

}  // namespace

int BlockFactor(int sourceSize, int outputSize) {
  if (outputSize < kMinBlockedOutputs || sourceSize <= outputSize) return 1;
  const double factor = static_cast<double>(sourceSize) / outputSize;
  const int block = static_cast<int>(factor / kLanczosFactor);
  if (block >= 2) return block;
  return factor >= kPairsFrom ? 2 : 1;
}

std::unique_ptr<RowSource> MakeResizeStage(std::unique_ptr<RowSource> source, int width,
                                           int height) {
  if (width < 1 || height < 1) return nullptr;
  const int srcWidth = source->width(), srcHeight = source->height();
  if (srcWidth == width && srcHeight == height) return source;
  int factorX = BlockFactor(srcWidth, width), factorY = BlockFactor(srcHeight, height);
  while (int64_t{factorX} * factorY > kMaxBlockPixels) {
    (factorX > factorY ? factorX : factorY) /= 2;
  }
  if (factorX > 1 || factorY > 1) {
    source = std::make_unique<BlockAverageStage>(std::move(source), factorX, factorY);
  }
  return std::make_unique<ResizeStage>(std::move(source), width, height,
                                       static_cast<double>(srcWidth) / factorX / width,
                                       static_cast<double>(srcHeight) / factorY / height);
}
