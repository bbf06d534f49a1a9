// Test support: decodes the writers' outputs back with the format libraries themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReadBack {
  int width = 0;
  int height = 0;
  int channels = 0;             // as stored: JPEG components, TIFF samples, 3 for BMP and GIF
  int lumaSampling = 0;         // JPEG: horizontal sampling factor of the first component
  int compression = 0;          // TIFF compression tag
  std::vector<uint8_t> pixels;  // top to bottom, channels per pixel (GIF: RGB from palette)
  std::vector<uint8_t> icc;     // JPEG ICC profile
  std::vector<uint8_t> exif;    // JPEG APP1 payload after "Exif\0\0"
  int transparentIndex = -1;    // GIF
  int colorBits = 0;            // GIF screen colour resolution
  uint8_t At(int x, int y, int c = 0) const {
    return pixels[(static_cast<size_t>(y) * width + x) * channels + c];
  }
};

// Each returns true and the decoded file in *out; false when the file is not sound.
bool ReadJpeg(const std::string& path, ReadBack* out);
bool ReadBmp(const std::string& path, ReadBack* out);
bool ReadTiff(const std::string& path, ReadBack* out);
bool ReadGif(const std::string& path, ReadBack* out);
