// The BMP decoder. Uncompressed files are read a row at a time at computed offsets, so only
// one stored row is held; RLE4/RLE8 files are scanned once for where each row starts in the
// stream and then decoded a row at a time (bmp_decoder_rle.h), so a huge image drawn by a
// tiny stream costs no more than its rows. Pixels an RLE stream leaves unwritten (delta jumps,
// early end of line or of bitmap) take palette entry 0, and an index past the palette gives
// black.
#include <algorithm>
#include <memory>

#include "codec/formats/bmp/bmp_decoder_header.h"
#include "codec/formats/bmp/bmp_decoder_rle.h"
#include "codec/formats/formats.h"
#include "codec/io/bytes.h"

namespace {

constexpr size_t kAlphaScanChunk = 1 << 20;

class BmpDecoder : public Decoder {
 public:
  BmpDecoder(std::unique_ptr<InputFile> file, BmpHeader header)
      : file_(std::move(file)), header_(std::move(header)) {}

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return false;
    geometry->width = header_.width;
    geometry->height = header_.height;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page != 0) return false;
    const bool rle = header_.compression == BmpCompression::kRle8 ||
                     header_.compression == BmpCompression::kRle4;
    if (rle && rle_ == nullptr && !ScanRle()) return false;
    if (!alphaChecked_) {
      alphaUsed_ = header_.hasAlphaMask && !rle && AnyAlphaSet();
      alphaChecked_ = true;
    }
    raw_.resize(rle ? 0 : header_.rowStride);
    *info = PageInfo{};
    info->width = header_.width;
    info->height = header_.height;
    info->layout = alphaUsed_ ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > header_.height - nextRow_) return false;
    for (int r = 0; r < count; ++r, ++nextRow_) {
      const uint64_t stored = header_.topDown ? nextRow_ : header_.height - 1 - nextRow_;
      uint8_t* out = rows + r * stride;
      if (rle_ != nullptr) {
        if (!rle_->ReadRow(static_cast<int>(stored), out)) {
          started_ = false;
          return false;
        }
        continue;
      }
      if (!file_->ReadAt(header_.pixelOffset + stored * header_.rowStride, raw_.data(),
                         header_.rowBytes)) {
        started_ = false;
        return false;
      }
      ConvertRow(raw_.data(), out);
    }
    return true;
  }

 private:
  bool ScanRle() {
    auto rle = std::make_unique<BmpRleRows>(*file_, header_);
    if (!rle->Scan()) return false;
    rle_ = std::move(rle);
    return true;
  }

  // A 16/32-bit file with an alpha mask, or a 32-bit one whose reserved fourth byte may hold
  // alpha, is opaque when that alpha is zero everywhere (a writer's mistake or a truly unused
  // byte); returns whether any pixel has alpha bits set. Reads at most kAlphaScanChunk bytes
  // at a time: several rows when they fit, else a row in pieces.
  bool AnyAlphaSet() {
    const uint64_t bytesPerPixel = static_cast<uint64_t>(header_.bitCount / 8);
    const uint64_t rowStride = header_.rowStride;
    const uint64_t pixelBytes = static_cast<uint64_t>(header_.width) * bytesPerPixel;
    const uint64_t rowsPerRead = std::max<uint64_t>(1, kAlphaScanChunk / rowStride);
    const uint64_t piece = std::min(pixelBytes, kAlphaScanChunk / bytesPerPixel * bytesPerPixel);
    const uint32_t mask = header_.channels[3].mask;
    std::vector<uint8_t> chunk;
    for (uint64_t row = 0; row < static_cast<uint64_t>(header_.height); row += rowsPerRead) {
      const uint64_t n = std::min<uint64_t>(rowsPerRead, header_.height - row);
      for (uint64_t at = 0; at < pixelBytes; at += piece) {
        const uint64_t length = std::min(piece, pixelBytes - at);
        chunk.resize(rowStride * (n - 1) + length);
        if (!file_->ReadAt(header_.pixelOffset + row * rowStride + at, chunk.data(),
                           chunk.size())) {
          return false;
        }
        for (uint64_t r = 0; r < n; ++r) {
          const uint8_t* p = chunk.data() + r * rowStride;
          for (uint64_t i = 0; i < length; i += bytesPerPixel) {
            if ((ReadPixel(p + i) & mask) != 0) return true;
          }
        }
      }
    }
    return false;
  }

  uint32_t ReadPixel(const uint8_t* p) const {
    return header_.bitCount == 16 ? LoadLe16(p) : LoadLe32(p);
  }

  void PutPaletteColor(uint8_t index, uint8_t* out) const {
    if (index < header_.palette.size()) {
      std::copy_n(header_.palette[index].data(), 3, out);
    } else {
      out[0] = out[1] = out[2] = 0;
    }
  }

  void ConvertRow(const uint8_t* raw, uint8_t* out) const {
    const int bits = header_.bitCount;
    const int width = header_.width;
    if (bits <= 8) {
      const int mask = (1 << bits) - 1;
      for (int x = 0; x < width; ++x) {
        const uint64_t bit = static_cast<uint64_t>(x) * bits;
        const int shift = 8 - bits - static_cast<int>(bit % 8);
        PutPaletteColor(static_cast<uint8_t>((raw[bit / 8] >> shift) & mask), out + 3 * x);
      }
    } else if (bits == 24) {
      for (int x = 0; x < width; ++x, raw += 3, out += 3) {
        out[0] = raw[2];
        out[1] = raw[1];
        out[2] = raw[0];
      }
    } else {
      const int bytesPerPixel = bits / 8;
      const int channels = alphaUsed_ ? 4 : 3;
      for (int x = 0; x < width; ++x, raw += bytesPerPixel, out += channels) {
        const uint32_t pixel = ReadPixel(raw);
        for (int c = 0; c < channels; ++c) out[c] = BmpChannelValue(header_.channels[c], pixel);
      }
    }
  }

  std::unique_ptr<InputFile> file_;
  BmpHeader header_;
  std::unique_ptr<BmpRleRows> rle_;  // RLE only, once its stream has been scanned
  std::vector<uint8_t> raw_;         // uncompressed only: one stored row
  bool alphaChecked_ = false;
  bool alphaUsed_ = false;
  bool started_ = false;
  int nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenBmpDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  BmpHeader header;
  if (!ReadBmpHeader(*file, &header)) return Refuse(failure, FailureKind::kUnsupported, "header");
  return std::make_unique<BmpDecoder>(std::move(file), std::move(header));
}
