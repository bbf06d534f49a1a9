// A look at a TIFF-structured file's first directory, enough to tell a camera's raw file from
// a plain TIFF without reading the image.
#pragma once

#include "codec/io/input_file.h"

// Returns true when file's first directory carries a DNGVersion or Make tag, or the header
// is one a camera maker uses (CR2's "CR" mark, Phase One's "IIII"); false for a plain TIFF,
// a BigTIFF or a directory that cannot be read.
bool LooksLikeCameraTiff(const InputFile& file);
