// The Photoshop document decoder (PSD and PSB): only the merged composite at the end of the
// file is read, never the layers. The composite is planar, every row of its first channel,
// then every row of the next; rows stream out by keeping one read position per channel used,
// so a few rows are held whatever the document's size. PackBits rows are found through the
// table of their byte counts, read alongside the data rather than loaded whole.
#include <algorithm>
#include <memory>
#include <vector>

#include "codec/formats/byte_reader.h"
#include "codec/formats/formats.h"
#include "codec/formats/psd/psd_header.h"
#include "codec/io/bytes.h"
#include "codec/io/exif.h"

namespace {

constexpr size_t kCountChunk = 4096;

enum class RowResult { kOk, kTruncated, kCorrupt };

// Expands count bytes of PackBits data from in into exactly length bytes at out. Returns
// kCorrupt when a run would cross the row's end or the data ends before the row does.
RowResult UnpackBits(ByteReader& in, uint64_t count, uint8_t* out, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    if (count == 0) return RowResult::kCorrupt;
    const int header = in.Get();
    if (header < 0) return RowResult::kTruncated;
    --count;
    const int n = static_cast<int8_t>(header);
    if (n == -128) continue;  // a no-op some writers emit
    const size_t run = n >= 0 ? static_cast<size_t>(n) + 1 : static_cast<size_t>(1 - n);
    const size_t stored = n >= 0 ? run : 1;
    if (run > length - filled) return RowResult::kCorrupt;
    if (stored > count) return RowResult::kCorrupt;
    if (n >= 0) {
      if (!in.Read(out + filled, run)) return RowResult::kTruncated;
    } else {
      const int value = in.Get();
      if (value < 0) return RowResult::kTruncated;
      std::fill_n(out + filled, run, static_cast<uint8_t>(value));
    }
    filled += run;
    count -= stored;
  }
  return RowResult::kOk;
}

// Returns value, the colour of a pixel already blended onto white by its alpha, as it was
// before that blend (straight alpha).
uint8_t Unblend(int value, int alpha) {
  if (alpha == 0 || alpha == 255) return static_cast<uint8_t>(value);
  const int straight = ((value - (255 - alpha)) * 255 + alpha / 2) / alpha;
  return static_cast<uint8_t>(std::clamp(straight, 0, 255));
}

class PsdDecoder : public Decoder {
 public:
  PsdDecoder(std::unique_ptr<InputFile> file, PsdHeader header)
      : file_(std::move(file)), h_(std::move(header)) {
    rowBytes_ = h_.depth == 1 ? (static_cast<size_t>(h_.width) + 7) / 8
                              : static_cast<size_t>(h_.width) * (h_.depth / 8);
    planes_.resize(static_cast<size_t>(h_.colorChannels + (h_.mergedAlpha ? 1 : 0)));
    if (!h_.exif.empty()) orientation_ = ReadExifOrientation(h_.exif.data(), h_.exif.size());
    if (h_.mode == PsdMode::kBitmap || h_.mode == PsdMode::kGray) {
      layout_ = h_.mergedAlpha ? PixelLayout::kGA8 : PixelLayout::kG8;
    } else if (h_.mode == PsdMode::kCmyk) {
      layout_ = PixelLayout::kCMYK8;
    } else {
      layout_ =
          h_.mergedAlpha || h_.transparentIndex >= 0 ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    }
  }

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return Fail(FailureKind::kMisuse);
    *geometry = {h_.width, h_.height, orientation_};
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page != 0) return Fail(FailureKind::kMisuse);
    if (h_.compression == 1 && !StartPackBits()) return false;
    *info = PageInfo{};
    info->width = h_.width;
    info->height = h_.height;
    info->layout = layout_;
    info->orientation = orientation_;
    info->icc = h_.icc;
    info->exif = h_.exif;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > h_.height - nextRow_) return Fail(FailureKind::kMisuse);
    for (int r = 0; r < count; ++r, ++nextRow_) {
      for (size_t c = 0; c < planes_.size(); ++c) {
        const RowResult result = ReadPlaneRow(c);
        if (result != RowResult::kOk) {
          started_ = false;
          return result == RowResult::kTruncated
                     ? Fail(FailureKind::kTruncated, "data ends before the image")
                     : Fail(FailureKind::kCorrupt, "a compressed row does not fill its row");
        }
      }
      Interleave(rows + static_cast<size_t>(r) * stride);
    }
    return true;
  }

 private:
  struct Plane {
    std::unique_ptr<ByteReader> counts;  // this channel's next row byte count
    std::unique_ptr<ByteReader> data;    // this channel's next compressed row
    uint64_t position = 0;               // where that row starts
    std::vector<uint8_t> row;
  };

  int CountBytes() const { return h_.large ? 4 : 2; }

  // Finds where each used channel's rows start: after the table of every channel's row byte
  // counts, and after the rows of the channels before it.
  bool StartPackBits() {
    const uint64_t rows = static_cast<uint64_t>(h_.height);
    const uint64_t table = h_.dataOffset;
    uint64_t start = table + static_cast<uint64_t>(h_.channels) * rows * CountBytes();
    ByteReader sums(*file_, table, kCountChunk);
    for (size_t c = 0; c < planes_.size(); ++c) {
      Plane& plane = planes_[c];
      plane.counts =
          std::make_unique<ByteReader>(*file_, table + c * rows * CountBytes(), kCountChunk);
      plane.data = std::make_unique<ByteReader>(*file_, start);
      plane.position = start;
      plane.row.resize(rowBytes_);
      if (c + 1 == planes_.size()) break;
      for (uint64_t y = 0; y < rows; ++y) {
        uint32_t count = 0;
        if (!NextCount(sums, &count)) return Fail(FailureKind::kTruncated, "row byte counts");
        start += count;
      }
    }
    return true;
  }

  bool NextCount(ByteReader& in, uint32_t* count) const {
    uint8_t bytes[4];
    if (!in.Read(bytes, static_cast<size_t>(CountBytes()))) return false;
    *count = h_.large ? LoadBe32(bytes) : LoadBe16(bytes);
    return true;
  }

  RowResult ReadPlaneRow(size_t c) {
    Plane& plane = planes_[c];
    plane.row.resize(rowBytes_);
    if (h_.compression == 0) {
      const uint64_t offset =
          h_.dataOffset + (c * static_cast<uint64_t>(h_.height) + nextRow_) * rowBytes_;
      return file_->ReadAt(offset, plane.row.data(), rowBytes_) ? RowResult::kOk
                                                                : RowResult::kTruncated;
    }
    uint32_t count = 0;
    if (!NextCount(*plane.counts, &count)) return RowResult::kTruncated;
    const RowResult result = UnpackBits(*plane.data, count, plane.row.data(), rowBytes_);
    plane.position += count;
    plane.data->Seek(plane.position);  // past any bytes left over after the row was filled
    return result;
  }

  // Returns channel c's sample x as 8 bits.
  uint8_t Sample(size_t c, int x) const {
    const uint8_t* row = planes_[c].row.data();
    if (h_.depth == 8) return row[x];
    if (h_.depth == 16) return static_cast<uint8_t>((LoadBe16(row + 2 * x) + 128) / 257);
    return (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;  // bitmap: a set bit is black
  }

  void Interleave(uint8_t* out) const {
    const int channels = ChannelCount(layout_);
    for (int x = 0; x < h_.width; ++x, out += channels) {
      switch (h_.mode) {
        case PsdMode::kIndexed: {
          const uint8_t index = Sample(0, x);
          out[0] = h_.palette[index];
          out[1] = h_.palette[256 + index];
          out[2] = h_.palette[512 + index];
          if (channels == 4) out[3] = index == h_.transparentIndex ? 0 : 255;
          break;
        }
        case PsdMode::kCmyk:
          for (int c = 0; c < 4; ++c) out[c] = static_cast<uint8_t>(255 - Sample(c, x));
          break;
        default: {
          // The composite of a document with transparency is stored blended onto white.
          const int color = h_.colorChannels;
          const uint8_t alpha = h_.mergedAlpha ? Sample(color, x) : 255;
          for (int c = 0; c < color; ++c) out[c] = Unblend(Sample(c, x), alpha);
          if (h_.mergedAlpha) out[color] = alpha;
        }
      }
    }
  }

  std::unique_ptr<InputFile> file_;
  PsdHeader h_;
  size_t rowBytes_ = 0;
  PixelLayout layout_ = PixelLayout::kRGB8;
  int orientation_ = 1;
  std::vector<Plane> planes_;
  bool started_ = false;
  int nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenPsdDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  PsdHeader header;
  if (!ReadPsdHeader(*file, &header, failure)) return nullptr;
  return std::make_unique<PsdDecoder>(std::move(file), std::move(header));
}
