// Small images for the end-to-end tests, written byte by byte, and a look at the JPEG files
// the program writes.
#pragma once

#include <cstdint>
#include <string>

// Append v to s as little-endian 16 or 32 bits, or big-endian 32 bits.
void AppendLe16(std::string& s, uint32_t v);
void AppendLe32(std::string& s, uint32_t v);
void AppendBe32(std::string& s, uint32_t v);

// Returns raw as a zlib stream of stored (uncompressed) deflate blocks.
std::string StoredZlib(const std::string& raw);

// Appends a PNG chunk to png: length, type, body and CRC.
void AppendPngChunk(std::string& png, const char* type, const std::string& body);

// Writes a 24-bit BMP of width x height with a pattern that depends on seed.
void WriteBmp(const std::string& path, int width, int height, int seed = 0);

// Writes an uncompressed 8-bit RGB TIFF with pages directories of width x height each.
void WriteTiff(const std::string& path, int width, int height, int pages);

// Returns an uncompressed 8-bit RGB TIFF of width x height pixels rgb whose directory comes
// before the pixels, as many cameras and scanners store it: a cut in the pixels leaves it whole.
std::string TiffDirectoryFirst(int width, int height, const std::string& rgb);

// Returns a QOI file of width x height pixels (channels 3 or 4 bytes each, packed rows) encoded
// as the format's reference encoder does, every operation used where it fits.
std::string EncodeQoi(int width, int height, int channels, const std::string& pixels);

// Writes an 8-bit RGB PNG of width x height (deflate's stored blocks, no compression).
void WritePng(const std::string& path, int width, int height);

struct JpegInfo {
  int width = 0;
  int height = 0;
  int components = 0;  // 1 gray, 3 colour
};

// Returns true and the frame header of the JPEG file at path when it is a complete JPEG
// (starts with SOI, has a frame header, ends with EOI); false otherwise.
bool ReadJpegInfo(const std::string& path, JpegInfo* info);
