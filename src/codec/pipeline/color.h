// Colour normalisation: turns a decoder's canonical layouts into 8-bit gray or RGB rows,
// flattening alpha onto white and converting CMYK to RGB (through lcms2 with the page's
// embedded ICC profile when it has a usable CMYK one, else with a plain formula).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/decoder.h"
#include "codec/pipeline/row_source.h"

// The colour space an ICC profile's header declares.
enum class IccSpace : uint8_t { kUnknown, kGray, kRgb, kCmyk };

// Returns the colour space of profile, kUnknown when it is too short or another space.
IccSpace IccColorSpace(const std::vector<uint8_t>& profile);

// Returns an ICC profile of the RGB space whose red, green, blue and white points are xy (CIE
// x, y pairs in that order), with the tone curve gamma (0: the sRGB curve); empty when lcms2
// cannot make one.
std::vector<uint8_t> RgbProfile(const double (&xy)[8], double gamma);

// Returns a stage converting source (rows in layout) to channels (1: gray, 3: RGB), or the
// source itself when it already has that shape; nullptr when channels is neither 1 nor 3.
std::unique_ptr<RowSource> MakeColorStage(std::unique_ptr<RowSource> source, PixelLayout layout,
                                          const std::vector<uint8_t>& icc, int channels);
