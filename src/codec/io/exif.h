// EXIF metadata shared by the decoders: the orientation tag of an embedded EXIF block.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns the orientation (1..8) in IFD0 of the TIFF-structured EXIF block data[0..size),
// which may or may not open with "Exif\0\0"; returns 1 when the tag is absent, out of range
// or the block cannot be parsed.
int ReadExifOrientation(const uint8_t* data, size_t size);

// Returns the length of the "Exif\0\0" prefix at data (6), or 0 when data does not open with it.
size_t ExifPrefixLength(const uint8_t* data, size_t size);
