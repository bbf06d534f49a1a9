#include "codec/io/exif.h"

#include <libexif/exif-data.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t kExifPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};
// Larger blocks are not EXIF as any camera or encoder writes it.
constexpr size_t kMaxExifBytes = 16u << 20;

struct ExifDataUnref {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};

}  // namespace

size_t ExifPrefixLength(const uint8_t* data, size_t size) {
  if (data == nullptr || size < sizeof kExifPrefix) return 0;
  return std::memcmp(data, kExifPrefix, sizeof kExifPrefix) == 0 ? sizeof kExifPrefix : 0;
}

int ReadExifOrientation(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0 || size > kMaxExifBytes) return 1;
  // libexif only recognises a block that carries the prefix.
  std::vector<uint8_t> prefixed;
  if (ExifPrefixLength(data, size) == 0) {
    prefixed.reserve(size + sizeof kExifPrefix);
    prefixed.assign(kExifPrefix, kExifPrefix + sizeof kExifPrefix);
    prefixed.insert(prefixed.end(), data, data + size);
    data = prefixed.data();
    size = prefixed.size();
  }
  std::unique_ptr<ExifData, ExifDataUnref> exif(exif_data_new());
  if (!exif) return 1;
  exif_data_unset_option(exif.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(exif.get(), data, static_cast<unsigned int>(size));
  ExifContent* ifd0 = exif->ifd[EXIF_IFD_0];
  if (ifd0 == nullptr) return 1;
  ExifEntry* entry = exif_content_get_entry(ifd0, EXIF_TAG_ORIENTATION);
  if (entry == nullptr || entry->data == nullptr || entry->components < 1) return 1;
  int value = 0;
  if (entry->format == EXIF_FORMAT_SHORT && entry->size >= 2) {
    value = exif_get_short(entry->data, exif_data_get_byte_order(exif.get()));
  } else if (entry->format == EXIF_FORMAT_LONG && entry->size >= 4) {
    uint32_t wide = exif_get_long(entry->data, exif_data_get_byte_order(exif.get()));
    value = wide <= 8 ? static_cast<int>(wide) : 0;
  }
  return value >= 1 && value <= 8 ? value : 1;
}
