// EXIF metadata, read by the decoders and rewritten for the JPEG writer: the orientation tag
// of IFD0 in a TIFF-structured EXIF block, found by one walk over the structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Returns the orientation (1..8) in IFD0 of the TIFF-structured EXIF block data[0..size),
// which may or may not open with "Exif\0\0"; returns 1 when the tag is absent, out of range
// or the block cannot be parsed.
int ReadExifOrientation(const uint8_t* data, size_t size);

// Returns the length of the "Exif\0\0" prefix at data (6), or 0 when data does not open with it.
size_t ExifPrefixLength(const uint8_t* data, size_t size);

// Returns true and sets the orientation tag of the EXIF block (TIFF structure, no "Exif\0\0")
// to 1 when present; false, block unchanged, when the block's structure is unsound.
bool ResetExifOrientation(std::vector<uint8_t>* exif);
