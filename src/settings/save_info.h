// The codec's save-parameter records: one per output format, each opening with the same
// SaveHeader. The codec reads them through the pointer it is handed, so their field order,
// widths and sizes are fixed; the static_asserts in save_info.cpp hold them.
#pragma once

#include <cstdint>

struct SaveHeader {
  int32_t nWidth;         // target width in pixels; -1 when none was given
  int32_t nHeight;        // target height in pixels; -1 when none was given
  int32_t nPage;          // zero-based page of the loaded image that the next save writes
  int32_t bProportional;  // keep the aspect ratio when resizing
  int32_t nOption;        // passed through to the codec unchanged
  float fRotation;        // rotation in degrees, clockwise
};

// Fills a header with its defaults: no size, page 0, not proportional, option 1, no rotation.
void InitSaveHeader(SaveHeader& header);

namespace _SAVEIMAGEINFO {

struct _BMP : SaveHeader {
  int32_t nCompression;  // 0: uncompressed
  int32_t nColorDepth;   // bits per pixel
};

struct _TIF : SaveHeader {
  int32_t nColorDepth;    // bits per pixel
  int32_t nCompression;   // codec's own compression code
  int32_t nPlanarConfig;  // 1: contiguous samples
  int32_t nPredictor;     // 0: none
  int32_t nReserved;
  int32_t bSingleFile;  // all pages of a batch go into one file
  char szDescription[1024];
  char szSoftware[1024];
};

struct _GIF : SaveHeader {
  int32_t bInterlaced;
  int32_t nColorBits;  // bits per palette index
  int32_t bTransparent;
  int32_t nTransparentIndex;
};

struct _JPG : SaveHeader {
  int32_t nColorDepth;  // bits per pixel: 1..8 gives grayscale, anything else colour
  int32_t nQuality;     // 1..100
};

}  // namespace _SAVEIMAGEINFO

// Each record with its defaults, header included.
void InitSaveInfo(_SAVEIMAGEINFO::_BMP& info);
void InitSaveInfo(_SAVEIMAGEINFO::_TIF& info);
void InitSaveInfo(_SAVEIMAGEINFO::_GIF& info);
void InitSaveInfo(_SAVEIMAGEINFO::_JPG& info);
