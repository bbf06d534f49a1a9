#include "codec/image_interface.h"

#include <new>

#include "codec/formats/registry.h"
#include "codec/save_page.h"

namespace {

// Returns the decoder's own reason, or fallback when it gave none.
Failure ReasonOf(const Decoder& decoder, FailureKind fallback) {
  const Failure& why = decoder.LastFailure();
  return why.kind != FailureKind::kNone ? why : Failure{fallback, {}};
}

}  // namespace

CImageInterface::CImageInterface() = default;

CImageInterface::~CImageInterface() = default;

int CImageInterface::Load(const char* path) {
  CloseHandle();
  if (path == nullptr) return Failed(FailureKind::kMisuse, "no path");
  try {
    std::unique_ptr<Decoder> decoder = OpenDecoder(path, &lastFailure_);
    if (!decoder) return 0;
    int pages = decoder->PageCount();
    PageGeometry geometry;
    if (pages < 1 || !decoder->Probe(0, &geometry)) {
      lastFailure_ = ReasonOf(*decoder, FailureKind::kCorrupt);
      return 0;
    }
    decoder_ = std::move(decoder);
    pageCount_ = pages;
    return 1;
  } catch (const std::bad_alloc&) {
    CloseHandle();
    return Failed(FailureKind::kTooLarge, "out of memory");
  } catch (...) {
    CloseHandle();
    return Failed(FailureKind::kCorrupt);
  }
}

int CImageInterface::GetPageCount() { return decoder_ ? pageCount_ : 0; }

template <typename Info>
int CImageInterface::SaveAny(const char* path, Info* info) {
  if (!decoder_ || info == nullptr || path == nullptr) {
    return Failed(FailureKind::kMisuse, decoder_ ? "no path or record" : "nothing loaded");
  }
  lastFailure_ = {};
  try {
    if (SavePage(*decoder_, path, *info, &lastFailure_)) return 1;
    if (lastFailure_.kind == FailureKind::kNone) {
      lastFailure_ = ReasonOf(*decoder_, FailureKind::kCorrupt);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return Failed(FailureKind::kTooLarge, "out of memory");
  } catch (...) {
    return Failed(FailureKind::kCorrupt);  // the writers' guards have removed any partial output
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
  lastFailure_ = {};
}

int CImageInterface::Failed(FailureKind kind, const char* text) {
  lastFailure_ = {kind, text};
  return 0;
}
