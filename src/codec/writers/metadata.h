// Metadata carried from a source into an output: the choice of ICC profile that fits the
// output (the EXIF block's orientation is reset by codec/io/exif.h).
#pragma once

#include <cstdint>
#include <vector>

// Returns icc when it describes the output's colour space (channels 1: gray, 3: RGB), else
// an empty profile.
std::vector<uint8_t> ProfileForOutput(const std::vector<uint8_t>& icc, int channels);
