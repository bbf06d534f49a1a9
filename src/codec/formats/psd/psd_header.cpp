#include "codec/formats/psd/psd_header.h"

#include <cstddef>
#include <string>

#include "codec/formats/formats.h"
#include "codec/io/bytes.h"
#include "codec/io/exif.h"

namespace {

constexpr int kMaxChannels = 56;
constexpr uint32_t kMaxPsdSide = 30000;
constexpr uint32_t kMaxPsbSide = 300000;
constexpr size_t kPaletteBytes = 768;

constexpr uint16_t kResourceIcc = 1039;
constexpr uint16_t kResourceTransparentIndex = 1047;
constexpr uint16_t kResourceExif = 1058;

// Reads big-endian fields one after another from a file, never past a limit.
class Cursor {
 public:
  Cursor(const InputFile& file, uint64_t offset, uint64_t end)
      : file_(file), offset_(offset), end_(end < file.size() ? end : file.size()) {}
  // A cursor over the next length bytes (fewer where the file ends first).
  Cursor Section(uint64_t length) const {
    return Cursor(file_, offset_, offset_ + (length < left() ? length : left()));
  }

  uint64_t offset() const { return offset_; }
  uint64_t left() const { return end_ > offset_ ? end_ - offset_ : 0; }

  // Each returns true and the next field; false when it does not fit before the limit.
  bool Bytes(void* out, size_t n) {
    if (left() < n || !file_.ReadAt(offset_, out, n)) return false;
    offset_ += n;
    return true;
  }
  bool U16(uint16_t* v) {
    uint8_t b[2];
    if (!Bytes(b, 2)) return false;
    *v = LoadBe16(b);
    return true;
  }
  bool U32(uint32_t* v) {
    uint8_t b[4];
    if (!Bytes(b, 4)) return false;
    *v = LoadBe32(b);
    return true;
  }
  // A length of 4 bytes, or 8 where wide is set.
  bool Length(bool wide, uint64_t* v) {
    uint32_t high = 0, low = 0;
    if (wide && !U32(&high)) return false;
    if (!U32(&low)) return false;
    *v = static_cast<uint64_t>(high) << 32 | low;
    return true;
  }
  bool Skip(uint64_t n) {
    if (left() < n) return false;
    offset_ += n;
    return true;
  }

 private:
  const InputFile& file_;
  uint64_t offset_;
  uint64_t end_;
};

// Keeps the resources this program uses; a damaged resource list ends the walk quietly, as
// everything in it is optional.
void ReadResources(Cursor in, PsdHeader* header) {
  for (;;) {
    uint8_t signature[4];
    uint16_t id = 0;
    uint8_t nameLength = 0;
    uint32_t size = 0;
    if (!in.Bytes(signature, 4) || !in.U16(&id) || !in.Bytes(&nameLength, 1)) return;
    // The name is a Pascal string padded to an even length, its length byte included.
    if (!in.Skip(nameLength + (nameLength % 2 == 0 ? 1u : 0u)) || !in.U32(&size)) return;
    if (size > in.left()) return;
    std::vector<uint8_t>* keep = nullptr;
    if (id == kResourceIcc) keep = &header->icc;
    if (id == kResourceExif) keep = &header->exif;
    if (keep != nullptr) {
      keep->resize(size);
      if (!in.Bytes(keep->data(), size)) return;
    } else if (id == kResourceTransparentIndex && size >= 2) {
      uint16_t index = 0;
      if (!in.U16(&index) || !in.Skip(size - 2)) return;
      header->transparentIndex = index;
    } else if (!in.Skip(size)) {
      return;
    }
    if (size % 2 != 0 && !in.Skip(1)) return;
  }
}

// Returns the document's layer count, negative when the composite's first extra channel is
// its transparency; 0 when there are no layers. 16- and 32-bit documents keep their layers in
// a tagged block ("Lr16", "Lr32") after an empty layer info.
int LayerCount(Cursor in, bool large) {
  uint64_t infoLength = 0;
  uint16_t count = 0;
  if (!in.Length(large, &infoLength)) return 0;
  if (infoLength >= 2) return in.U16(&count) ? static_cast<int16_t>(count) : 0;
  uint32_t maskLength = 0;
  if (!in.Skip(infoLength) || !in.U32(&maskLength) || !in.Skip(maskLength)) return 0;
  for (;;) {
    uint8_t signature[4];
    char key[5] = {};
    uint64_t length = 0;
    if (!in.Bytes(signature, 4) || !in.Bytes(key, 4)) return 0;
    const std::string name(key);
    const bool layers = name == "Lr16" || name == "Lr32" || name == "Layr";
    const bool wide =
        large && (layers || name == "LMsk" || name == "Mt16" || name == "Mt32" || name == "Mtrn" ||
                  name == "Alph" || name == "FMsk" || name == "lnk2" || name == "FEid" ||
                  name == "FXid" || name == "PxSD");
    if (!in.Length(wide, &length)) return 0;
    if (layers) return length >= 2 && in.U16(&count) ? static_cast<int16_t>(count) : 0;
    if (!in.Skip(length)) return 0;
  }
}

bool Fails(Failure* failure, FailureKind kind, std::string text) {
  Refuse(failure, kind, std::move(text));
  return false;
}

// Sets the colour mode's layout fields; false with the reason when it is not converted.
bool ReadMode(uint16_t mode, uint16_t depth, PsdHeader* h, Failure* failure) {
  switch (mode) {
    case 0:
      if (depth != 1) return Fails(failure, FailureKind::kCorrupt, "bitmap depth");
      h->mode = PsdMode::kBitmap;
      h->colorChannels = 1;
      return true;
    case 1:  // gray
    case 8:  // duotone: its one channel is the ink's density, read as gray
      h->mode = PsdMode::kGray;
      h->colorChannels = 1;
      break;
    case 2:
      if (depth != 8) return Fails(failure, FailureKind::kCorrupt, "indexed depth");
      h->mode = PsdMode::kIndexed;
      h->colorChannels = 1;
      break;
    case 3:
      h->mode = PsdMode::kRgb;
      h->colorChannels = 3;
      break;
    case 4:
      h->mode = PsdMode::kCmyk;
      h->colorChannels = 4;
      break;
    case 7:
      return Fails(failure, FailureKind::kUnsupported, "multichannel documents");
    case 9:
      return Fails(failure, FailureKind::kUnsupported, "Lab documents");
    default:
      return Fails(failure, FailureKind::kCorrupt, "colour mode");
  }
  if (depth == 32) return Fails(failure, FailureKind::kUnsupported, "32-bit floating point");
  if (depth != 8 && depth != 16) return Fails(failure, FailureKind::kCorrupt, "depth");
  return true;
}

}  // namespace

bool ReadPsdHeader(const InputFile& file, PsdHeader* h, Failure* failure) {
  Cursor in(file, 0, file.size());
  uint8_t fixed[26];
  if (!in.Bytes(fixed, sizeof fixed)) return Fails(failure, FailureKind::kTruncated, "header");
  h->large = LoadBe16(fixed + 4) == 2;
  const uint16_t channels = LoadBe16(fixed + 12);
  const uint32_t height = LoadBe32(fixed + 14);
  const uint32_t width = LoadBe32(fixed + 18);
  const uint16_t depth = LoadBe16(fixed + 22);
  const uint16_t mode = LoadBe16(fixed + 24);
  const uint32_t maxSide = h->large ? kMaxPsbSide : kMaxPsdSide;
  if (channels < 1 || channels > kMaxChannels || width == 0 || height == 0 || width > maxSide ||
      height > maxSide) {
    return Fails(failure, FailureKind::kCorrupt, "header");
  }
  if (static_cast<uint64_t>(width) * height > kMaxSourcePixels) {
    return Fails(failure, FailureKind::kTooLarge, "");
  }
  if (!ReadMode(mode, depth, h, failure)) return false;
  if (channels < h->colorChannels) return Fails(failure, FailureKind::kCorrupt, "channels");
  h->channels = channels;
  h->width = static_cast<int>(width);
  h->height = static_cast<int>(height);
  h->depth = depth;

  uint64_t length = 0;
  if (!in.Length(false, &length)) return Fails(failure, FailureKind::kTruncated, "header");
  if (h->mode == PsdMode::kIndexed) {
    if (length < kPaletteBytes) return Fails(failure, FailureKind::kCorrupt, "palette");
    h->palette.resize(kPaletteBytes);
    if (!in.Bytes(h->palette.data(), kPaletteBytes)) {
      return Fails(failure, FailureKind::kTruncated, "palette");
    }
    length -= kPaletteBytes;
  }
  if (!in.Skip(length) || !in.Length(false, &length)) {
    return Fails(failure, FailureKind::kTruncated, "colour mode data");
  }
  ReadResources(in.Section(length), h);
  if (!in.Skip(length) || !in.Length(h->large, &length)) {
    return Fails(failure, FailureKind::kTruncated, "image resources");
  }
  const int layers = LayerCount(in.Section(length), h->large);
  // Only a negative layer count marks the first extra channel as the merged transparency;
  // otherwise extra channels are saved selections or spot colours, and are not shown.
  // A CMYK composite keeps its transparency as ink already blended onto white paper.
  h->mergedAlpha = layers < 0 && channels > h->colorChannels &&
                   (h->mode == PsdMode::kGray || h->mode == PsdMode::kRgb);
  uint16_t compression = 0;
  if (!in.Skip(length) || !in.U16(&compression)) {
    return Fails(failure, FailureKind::kTruncated, "layer and mask data");
  }
  if (compression == 2 || compression == 3) {
    return Fails(failure, FailureKind::kUnsupported, "ZIP-compressed composite image");
  }
  if (compression > 1) return Fails(failure, FailureKind::kCorrupt, "compression");
  h->compression = compression;
  h->dataOffset = in.offset();
  const size_t prefix = ExifPrefixLength(h->exif.data(), h->exif.size());
  h->exif.erase(h->exif.begin(), h->exif.begin() + static_cast<std::ptrdiff_t>(prefix));
  if (h->mode != PsdMode::kIndexed || h->transparentIndex > 255) h->transparentIndex = -1;
  return true;
}
