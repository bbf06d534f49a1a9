// ImageMagick as a reference decoder for the formats read by decoders of our own: its
// decode of a file and ours, both put over white as 8-bit RGB, compared by PSNR.
#pragma once

#include <string>
#include <vector>

#include "codec/decode_page.h"

// One frame, 8-bit RGB over white, rows top first.
struct RgbFrame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// Returns whether ImageMagick's convert (the Debian package's) is installed.
bool HaveMagick();

// Returns every frame of ImageMagick's decode of path, turned upright by its recorded
// orientation and put over white; empty when convert is missing or fails.
std::vector<RgbFrame> MagickFrames(const std::string& path);

// Returns page as 8-bit RGB over white (gray spread to three channels, straight alpha).
RgbFrame OverWhite(const DecodedPage& page);

// Returns the PSNR in dB between two frames of one size (99 for equal ones), -1 otherwise.
double Psnr(const RgbFrame& a, const RgbFrame& b);
