#include "codec/image_interface.h"

#include "codec/decoder.h"
#include "codec/save_page.h"
#include "codec/sniff.h"

CImageInterface::CImageInterface() = default;

CImageInterface::~CImageInterface() = default;

int CImageInterface::Load(const char* path) {
  CloseHandle();
  if (path == nullptr) return 0;
  try {
    std::unique_ptr<Decoder> decoder = OpenDecoder(path);
    if (!decoder) return 0;
    int pages = decoder->PageCount();
    PageGeometry geometry;
    if (pages < 1 || !decoder->Probe(0, &geometry)) return 0;
    decoder_ = std::move(decoder);
    pageCount_ = pages;
    return 1;
  } catch (...) {
    CloseHandle();
    return 0;
  }
}

int CImageInterface::GetPageCount() { return decoder_ ? pageCount_ : 0; }

template <typename Info>
int CImageInterface::SaveAny(const char* path, Info* info) {
  if (!decoder_ || info == nullptr || path == nullptr) return 0;
  try {
    return SavePage(*decoder_, path, *info) ? 1 : 0;
  } catch (...) {
    return 0;  // the writers' guards have removed any partial output by now
  }
}

int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_BMP* info) {
  return SaveAny(path, info);
}
int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_TIF* info) {
  return SaveAny(path, info);
}
int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_GIF* info) {
  return SaveAny(path, info);
}
int CImageInterface::Save(const char* path, _SAVEIMAGEINFO::_JPG* info) {
  return SaveAny(path, info);
}

void CImageInterface::CloseHandle() {
  decoder_.reset();
  pageCount_ = 0;
}
