#include "codec/formats/ico/ico_directory.h"

#include <algorithm>
#include <cstring>

#include "codec/io/bytes.h"

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr int kPeekSize = 26;  // a PNG's signature and IHDR, or a BMP info header's start
constexpr uint32_t kMinInfoHeader = 40;

int PngChannels(int colorType) {
  switch (colorType) {
    case 0:
      return 1;
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;  // palette indices
  }
}

// Returns true and fills the size and bits of entry from its own header at entry->offset.
bool ReadEntryHeader(const InputFile& file, IcoEntry* entry) {
  uint8_t p[kPeekSize];
  if (entry->size < kPeekSize || !file.ReadAt(entry->offset, p, sizeof p)) return false;
  int64_t width = 0;
  int64_t height = 0;
  if (std::memcmp(p, kPngSignature, sizeof kPngSignature) == 0) {
    entry->png = true;
    width = LoadBe32(p + 16);
    height = LoadBe32(p + 20);
    entry->bits = p[24] * PngChannels(p[25]);
  } else {
    if (LoadLe32(p) < kMinInfoHeader) return false;
    width = static_cast<int32_t>(LoadLe32(p + 4));
    height = static_cast<int32_t>(LoadLe32(p + 8)) / 2;  // the AND mask's rows follow
    entry->bits = LoadLe16(p + 14);
  }
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX ||
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxSourcePixels) {
    return false;
  }
  entry->width = static_cast<int>(width);
  entry->height = static_cast<int>(height);
  return true;
}

}  // namespace

bool LooksLikeIcoDirectory(const uint8_t* head, size_t length) {
  if (length < kIcoHeaderSize + kIcoEntrySize) return false;
  const int type = LoadLe16(head + 2);
  const int count = LoadLe16(head + 4);
  if (LoadLe16(head) != 0 || (type != 1 && type != 2) || count == 0) return false;
  const uint64_t directoryEnd = kIcoHeaderSize + static_cast<uint64_t>(count) * kIcoEntrySize;
  for (size_t i = 0;
       i < static_cast<size_t>(count) && kIcoHeaderSize + (i + 1) * kIcoEntrySize <= length; ++i) {
    const uint8_t* entry = head + kIcoHeaderSize + i * kIcoEntrySize;
    // An icon's planes and bit count (a cursor keeps its hot spot there).
    if (type == 1 && (LoadLe16(entry + 4) > 1 || LoadLe16(entry + 6) > 32)) return false;
    if (LoadLe32(entry + 8) == 0 || LoadLe32(entry + 12) < directoryEnd) return false;
  }
  return true;
}

bool ReadIcoDirectory(const InputFile& file, std::vector<IcoEntry>* entries, Failure* failure) {
  uint8_t header[kIcoHeaderSize];
  if (!file.ReadAt(0, header, sizeof header)) {
    *failure = {FailureKind::kTruncated, "data ends before the directory"};
    return false;
  }
  const int count = LoadLe16(header + 4);
  std::vector<uint8_t> directory(static_cast<size_t>(count) * kIcoEntrySize);
  if (!file.ReadAt(kIcoHeaderSize, directory.data(), directory.size())) {
    *failure = {FailureKind::kTruncated, "data ends before the directory"};
    return false;
  }
  entries->clear();
  for (int i = 0; i < count; ++i) {
    const uint8_t* p = directory.data() + i * kIcoEntrySize;
    IcoEntry entry;
    entry.size = LoadLe32(p + 8);
    entry.offset = LoadLe32(p + 12);
    if (entry.offset > file.size()) continue;
    // The last image of a file cut short still shows what it holds.
    entry.size = std::min(entry.size, file.size() - entry.offset);
    if (ReadEntryHeader(file, &entry)) entries->push_back(entry);
  }
  if (entries->empty()) {
    *failure = {FailureKind::kCorrupt, "no entry holds an image"};
    return false;
  }
  std::stable_sort(entries->begin(), entries->end(), [](const IcoEntry& a, const IcoEntry& b) {
    const uint64_t areaA = static_cast<uint64_t>(a.width) * a.height;
    const uint64_t areaB = static_cast<uint64_t>(b.width) * b.height;
    return areaA != areaB ? areaA > areaB : a.bits > b.bits;
  });
  return true;
}
