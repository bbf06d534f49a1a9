// The JPEG writer (libjpeg-turbo): baseline, fed row by row from a pipeline, carrying the
// source's ICC profile and EXIF block over.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/pipeline/row_source.h"

struct JpegWriteOptions {
  int quality = 75;           // clamped to 1..100; 4:2:0 chroma below 90, 4:4:4 from 90 up
  std::vector<uint8_t> icc;   // written as APP2 ICC_PROFILE chunks when not empty
  std::vector<uint8_t> exif;  // TIFF structure written as APP1 "Exif" when not empty
};

// Returns true when every row of rows (1 channel: grayscale, 3: RGB) was compressed into a
// new file at path; false on any error (the caller removes what was written).
bool WriteJpeg(RowSource& rows, const char* path, const JpegWriteOptions& options);
