// The TIFF writer (libtiff): one page, 8-bit RGB, deflate-compressed strips written row by row.
#pragma once

#include <string>

#include "codec/pipeline/row_source.h"

struct TiffWriteOptions {
  bool horizontalPredictor = false;
  std::string description;  // ImageDescription tag when not empty
  std::string software;     // Software tag when not empty
};

// Returns true when every row of rows (1 or 3 channels, stored as RGB) was written to a new
// file at path; false on any error (the caller removes what was written).
bool WriteTiff(RowSource& rows, const char* path, const TiffWriteOptions& options);
