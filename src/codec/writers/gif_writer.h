// The GIF writer (giflib): one frame, colours reduced with giflib's median-cut quantiser,
// holding the whole image.
#pragma once

#include "codec/pipeline/row_source.h"

struct GifWriteOptions {
  int colorBits = 8;  // bits per palette index, clamped to 1..8
  bool interlaced = false;
  bool transparent = false;  // mark transparentIndex transparent
  int transparentIndex = 0;
};

// Returns true when rows (1 or 3 channels) were stored in a new file at path; false on any
// error (the caller removes what was written).
bool WriteGif(RowSource& rows, const char* path, const GifWriteOptions& options);
