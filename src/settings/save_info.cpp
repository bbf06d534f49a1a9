#include "settings/save_info.h"

#include <cstddef>
#include <cstring>

// The records extend SaveHeader, which makes them non-standard-layout in the language's
// terms; g++ still lays them out as plain C structs, and these checks prove it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(float) == 4);
static_assert(sizeof(SaveHeader) == 24);
static_assert(offsetof(SaveHeader, nWidth) == 0);
static_assert(offsetof(SaveHeader, nHeight) == 4);
static_assert(offsetof(SaveHeader, nPage) == 8);
static_assert(offsetof(SaveHeader, bProportional) == 12);
static_assert(offsetof(SaveHeader, nOption) == 16);
static_assert(offsetof(SaveHeader, fRotation) == 20);

static_assert(sizeof(_SAVEIMAGEINFO::_BMP) == 32);
static_assert(offsetof(_SAVEIMAGEINFO::_BMP, nCompression) == 24);
static_assert(offsetof(_SAVEIMAGEINFO::_BMP, nColorDepth) == 28);

static_assert(sizeof(_SAVEIMAGEINFO::_TIF) == 2096);
static_assert(offsetof(_SAVEIMAGEINFO::_TIF, nColorDepth) == 24);
static_assert(offsetof(_SAVEIMAGEINFO::_TIF, nReserved) == 40);
static_assert(offsetof(_SAVEIMAGEINFO::_TIF, bSingleFile) == 44);
static_assert(offsetof(_SAVEIMAGEINFO::_TIF, szDescription) == 48);
static_assert(offsetof(_SAVEIMAGEINFO::_TIF, szSoftware) == 1072);

static_assert(sizeof(_SAVEIMAGEINFO::_GIF) == 40);
static_assert(offsetof(_SAVEIMAGEINFO::_GIF, bInterlaced) == 24);
static_assert(offsetof(_SAVEIMAGEINFO::_GIF, nTransparentIndex) == 36);

static_assert(sizeof(_SAVEIMAGEINFO::_JPG) == 32);
static_assert(offsetof(_SAVEIMAGEINFO::_JPG, nColorDepth) == 24);
static_assert(offsetof(_SAVEIMAGEINFO::_JPG, nQuality) == 28);
#pragma GCC diagnostic pop

void InitSaveHeader(SaveHeader& header) {
  header.nWidth = -1;
  header.nHeight = -1;
  header.nPage = 0;
  header.bProportional = 0;
  header.nOption = 1;
  header.fRotation = 0.0f;
}

void InitSaveInfo(_SAVEIMAGEINFO::_BMP& info) {
  InitSaveHeader(info);
  info.nCompression = 0;
  info.nColorDepth = 24;
}

void InitSaveInfo(_SAVEIMAGEINFO::_TIF& info) {
  InitSaveHeader(info);
  info.nColorDepth = 24;
  info.nCompression = 1;
  info.nPlanarConfig = 1;
  info.nPredictor = 0;
  info.nReserved = 0;
  info.bSingleFile = 0;
  std::memset(info.szDescription, 0, sizeof info.szDescription);
  std::memset(info.szSoftware, 0, sizeof info.szSoftware);
}

void InitSaveInfo(_SAVEIMAGEINFO::_GIF& info) {
  InitSaveHeader(info);
  info.bInterlaced = 0;
  info.nColorBits = 8;
  info.bTransparent = 0;
  info.nTransparentIndex = 0;
}

void InitSaveInfo(_SAVEIMAGEINFO::_JPG& info) {
  InitSaveHeader(info);
  info.nColorDepth = 24;
  info.nQuality = 75;
}
