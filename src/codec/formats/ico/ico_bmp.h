// An icon's BMP image: a BITMAPINFOHEADER (or a later, longer one) with no file header, a
// palette for 1, 4 and 8 bits, the colour rows bottom up, then a 1-bit AND mask of as many
// rows whose set bits mark transparent pixels. The header's height counts both.
#pragma once

#include <memory>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

// Returns a one-page decoder over entry (the image's bytes alone) when its header is one of
// 1, 4, 8, 24 or 32 bits, uncompressed, with all colour rows present; nullptr otherwise,
// with the reason in *failure.
std::unique_ptr<Decoder> OpenIcoBmpDecoder(std::unique_ptr<InputFile> entry, Failure* failure);
