// Owners of libtiff's handles, shared by the TIFF decoder and the TIFF writer, and the message
// handler both give their handles: libtiff's errors and warnings are never printed.
#pragma once

#include <tiffio.h>

#include <cstdarg>
#include <memory>

struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

struct TiffOpenOptionsFree {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
using TiffOpenOptionsPtr = std::unique_ptr<TIFFOpenOptions, TiffOpenOptionsFree>;

// Returns 1 (handled) for every message.
inline int TiffSwallowMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }
