// The BMP writer: 24-bit uncompressed, bottom-up rows padded to 4 bytes, written row by row.
#pragma once

#include "codec/pipeline/row_source.h"

// Returns true when every row of rows (1 or 3 channels) was stored in a new file at path;
// false on any error (the caller removes what was written).
bool WriteBmp(RowSource& rows, const char* path);
