// The TGA decoder. Uncompressed rows are read at computed offsets, so bottom-up files (the
// default origin) cost one stored row. Run-length data is walked once when the page starts,
// recording where each stored row begins (the packet and how much of it earlier rows used,
// as packets may run across rows): 8 bytes a row; rows are then decoded on demand in any
// order. The same walk, or a scan of the uncompressed pixels, finds whether any alpha is set:
// files whose alpha is zero everywhere, or whose TGA 2.0 extension area says the attribute
// bits are no alpha (none, or undefined data to ignore or to keep), are opaque; premultiplied
// alpha is made straight. A colour-map index outside the map gives opaque black.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "codec/formats/byte_reader.h"
#include "codec/formats/formats.h"
#include "codec/formats/tga/tga_header.h"
#include "codec/io/bytes.h"

namespace {

using Rgba = std::array<uint8_t, 4>;

constexpr size_t kAlphaScanChunk = 1 << 20;
constexpr size_t kRleReadChunk = 16 * 1024;
constexpr int kFooterSize = 26;
constexpr uint64_t kExtensionSize = 495;
constexpr int kAttributesTypeAt = 494;  // in the extension area
constexpr int kAttributesAlpha = 3;
constexpr int kAttributesPremultiplied = 4;

uint8_t Scale5(int v) { return static_cast<uint8_t>((v * 255 + 15) / 31); }

// Returns the colour of one stored pixel or map entry of bits bits at p.
Rgba ColorOf(const uint8_t* p, int bits, bool gray) {
  if (gray) return {p[0], p[0], p[0], bits == 16 ? p[1] : uint8_t{255}};
  switch (bits) {
    case 15:
    case 16: {
      const int v = p[0] | p[1] << 8;
      return {Scale5((v >> 10) & 31), Scale5((v >> 5) & 31), Scale5(v & 31),
              static_cast<uint8_t>((v & 0x8000) != 0 ? 255 : 0)};
    }
    case 24:
      return {p[2], p[1], p[0], 255};
    default:
      return {p[2], p[1], p[0], p[3]};
  }
}

// Turns a colour multiplied by its alpha back into the straight colour.
void Unpremultiply(Rgba* color) {
  const int alpha = (*color)[3];
  for (int c = 0; c < 3; ++c) {
    (*color)[c] =
        alpha == 0 ? 0
                   : static_cast<uint8_t>(std::min(255, ((*color)[c] * 255 + alpha / 2) / alpha));
  }
}

class TgaDecoder : public Decoder {
 public:
  TgaDecoder(std::unique_ptr<InputFile> file, const TgaHeader& header, std::vector<Rgba> map,
             bool alphaCandidate, bool premultiplied)
      : file_(std::move(file)),
        header_(header),
        map_(std::move(map)),
        alphaCandidate_(alphaCandidate),
        premultiplied_(premultiplied) {}

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return Fail(FailureKind::kMisuse);
    geometry->width = header_.width;
    geometry->height = header_.height;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page != 0) return Fail(FailureKind::kMisuse);
    if (!scanned_) {
      alphaUsed_ = false;
      if (!(header_.rle() ? IndexRows() : ScanAlpha())) return false;
      scanned_ = true;
    }
    try {
      raw_.resize(static_cast<size_t>(header_.width) * header_.pixelBytes());
    } catch (const std::bad_alloc&) {
      return Fail(FailureKind::kTooLarge);
    }
    *info = PageInfo{};
    info->width = header_.width;
    info->height = header_.height;
    if (header_.gray()) {
      info->layout = alphaUsed_ ? PixelLayout::kGA8 : PixelLayout::kG8;
    } else {
      info->layout = alphaUsed_ ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    }
    channels_ = ChannelCount(info->layout);
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > header_.height - nextRow_) {
      return Fail(FailureKind::kMisuse);
    }
    const size_t bytes = header_.pixelBytes();
    for (int r = 0; r < count; ++r, ++nextRow_) {
      const int stored = header_.topDown ? nextRow_ : header_.height - 1 - nextRow_;
      const uint64_t offset = header_.dataOffset() + static_cast<uint64_t>(stored) * raw_.size();
      if (header_.rle() ? !ReadRleRow(stored) : !file_->ReadAt(offset, raw_.data(), raw_.size())) {
        started_ = false;
        return Fail(FailureKind::kTruncated, "data ends before the image");
      }
      uint8_t* out = rows + r * stride;
      for (int x = 0; x < header_.width; ++x) {
        const int from = header_.rightToLeft ? header_.width - 1 - x : x;
        Rgba color = Pixel(raw_.data() + from * bytes);
        if (premultiplied_ && channels_ == 4) Unpremultiply(&color);
        if (header_.gray()) {
          out[x * channels_] = color[0];
          if (channels_ == 2) out[x * 2 + 1] = color[3];
        } else {
          std::memcpy(out + x * channels_, color.data(), static_cast<size_t>(channels_));
        }
      }
    }
    return true;
  }

 private:
  Rgba Pixel(const uint8_t* p) const {
    if (!header_.mapped()) return ColorOf(p, header_.pixelBits, header_.gray());
    const int entry = p[0] - header_.mapFirst;
    if (entry < 0 || entry >= static_cast<int>(map_.size())) return {0, 0, 0, 255};
    return map_[entry];
  }

  bool AlphaSet(const uint8_t* p) const { return Pixel(p)[3] != 0; }

  // Scans the uncompressed pixels for any alpha set. Returns false when they cannot be read.
  bool ScanAlpha() {
    if (!alphaCandidate_) return true;
    const uint64_t bytes = header_.pixelBytes();
    const uint64_t total = static_cast<uint64_t>(header_.width) * header_.height * bytes;
    std::vector<uint8_t> chunk;
    for (uint64_t at = 0; at < total && !alphaUsed_;) {
      const uint64_t length = std::min<uint64_t>(kAlphaScanChunk / bytes * bytes, total - at);
      chunk.resize(length);
      if (!file_->ReadAt(header_.dataOffset() + at, chunk.data(), length)) {
        return Fail(FailureKind::kTruncated, "data ends before the image");
      }
      for (uint64_t i = 0; i < length && !alphaUsed_; i += bytes) alphaUsed_ = AlphaSet(&chunk[i]);
      at += length;
    }
    return true;
  }

  // Walks the run-length data once, recording each stored row's start and whether any alpha
  // is set. Returns false when the data ends before the image does.
  bool IndexRows() {
    try {
      rowStarts_.assign(header_.height, 0);
    } catch (const std::bad_alloc&) {
      return Fail(FailureKind::kTooLarge);
    }
    ByteReader in(*file_, header_.dataOffset());
    const int bytes = header_.pixelBytes();
    uint8_t pixel[4] = {};
    uint64_t packetAt = 0;
    int count = 0, used = 0;
    bool run = false;
    for (int row = 0; row < header_.height; ++row) {
      rowStarts_[row] = used == count ? in.offset() << 8 : packetAt << 8 | used;
      for (int need = header_.width; need > 0;) {
        if (used == count) {
          packetAt = in.offset();
          const int packet = in.Get();
          if (packet < 0) return Fail(FailureKind::kTruncated, "data ends before the image");
          count = (packet & 0x7f) + 1;
          used = 0;
          run = (packet & 0x80) != 0;
          if (run) {
            if (!in.Read(pixel, bytes)) return Fail(FailureKind::kTruncated);
            if (alphaCandidate_ && !alphaUsed_) alphaUsed_ = AlphaSet(pixel);
          }
        }
        const int take = std::min(need, count - used);
        if (!run) {
          for (int i = 0; i < take; ++i) {
            if (!in.Read(pixel, bytes)) return Fail(FailureKind::kTruncated);
            if (alphaCandidate_ && !alphaUsed_) alphaUsed_ = AlphaSet(pixel);
          }
        }
        used += take;
        need -= take;
      }
    }
    return true;
  }

  // Decodes stored row into raw_ from the start IndexRows recorded; false on a read failure.
  bool ReadRleRow(int stored) {
    if (rle_ == nullptr) rle_ = std::make_unique<ByteReader>(*file_, 0, kRleReadChunk);
    const uint64_t start = rowStarts_[stored];
    rle_->Seek(start >> 8);
    int used = static_cast<int>(start & 0xff);
    const int bytes = header_.pixelBytes();
    uint8_t* out = raw_.data();
    for (int need = header_.width; need > 0;) {
      const int packet = rle_->Get();
      if (packet < 0) return false;
      const int count = (packet & 0x7f) + 1;
      const int take = std::min(need, count - used);
      if ((packet & 0x80) != 0) {
        if (!rle_->Read(out, bytes)) return false;
        for (int i = 1; i < take; ++i) std::memcpy(out + i * bytes, out, bytes);
      } else {
        rle_->Seek(rle_->offset() + static_cast<uint64_t>(used) * bytes);
        if (!rle_->Read(out, static_cast<size_t>(take) * bytes)) return false;
      }
      out += static_cast<size_t>(take) * bytes;
      need -= take;
      used = 0;
    }
    return true;
  }

  std::unique_ptr<InputFile> file_;
  TgaHeader header_;
  std::vector<Rgba> map_;
  bool alphaCandidate_;  // the pixels carry attribute bits that may be alpha
  bool premultiplied_;   // colours were multiplied by alpha
  bool scanned_ = false;
  bool alphaUsed_ = false;
  std::vector<uint64_t> rowStarts_;  // RLE: packet offset << 8 | pixels of it earlier rows used
  std::unique_ptr<ByteReader> rle_;
  std::vector<uint8_t> raw_;  // one stored row
  int channels_ = 3;
  bool started_ = false;
  int nextRow_ = 0;
};

// Returns the attributes type of the TGA 2.0 extension area at the end of file: 0 no alpha,
// 1 undefined data to ignore, 2 undefined data to keep, 3 alpha, 4 premultiplied alpha; -1
// when the file has no extension area.
int AttributesType(const InputFile& file) {
  uint8_t footer[kFooterSize];
  if (file.size() < kTgaHeaderSize + kFooterSize ||
      !file.ReadAt(file.size() - kFooterSize, footer, kFooterSize) ||
      std::memcmp(footer + 8, "TRUEVISION-XFILE.", 18) != 0) {
    return -1;
  }
  const uint64_t extension = LoadLe32(footer);
  uint8_t type = 0;
  if (extension == 0 || extension + kExtensionSize > file.size() ||
      !file.ReadAt(extension + kAttributesTypeAt, &type, 1)) {
    return -1;
  }
  return type;
}

}  // namespace

std::unique_ptr<Decoder> OpenTgaDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  uint8_t bytes[kTgaHeaderSize];
  TgaHeader header;
  if (!file->ReadAt(0, bytes, sizeof bytes) || !ParseTgaHeader(bytes, &header)) {
    return Refuse(failure, FailureKind::kNotThisFormat);
  }
  if (static_cast<uint64_t>(header.width) * header.height > kMaxSourcePixels) {
    return Refuse(failure, FailureKind::kTooLarge);
  }
  const uint64_t pixels = static_cast<uint64_t>(header.width) * header.height;
  const uint64_t needed = header.dataOffset() + (header.rle() ? 1 : pixels * header.pixelBytes());
  if (file->size() < needed) return Refuse(failure, FailureKind::kTruncated);
  std::vector<Rgba> map;
  if (header.mapped()) {
    std::vector<uint8_t> stored(static_cast<size_t>(header.mapLength) * header.mapBytes());
    if (!file->ReadAt(kTgaHeaderSize + header.idLength, stored.data(), stored.size())) {
      return Refuse(failure, FailureKind::kTruncated);
    }
    for (size_t at = 0; at < stored.size(); at += header.mapBytes()) {
      map.push_back(ColorOf(&stored[at], header.mapBits, false));
    }
  }
  const int bits = header.mapped() ? header.mapBits : header.pixelBits;
  const bool attributeBits = header.alphaBits > 0 && (bits == 16 || bits == 32);
  // The attribute bits are alpha unless the extension area says they are something else.
  const int type = attributeBits ? AttributesType(*file) : -1;
  const bool alphaCandidate = attributeBits && (type < 0 || type >= kAttributesAlpha);
  return std::make_unique<TgaDecoder>(std::move(file), header, std::move(map), alphaCandidate,
                                      type == kAttributesPremultiplied);
}
