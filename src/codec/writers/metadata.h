// Metadata carried from a source into an output: the EXIF block with its orientation reset
// once the pixels have been turned, and the choice of ICC profile that fits the output.
#pragma once

#include <cstdint>
#include <vector>

// Returns true and sets the orientation tag of the EXIF block (TIFF structure, no "Exif\0\0")
// to 1 when present; false, block unchanged, when the block's structure is unsound.
bool ResetExifOrientation(std::vector<uint8_t>* exif);

// Returns icc when it describes the output's colour space (channels 1: gray, 3: RGB), else
// an empty profile.
std::vector<uint8_t> ProfileForOutput(const std::vector<uint8_t>& icc, int channels);
