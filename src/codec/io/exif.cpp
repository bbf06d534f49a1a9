#include "codec/io/exif.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "codec/io/bytes.h"

namespace {

constexpr uint8_t kExifPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};
// Larger blocks are not EXIF as any camera or encoder writes it.
constexpr size_t kMaxExifBytes = 16u << 20;
// An APP1 segment holds at most this much of the structure after its prefix; the reader looks
// no further, as common EXIF readers do, so that files show the turn they show elsewhere.
constexpr size_t kMaxReadBytes = 0xfffe - sizeof kExifPrefix;

constexpr uint16_t kTiffMagic = 42;
constexpr uint16_t kOrientationTag = 0x0112;

// A directory entry: tag, type, count, then the values when they fit in four bytes, else
// their offset.
constexpr size_t kEntryBytes = 12;
constexpr size_t kInlineBytes = 4;

enum FieldType : uint16_t {
  kByte = 1,
  kAscii,
  kShort,
  kLong,
  kRational,
  kSignedByte,
  kUndefined,
  kSignedShort,
  kSignedLong,
  kSignedRational,
  kFloat,
  kDouble,
};

// Returns the bytes one value of a TIFF field type takes; 0 for an unknown type.
uint64_t TypeBytes(uint16_t type) {
  switch (type) {
    case kByte:
    case kAscii:
    case kSignedByte:
    case kUndefined:
      return 1;
    case kShort:
    case kSignedShort:
      return 2;
    case kLong:
    case kSignedLong:
    case kFloat:
      return 4;
    case kRational:
    case kSignedRational:
    case kDouble:
      return 8;
    default:
      return 0;
  }
}

// Tags whose value is an offset into the structure: sub-directories and the thumbnail.
constexpr uint16_t kPointerTags[] = {0x8769, 0x8825, 0xa005, 0x0201, 0x0202};

bool IsPointerTag(uint16_t tag) {
  return std::find(std::begin(kPointerTags), std::end(kPointerTags), tag) != std::end(kPointerTags);
}

// IFD0 of a TIFF structure: the byte order, where its entries start and how many it states.
struct Ifd0 {
  ByteOrder order;
  uint64_t entries = 0;
  uint64_t count = 0;
};

// Returns true and IFD0 of tiff[0..size) when the header is sound and the directory's count
// lies inside; false otherwise. The entries themselves may run past size.
bool FindIfd0(const uint8_t* tiff, size_t size, Ifd0* ifd) {
  if (size < 8) return false;
  if (tiff[0] == 'I' && tiff[1] == 'I') {
    ifd->order.little = true;
  } else if (tiff[0] == 'M' && tiff[1] == 'M') {
    ifd->order.little = false;
  } else {
    return false;
  }
  if (ifd->order.Load16(tiff + 2) != kTiffMagic) return false;
  uint64_t offset = ifd->order.Load32(tiff + 4);
  if (offset + 2 > size) return false;
  ifd->count = ifd->order.Load16(tiff + offset);
  ifd->entries = offset + 2;
  return true;
}

// Returns true and the orientation entry's value when the entry at tiff + at has its values
// inside tiff[0..size); *value is 0 when the type cannot hold an orientation.
bool EntryOrientation(const uint8_t* tiff, size_t size, uint64_t at, ByteOrder order, int* value) {
  const uint8_t* entry = tiff + at;
  uint16_t type = order.Load16(entry + 2);
  uint64_t count = order.Load32(entry + 4);
  uint64_t unit = TypeBytes(type);
  if (unit == 0 || count == 0 || count >= UINT32_MAX / unit) return false;
  uint64_t bytes = unit * count;
  uint64_t data = bytes > kInlineBytes ? order.Load32(entry + 8) : at + 8;
  if (data >= size || bytes > size - data) return false;
  *value = 0;
  if (type == kShort) {
    *value = order.Load16(tiff + data);
  } else if (type == kLong) {
    uint32_t wide = order.Load32(tiff + data);
    *value = wide <= 8 ? static_cast<int>(wide) : 0;
  }
  return true;
}

}  // namespace

size_t ExifPrefixLength(const uint8_t* data, size_t size) {
  if (data == nullptr || size < sizeof kExifPrefix) return 0;
  return std::memcmp(data, kExifPrefix, sizeof kExifPrefix) == 0 ? sizeof kExifPrefix : 0;
}

int ReadExifOrientation(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0 || size > kMaxExifBytes) return 1;
  size_t prefix = ExifPrefixLength(data, size);
  const uint8_t* tiff = data + prefix;
  size_t tiffSize = std::min(size - prefix, kMaxReadBytes);
  Ifd0 ifd;
  if (!FindIfd0(tiff, tiffSize, &ifd)) return 1;
  // A directory cut short still counts for the entries that are whole.
  uint64_t whole = (tiffSize - ifd.entries) / kEntryBytes;
  uint64_t count = std::min(ifd.count, whole);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t at = ifd.entries + i * kEntryBytes;
    uint16_t tag = ifd.order.Load16(tiff + at);
    if (IsPointerTag(tag)) {
      // A pointer out of the block marks the rest of the directory as damaged.
      if (ifd.order.Load32(tiff + at + 8) >= tiffSize) return 1;
      continue;
    }
    if (tag != kOrientationTag) continue;
    // The first entry whose values are inside the block is the one that counts.
    int value = 0;
    if (!EntryOrientation(tiff, tiffSize, at, ifd.order, &value)) continue;
    return value >= 1 && value <= 8 ? value : 1;
  }
  return 1;
}

bool ResetExifOrientation(std::vector<uint8_t>* exif) {
  std::vector<uint8_t>& b = *exif;
  Ifd0 ifd;
  if (!FindIfd0(b.data(), b.size(), &ifd)) return false;
  if (ifd.entries + ifd.count * kEntryBytes > b.size()) return false;
  for (uint64_t i = 0; i < ifd.count; ++i) {
    uint8_t* entry = &b[ifd.entries + i * kEntryBytes];
    if (ifd.order.Load16(entry) != kOrientationTag) continue;
    if (ifd.order.Load16(entry + 2) != kShort || ifd.order.Load32(entry + 4) < 1) return false;
    ifd.order.Store16(entry + 8, 1);
  }
  return true;
}
