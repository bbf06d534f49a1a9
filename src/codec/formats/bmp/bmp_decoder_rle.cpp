#include "codec/formats/bmp/bmp_decoder_rle.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kWindowSize = 64 * 1024;
// When a row lies before the window (rows are wanted in the reverse of stream order), the new
// window ends this far past it, so that the rows before it are read with it.
constexpr size_t kWindowReach = kWindowSize / 4;

enum class OpKind { kRun, kAbsolute, kEndOfLine, kEndOfBitmap, kDelta, kBrokenOff };

struct Op {
  OpKind kind = OpKind::kBrokenOff;
  int count = 0;                  // pixels of a run or absolute run
  uint8_t value = 0;              // a run's index (RLE4: two alternating indices)
  const uint8_t* data = nullptr;  // an absolute run's indices, packed as stored
  int dx = 0;
  int dy = 0;
};

// Reads the op at *pos and moves *pos past it. An absolute run's padding to an even length may
// be missing at the very end of the stream.
Op NextOp(BmpRleWindow& window, bool rle4, uint64_t* pos) {
  Op op;
  const uint8_t* head = window.Get(*pos, 2);
  if (head == nullptr) return op;
  *pos += 2;
  if (head[0] > 0) {
    op.kind = OpKind::kRun;
    op.count = head[0];
    op.value = head[1];
    return op;
  }
  switch (head[1]) {
    case 0:
      op.kind = OpKind::kEndOfLine;
      return op;
    case 1:
      op.kind = OpKind::kEndOfBitmap;
      return op;
    case 2: {
      const uint8_t* delta = window.Get(*pos, 2);
      if (delta == nullptr) return op;
      *pos += 2;
      op.kind = OpKind::kDelta;
      op.dx = delta[0];
      op.dy = delta[1];
      return op;
    }
    default: {
      const int count = head[1];
      const size_t bytes = rle4 ? (count + 1u) / 2u : count;
      op.data = window.Get(*pos, bytes);
      if (op.data == nullptr) return op;
      *pos += std::min<uint64_t>(window.size() - *pos, (bytes + 1) & ~size_t{1});
      op.kind = OpKind::kAbsolute;
      op.count = count;
      return op;
    }
  }
}

uint8_t RunIndex(const Op& op, bool rle4, int i) {
  if (!rle4) return op.value;
  return (i & 1) ? op.value & 0x0f : op.value >> 4;
}

uint8_t AbsoluteIndex(const Op& op, bool rle4, int i) {
  if (!rle4) return op.data[i];
  const uint8_t b = op.data[i / 2];
  return (i & 1) ? b & 0x0f : b >> 4;
}

}  // namespace

BmpRleWindow::BmpRleWindow(const InputFile& file, uint64_t offset, uint64_t size)
    : file_(file), offset_(offset), size_(size) {}

const uint8_t* BmpRleWindow::Get(uint64_t pos, size_t n) {
  if (failed_ || n > kMaxRequest || pos > size_ || size_ - pos < n) return nullptr;
  if (pos >= start_ && pos + n <= start_ + length_) return buffer_.data() + (pos - start_);
  uint64_t start = pos;
  if (pos < start_)
    start = pos > kWindowSize - kWindowReach ? pos - (kWindowSize - kWindowReach) : 0;
  buffer_.resize(kWindowSize);
  length_ = static_cast<size_t>(std::min<uint64_t>(kWindowSize, size_ - start));
  start_ = start;
  if (!file_.ReadAt(offset_ + start_, buffer_.data(), length_)) {
    failed_ = true;
    length_ = 0;
    return nullptr;
  }
  return buffer_.data() + (pos - start_);
}

BmpRleRows::BmpRleRows(const InputFile& file, const BmpHeader& header)
    : window_(file, header.pixelOffset, header.dataSize),
      width_(header.width),
      height_(header.height),
      rle4_(header.compression == BmpCompression::kRle4) {
  for (size_t i = 0; i < colors_.size(); ++i) {
    colors_[i] = i < header.palette.size() ? header.palette[i] : std::array<uint8_t, 3>{};
  }
  blankRow_.resize(static_cast<size_t>(width_) * 3);
  for (size_t x = 0; x < blankRow_.size(); x += 3) std::copy_n(colors_[0].data(), 3, &blankRow_[x]);
}

void BmpRleRows::Enter(uint64_t pos, int64_t row, int64_t column) {
  if (row >= height_) return;
  entries_.push_back(
      {pos, static_cast<uint32_t>(row), static_cast<uint32_t>(std::min<int64_t>(column, width_))});
}

bool BmpRleRows::Scan() {
  entries_.clear();
  uint64_t pos = 0;
  int64_t x = 0;
  int64_t y = 0;
  Enter(0, 0, 0);
  while (y < height_) {
    const Op op = NextOp(window_, rle4_, &pos);
    switch (op.kind) {
      case OpKind::kRun:
      case OpKind::kAbsolute:
        x += op.count;
        break;
      case OpKind::kEndOfLine:
        x = 0;
        ++y;
        Enter(pos, y, x);
        break;
      case OpKind::kDelta:
        x += op.dx;
        y += op.dy;
        if (op.dy > 0) Enter(pos, y, x);
        break;
      case OpKind::kEndOfBitmap:
        return true;
      case OpKind::kBrokenOff:
        // Writers that stop in the last row without end of bitmap are common enough to take.
        return !window_.failed() && y >= height_ - 1;
    }
  }
  return true;
}

bool BmpRleRows::ReadRow(int row, uint8_t* out) {
  std::memcpy(out, blankRow_.data(), blankRow_.size());
  const auto entry =
      std::lower_bound(entries_.begin(), entries_.end(), row,
                       [](const Entry& e, int r) { return e.row < static_cast<uint32_t>(r); });
  if (entry == entries_.end() || entry->row != static_cast<uint32_t>(row)) return true;
  uint64_t pos = entry->pos;
  int64_t x = entry->column;
  for (;;) {
    const Op op = NextOp(window_, rle4_, &pos);
    if (op.kind == OpKind::kDelta && op.dy == 0) {
      x += op.dx;
      continue;
    }
    if (op.kind != OpKind::kRun && op.kind != OpKind::kAbsolute) return !window_.failed();
    const int n = static_cast<int>(std::clamp<int64_t>(width_ - x, 0, op.count));
    for (int i = 0; i < n; ++i) {
      const uint8_t index =
          op.kind == OpKind::kRun ? RunIndex(op, rle4_, i) : AbsoluteIndex(op, rle4_, i);
      std::copy_n(colors_[index].data(), 3, out + 3 * (x + i));
    }
    x += op.count;
  }
}
