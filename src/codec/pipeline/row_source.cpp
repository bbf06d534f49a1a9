#include "codec/pipeline/row_source.h"

#include <algorithm>
#include <cstring>

namespace {

// Rows per decoder call: enough to keep calls cheap, few enough to keep the band small.
constexpr int kMaxBandRows = 16;
constexpr size_t kBandBytesTarget = 4u << 20;

class DecoderSource : public RowSource {
 public:
  DecoderSource(Decoder& decoder, const PageInfo& info)
      : RowSource(info.width, info.height, ChannelCount(info.layout)), decoder_(decoder) {
    size_t rows = std::max<size_t>(1, kBandBytesTarget / std::max<size_t>(1, rowBytes()));
    bandRows_ = static_cast<int>(std::min<size_t>(kMaxBandRows, rows));
    band_.resize(rowBytes() * static_cast<size_t>(bandRows_));
  }

  const uint8_t* NextRow() override {
    if (failed_) return nullptr;
    if (inBand_ == bandCount_) {
      int left = height() - delivered_;
      if (left <= 0) return nullptr;
      int count = std::min(bandRows_, left);
      if (!decoder_.ReadRows(band_.data(), rowBytes(), count)) {
        decoder_.NoteFailedRow(delivered_ + 1, height());
        failed_ = true;
        return nullptr;
      }
      bandCount_ = count;
      inBand_ = 0;
    }
    ++delivered_;
    return band_.data() + rowBytes() * static_cast<size_t>(inBand_++);
  }

 private:
  Decoder& decoder_;
  std::vector<uint8_t> band_;
  int bandRows_ = 1;
  int bandCount_ = 0;
  int inBand_ = 0;
  int delivered_ = 0;
  bool failed_ = false;
};

class MemorySource : public RowSource {
 public:
  MemorySource(int width, int height, int channels, std::vector<uint8_t> pixels)
      : RowSource(width, height, channels), pixels_(std::move(pixels)) {}

  const uint8_t* NextRow() override {
    if (next_ >= height() || pixels_.size() < rowBytes() * static_cast<size_t>(height())) {
      return nullptr;
    }
    return pixels_.data() + rowBytes() * static_cast<size_t>(next_++);
  }

 private:
  std::vector<uint8_t> pixels_;
  int next_ = 0;
};

}  // namespace

WholeImageStage::WholeImageStage(std::unique_ptr<RowSource>&& source, int width, int height)
    : RowSource(width, height, source->channels()), source_(std::move(source)), out_(rowBytes()) {}

const uint8_t* WholeImageStage::NextRow() {
  if (!loaded_) {
    if (!ReadAllRows(*source_, &pixels_)) return nullptr;
    loaded_ = true;
  }
  if (next_ >= height()) return nullptr;
  MakeRow(next_++, out_.data());
  return out_.data();
}

std::unique_ptr<RowSource> MakeDecoderSource(Decoder& decoder, const PageInfo& info) {
  return std::make_unique<DecoderSource>(decoder, info);
}

std::unique_ptr<RowSource> MakeMemorySource(int width, int height, int channels,
                                            std::vector<uint8_t> pixels) {
  return std::make_unique<MemorySource>(width, height, channels, std::move(pixels));
}

bool ReadAllRows(RowSource& source, std::vector<uint8_t>* pixels) {
  size_t rowBytes = source.rowBytes();
  pixels->resize(rowBytes * static_cast<size_t>(source.height()));
  for (int y = 0; y < source.height(); ++y) {
    const uint8_t* row = source.NextRow();
    if (row == nullptr) return false;
    std::memcpy(pixels->data() + rowBytes * static_cast<size_t>(y), row, rowBytes);
  }
  return true;
}
