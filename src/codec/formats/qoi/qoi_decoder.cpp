// The QOI decoder. The stream is one run of pixel operations over the whole image, each
// depending on the previous pixel and a 64-entry index of recently seen ones; that state lives
// in the decoder between ReadRows calls, so rows stream out with only the file's read chunk
// held. The header's channel count decides whether alpha is delivered; its colour-space byte
// is informative only (both values are taken as sRGB).
#include <array>
#include <cstring>

#include "codec/formats/byte_reader.h"
#include "codec/formats/formats.h"

namespace {

constexpr uint64_t kHeaderSize = 14;

constexpr uint8_t kOpRgb = 0xfe;
constexpr uint8_t kOpRgba = 0xff;
constexpr uint8_t kOpIndex = 0x00;  // 2-bit tags, in the top two bits
constexpr uint8_t kOpDiff = 0x40;
constexpr uint8_t kOpLuma = 0x80;
constexpr uint8_t kTagMask = 0xc0;

uint32_t BigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

using Rgba = std::array<uint8_t, 4>;

class QoiDecoder : public Decoder {
 public:
  QoiDecoder(std::unique_ptr<InputFile> file, int width, int height, int channels)
      : file_(std::move(file)), width_(width), height_(height), channels_(channels) {}

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return Fail(FailureKind::kMisuse);
    geometry->width = width_;
    geometry->height = height_;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page != 0) return Fail(FailureKind::kMisuse);
    reader_ = std::make_unique<ByteReader>(*file_, kHeaderSize);
    index_ = {};
    previous_ = {0, 0, 0, 255};
    run_ = 0;
    *info = PageInfo{};
    info->width = width_;
    info->height = height_;
    info->layout = channels_ == 4 ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > height_ - nextRow_) return Fail(FailureKind::kMisuse);
    for (int r = 0; r < count; ++r, ++nextRow_) {
      uint8_t* out = rows + r * stride;
      for (int x = 0; x < width_; ++x, out += channels_) {
        if (!NextPixel()) {
          started_ = false;
          return Fail(FailureKind::kTruncated, "data ends before the image");
        }
        std::memcpy(out, previous_.data(), static_cast<size_t>(channels_));
      }
    }
    return true;
  }

 private:
  // Returns true with the next pixel in previous_; false when the stream ends first.
  bool NextPixel() {
    if (run_ > 0) {
      --run_;
      return true;
    }
    const int op = reader_->Get();
    if (op < 0) return false;
    Rgba pixel = previous_;
    if (op == kOpRgb) {
      if (!reader_->Read(pixel.data(), 3)) return false;
    } else if (op == kOpRgba) {
      if (!reader_->Read(pixel.data(), 4)) return false;
    } else if ((op & kTagMask) == kOpIndex) {
      pixel = index_[op & 0x3f];
    } else if ((op & kTagMask) == kOpDiff) {
      pixel[0] = static_cast<uint8_t>(pixel[0] + ((op >> 4) & 3) - 2);
      pixel[1] = static_cast<uint8_t>(pixel[1] + ((op >> 2) & 3) - 2);
      pixel[2] = static_cast<uint8_t>(pixel[2] + (op & 3) - 2);
    } else if ((op & kTagMask) == kOpLuma) {
      const int second = reader_->Get();
      if (second < 0) return false;
      const int dg = (op & 0x3f) - 32;
      pixel[0] = static_cast<uint8_t>(pixel[0] + dg - 8 + ((second >> 4) & 0x0f));
      pixel[1] = static_cast<uint8_t>(pixel[1] + dg);
      pixel[2] = static_cast<uint8_t>(pixel[2] + dg - 8 + (second & 0x0f));
    } else {  // run: this pixel and (op & 0x3f) more repeat the previous one
      run_ = op & 0x3f;
    }
    previous_ = pixel;
    index_[(pixel[0] * 3 + pixel[1] * 5 + pixel[2] * 7 + pixel[3] * 11) % 64] = pixel;
    return true;
  }

  std::unique_ptr<InputFile> file_;
  int width_;
  int height_;
  int channels_;
  std::unique_ptr<ByteReader> reader_;
  std::array<Rgba, 64> index_{};
  Rgba previous_{};
  int run_ = 0;
  bool started_ = false;
  int nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenQoiDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  uint8_t header[kHeaderSize];
  if (!file->ReadAt(0, header, sizeof header)) {
    return Refuse(failure, FailureKind::kTruncated, "header");
  }
  const uint32_t width = BigEndian32(header + 4);
  const uint32_t height = BigEndian32(header + 8);
  const int channels = header[12];
  if (width == 0 || height == 0 || (channels != 3 && channels != 4) || header[13] > 1) {
    return Refuse(failure, FailureKind::kCorrupt, "header");
  }
  if (static_cast<uint64_t>(width) * height > kMaxSourcePixels) {
    return Refuse(failure, FailureKind::kTooLarge);
  }
  return std::make_unique<QoiDecoder>(std::move(file), static_cast<int>(width),
                                      static_cast<int>(height), channels);
}
