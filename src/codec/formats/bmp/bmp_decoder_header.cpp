#include "codec/formats/bmp/bmp_decoder_header.h"

#include <algorithm>
#include <bit>

#include "codec/decoder.h"
#include "codec/io/bytes.h"

namespace {

constexpr uint64_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kOs2ShortHeaderSize = 16;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kV2HeaderSize = 52;
constexpr uint32_t kV3HeaderSize = 56;
constexpr uint32_t kOs2HeaderSize = 64;
constexpr uint32_t kV4HeaderSize = 108;
constexpr uint32_t kV5HeaderSize = 124;

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

bool KnownHeaderSize(uint32_t size) {
  switch (size) {
    case kCoreHeaderSize:
    case kOs2ShortHeaderSize:
    case kInfoHeaderSize:
    case kV2HeaderSize:
    case kV3HeaderSize:
    case kOs2HeaderSize:
    case kV4HeaderSize:
    case kV5HeaderSize:
      return true;
    default:
      return false;
  }
}

BmpChannel MakeChannel(uint32_t mask) {
  BmpChannel channel;
  if (mask == 0) return channel;
  channel.mask = mask;
  channel.shift = std::countr_zero(mask);
  channel.max = mask >> channel.shift;
  return channel;
}

// Resolves compression and bit count into header; false for combinations not handled.
bool ResolveCompression(uint32_t headerSize, uint32_t compression, BmpHeader* header) {
  int bits = header->bitCount;
  bool os2 = headerSize == kOs2HeaderSize || headerSize == kOs2ShortHeaderSize;
  switch (compression) {
    case kBiRgb:
      header->compression = BmpCompression::kNone;
      return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
             bits == 32;
    case kBiRle8:
      header->compression = BmpCompression::kRle8;
      return bits == 8;
    case kBiRle4:
      header->compression = BmpCompression::kRle4;
      return bits == 4;
    case kBiBitfields:  // OS/2 2.x uses this value for its Huffman coding
    case kBiAlphaBitfields:
      header->compression = BmpCompression::kBitfields;
      return !os2 && (bits == 16 || bits == 24 || bits == 32);
    default:
      return false;
  }
}

}  // namespace

bool ReadBmpHeader(const InputFile& file, BmpHeader* header) {
  const uint64_t fileSize = file.size();
  uint8_t bytes[kFileHeaderSize + kV5HeaderSize + 16] = {};
  if (fileSize < kFileHeaderSize + kCoreHeaderSize) return false;
  const uint64_t headLength = std::min<uint64_t>(fileSize, sizeof(bytes));
  if (!file.ReadAt(0, bytes, headLength)) return false;
  const uint32_t offBits = LoadLe32(bytes + 10);
  const uint8_t* info = bytes + kFileHeaderSize;
  const uint32_t headerSize = LoadLe32(info);
  if (!KnownHeaderSize(headerSize) || kFileHeaderSize + headerSize > fileSize) return false;

  BmpHeader h;
  int64_t width = 0;
  int64_t height = 0;
  uint32_t compression = kBiRgb;
  uint32_t colorsUsed = 0;
  uint64_t paletteEntrySize = 4;
  uint64_t extraMaskBytes = 0;
  if (headerSize == kCoreHeaderSize) {
    width = LoadLe16(info + 4);
    height = LoadLe16(info + 6);
    if (LoadLe16(info + 8) != 1) return false;
    h.bitCount = LoadLe16(info + 10);
    paletteEntrySize = 3;
    if (h.bitCount != 1 && h.bitCount != 4 && h.bitCount != 8 && h.bitCount != 24) return false;
  } else {
    width = static_cast<int32_t>(LoadLe32(info + 4));
    height = static_cast<int32_t>(LoadLe32(info + 8));
    if (LoadLe16(info + 12) != 1) return false;
    h.bitCount = LoadLe16(info + 14);
    if (headerSize > kOs2ShortHeaderSize) {
      compression = LoadLe32(info + 16);
      colorsUsed = LoadLe32(info + 32);
    }
    if (headerSize == kInfoHeaderSize && compression == kBiBitfields) extraMaskBytes = 12;
    if (headerSize == kInfoHeaderSize && compression == kBiAlphaBitfields) extraMaskBytes = 16;
  }
  if (!ResolveCompression(headerSize, compression, &h)) return false;
  if (height < 0) {
    h.topDown = true;
    height = -height;
  }
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return false;
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxSourcePixels) {
    return false;
  }
  h.width = static_cast<int>(width);
  h.height = static_cast<int>(height);

  const uint64_t masksAt = kFileHeaderSize + kInfoHeaderSize;
  const uint64_t paletteStart = kFileHeaderSize + headerSize + extraMaskBytes;
  if (paletteStart > fileSize) return false;
  if (h.bitCount == 16 || h.bitCount == 32) {
    uint32_t masks[4] = {0, 0, 0, 0};
    if (h.compression == BmpCompression::kBitfields) {
      for (int i = 0; i < 3; ++i) masks[i] = LoadLe32(bytes + masksAt + 4 * i);
      bool alphaStored = extraMaskBytes == 16 || headerSize >= kV3HeaderSize;
      if (alphaStored && headerSize != kOs2HeaderSize) masks[3] = LoadLe32(bytes + masksAt + 12);
    }
    // Bitfields without any colour mask fall back to the defaults of plain RGB.
    const bool colorMasks = (masks[0] | masks[1] | masks[2]) != 0;
    if (!colorMasks && h.bitCount == 16) {
      masks[0] = 0x7c00;
      masks[1] = 0x03e0;
      masks[2] = 0x001f;
    } else if (!colorMasks) {
      masks[0] = 0xff0000;
      masks[1] = 0x00ff00;
      masks[2] = 0x0000ff;
      // V3 and later headers carry an alpha mask that writers also use with plain RGB.
      if (headerSize >= kV3HeaderSize && headerSize != kOs2HeaderSize && masks[3] == 0) {
        uint32_t alpha = LoadLe32(bytes + kFileHeaderSize + kV2HeaderSize);
        if ((alpha & 0x00ffffff) == 0) masks[3] = alpha;
      }
      // The fourth byte of a plain 32-bit BITMAPINFOHEADER file is reserved, yet writers put
      // a real alpha channel there; the decoder only uses it when it is not zero everywhere.
      if (headerSize == kInfoHeaderSize && compression == kBiRgb && h.bitCount == 32) {
        masks[3] = 0xff000000;
      }
    }
    const uint32_t pixelBits = h.bitCount == 16 ? 0xffffu : 0xffffffffu;
    for (int i = 0; i < 4; ++i) h.channels[i] = MakeChannel(masks[i] & pixelBits);
    h.hasAlphaMask = h.channels[3].max != 0;
  } else if (h.compression == BmpCompression::kBitfields) {
    // 24-bit bitfields: only the plain byte order is accepted.
    if (LoadLe32(bytes + masksAt) != 0xff0000 || LoadLe32(bytes + masksAt + 4) != 0xff00 ||
        LoadLe32(bytes + masksAt + 8) != 0xff) {
      return false;
    }
    h.compression = BmpCompression::kNone;
  }

  uint64_t paletteEnd = offBits > paletteStart ? offBits : fileSize;
  if (offBits != 0 && offBits < paletteStart) return false;
  if (h.bitCount <= 8) {
    const uint64_t maxEntries = 1ull << h.bitCount;
    uint64_t entries = colorsUsed == 0 ? maxEntries : std::min<uint64_t>(colorsUsed, maxEntries);
    if (colorsUsed > 0x10000) return false;
    entries = std::min<uint64_t>(
        entries, (std::min(paletteEnd, fileSize) - paletteStart) / paletteEntrySize);
    h.palette.resize(entries);
    std::vector<uint8_t> raw(entries * paletteEntrySize);
    if (!raw.empty() && !file.ReadAt(paletteStart, raw.data(), raw.size())) return false;
    for (uint64_t i = 0; i < entries; ++i) {
      const uint8_t* entry = raw.data() + i * paletteEntrySize;
      h.palette[i] = {entry[2], entry[1], entry[0]};
    }
  }

  h.pixelOffset = offBits != 0 ? offBits : paletteStart + h.palette.size() * paletteEntrySize;
  if (h.pixelOffset >= fileSize) return false;
  h.dataSize = fileSize - h.pixelOffset;
  if (h.compression == BmpCompression::kNone || h.compression == BmpCompression::kBitfields) {
    h.rowBytes = (static_cast<uint64_t>(h.width) * h.bitCount + 7) / 8;
    h.rowStride = (h.rowBytes + 3) & ~uint64_t{3};
    const uint64_t needed = h.rowStride * (static_cast<uint64_t>(h.height) - 1) + h.rowBytes;
    if (needed > h.dataSize) return false;
  }
  *header = std::move(h);
  return true;
}
