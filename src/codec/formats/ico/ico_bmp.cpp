// Rows are read at computed offsets, one colour row and one mask row at a time. Transparency
// comes from the alpha byte of 32-bit images, or from the AND mask when there is no alpha byte
// or it is zero everywhere (writers that leave it unset rely on the mask). A mask cut off
// by the end of the file leaves the image opaque, as a colour index past the palette gives
// black.
#include "codec/formats/ico/ico_bmp.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/io/bytes.h"

namespace {

constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kMaxHeaderSize = 1024;
constexpr uint32_t kV5HeaderSize = 124;
constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kEmbeddedProfile = 0x4d424544;  // "MBED" as a V5 header's colour space

struct IcoBmpHeader {
  int width = 0;
  int height = 0;  // of the image, half the stored height
  int bits = 0;
  std::vector<std::array<uint8_t, 3>> palette;  // RGB
  uint64_t colorAt = 0;                         // first stored (bottom) colour row
  uint64_t colorStride = 0;
  uint64_t maskAt = 0;  // first stored mask row
  uint64_t maskStride = 0;
  bool maskPresent = false;
  std::vector<uint8_t> icc;  // a V5 header's embedded profile
};

class IcoBmpDecoder : public Decoder {
 public:
  IcoBmpDecoder(std::unique_ptr<InputFile> file, IcoBmpHeader header)
      : file_(std::move(file)), header_(std::move(header)) {}

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return Fail(FailureKind::kMisuse);
    *geometry = {header_.width, header_.height, 1};
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page != 0) return Fail(FailureKind::kMisuse);
    color_.resize(header_.colorStride);
    mask_.assign(header_.maskStride, 0);
    if (!checked_) {
      alphaByte_ = header_.bits == 32 && AnySet(header_.colorAt, header_.colorStride, true);
      maskUsed_ =
          !alphaByte_ && header_.maskPresent && AnySet(header_.maskAt, header_.maskStride, false);
      checked_ = true;
    }
    *info = PageInfo{};
    info->width = header_.width;
    info->height = header_.height;
    info->layout = alphaByte_ || maskUsed_ ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    info->icc = header_.icc;
    channels_ = ChannelCount(info->layout);
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > header_.height - nextRow_) {
      return Fail(FailureKind::kMisuse);
    }
    for (int r = 0; r < count; ++r, ++nextRow_) {
      const uint64_t stored = static_cast<uint64_t>(header_.height - 1 - nextRow_);
      if (!file_->ReadAt(header_.colorAt + stored * header_.colorStride, color_.data(),
                         color_.size()) ||
          (maskUsed_ && !file_->ReadAt(header_.maskAt + stored * header_.maskStride, mask_.data(),
                                       mask_.size()))) {
        started_ = false;
        return Fail(FailureKind::kTruncated, "data ends before the image");
      }
      ConvertRow(rows + r * stride);
    }
    return true;
  }

 private:
  // Returns whether any stored row from at on has an alpha byte (alpha) or a mask bit set.
  bool AnySet(uint64_t at, uint64_t rowStride, bool alpha) {
    std::vector<uint8_t> row(rowStride);
    const int used = alpha ? header_.width * 4 : (header_.width + 7) / 8;
    for (int y = 0; y < header_.height; ++y) {
      if (!file_->ReadAt(at + static_cast<uint64_t>(y) * rowStride, row.data(), row.size())) {
        return false;
      }
      for (int i = 0; i < used; ++i) {
        if (alpha ? i % 4 == 3 && row[i] != 0 : (row[i] & LastByteMask(i)) != 0) return true;
      }
    }
    return false;
  }

  // The bits of mask byte i that belong to pixels of the row (the last byte may be partial).
  uint8_t LastByteMask(int i) const {
    const int left = header_.width - i * 8;
    return left >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - left));
  }

  void ConvertRow(uint8_t* out) const {
    const int bits = header_.bits;
    for (int x = 0; x < header_.width; ++x, out += channels_) {
      if (bits <= 8) {
        const uint64_t bit = static_cast<uint64_t>(x) * bits;
        const int index = (color_[bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1);
        if (static_cast<size_t>(index) < header_.palette.size()) {
          std::copy_n(header_.palette[index].data(), 3, out);
        } else {
          out[0] = out[1] = out[2] = 0;
        }
      } else {
        const uint8_t* p = color_.data() + static_cast<size_t>(x) * (bits / 8);
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
        if (alphaByte_) out[3] = p[3];
      }
      if (maskUsed_) out[3] = ((mask_[x / 8] >> (7 - x % 8)) & 1) != 0 ? 0 : 255;
    }
  }

  std::unique_ptr<InputFile> file_;
  IcoBmpHeader header_;
  std::vector<uint8_t> color_;  // one stored colour row
  std::vector<uint8_t> mask_;   // one stored mask row
  bool checked_ = false;
  bool alphaByte_ = false;  // 32 bits whose fourth byte is not zero everywhere
  bool maskUsed_ = false;
  int channels_ = 3;
  bool started_ = false;
  int nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenIcoBmpDecoder(std::unique_ptr<InputFile> entry, Failure* failure) {
  if (entry == nullptr) return Refuse(failure, FailureKind::kReadError);
  uint8_t p[kV5HeaderSize] = {};
  if (!entry->ReadAt(0, p, kInfoHeaderSize)) return Refuse(failure, FailureKind::kTruncated);
  const uint32_t headerSize = LoadLe32(p);
  const int64_t width = static_cast<int32_t>(LoadLe32(p + 4));
  const int64_t storedHeight = static_cast<int32_t>(LoadLe32(p + 8));
  IcoBmpHeader h;
  h.bits = LoadLe16(p + 14);
  if (headerSize < kInfoHeaderSize || headerSize > kMaxHeaderSize) {
    return Refuse(failure, FailureKind::kCorrupt, "header");
  }
  if (LoadLe32(p + 16) != kBiRgb ||
      (h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 24 && h.bits != 32)) {
    return Refuse(failure, FailureKind::kUnsupported, "compressed or unusual bit depth");
  }
  if (width <= 0 || storedHeight < 2) return Refuse(failure, FailureKind::kCorrupt, "size");
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(storedHeight / 2) > kMaxSourcePixels) {
    return Refuse(failure, FailureKind::kTooLarge);
  }
  h.width = static_cast<int>(width);
  h.height = static_cast<int>(storedHeight / 2);
  uint64_t at = headerSize;
  if (h.bits <= 8) {
    const uint32_t colorsUsed = LoadLe32(p + 32);
    const uint32_t entries =
        colorsUsed == 0 ? 1u << h.bits : std::min<uint32_t>(colorsUsed, 1u << h.bits);
    std::vector<uint8_t> raw(static_cast<size_t>(entries) * 4);
    if (!entry->ReadAt(at, raw.data(), raw.size())) {
      return Refuse(failure, FailureKind::kTruncated, "data ends in the palette");
    }
    for (size_t i = 0; i < raw.size(); i += 4)
      h.palette.push_back({raw[i + 2], raw[i + 1], raw[i]});
    at += raw.size();
  }
  h.colorAt = at;
  h.colorStride = (static_cast<uint64_t>(h.width) * h.bits + 31) / 32 * 4;
  h.maskAt = h.colorAt + h.colorStride * h.height;
  h.maskStride = (static_cast<uint64_t>(h.width) + 31) / 32 * 4;
  if (h.maskAt > entry->size()) return Refuse(failure, FailureKind::kTruncated, "data ends");
  h.maskPresent = entry->size() - h.maskAt >= h.maskStride * h.height;
  if (headerSize >= kV5HeaderSize && entry->ReadAt(0, p, kV5HeaderSize) &&
      LoadLe32(p + 56) == kEmbeddedProfile) {
    const uint64_t profileAt = LoadLe32(p + 112);
    const uint64_t profileSize = LoadLe32(p + 116);
    // A writer that puts the profile right after the colour rows leaves the mask out.
    if (profileAt >= h.maskAt && profileAt < h.maskAt + h.maskStride * h.height) {
      h.maskPresent = false;
    }
    if (profileAt >= h.maskAt && profileSize <= entry->size() &&
        profileAt <= entry->size() - profileSize) {
      h.icc.resize(profileSize);
      if (!entry->ReadAt(profileAt, h.icc.data(), h.icc.size())) h.icc.clear();
    }
  }
  return std::make_unique<IcoBmpDecoder>(std::move(entry), std::move(h));
}
