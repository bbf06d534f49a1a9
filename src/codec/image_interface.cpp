#include "codec/image_interface.h"

#include <new>

#include "codec/formats/registry.h"
#include "codec/save_page.h"

namespace {

// Returns the decoder's own reason, or fallback when it gave none (still with the row where
// reading stopped, when that is known).
Failure ReasonOf(const Decoder& decoder, FailureKind fallback) {
  Failure why = decoder.LastFailure();
  if (why.kind == FailureKind::kNone) why.kind = fallback;
  return why;
}

}  // namespace

CImageInterface::CImageInterface() = default;

CImageInterface::~CImageInterface() = default;

int CImageInterface::Load(const char* path) {
  CloseHandle();
  if (path == nullptr) return Failed(FailureKind::kMisuse, "no path");
  try {
    if (Resume(path)) return 1;
    Source source;
    source.decoder = OpenDecoder(path, &lastFailure_, &source.identity);
    if (!source.decoder) return 0;
    source.pageCount = source.decoder->PageCount();
    PageGeometry geometry;
    if (source.pageCount < 1 || !source.decoder->Probe(0, &geometry)) {
      lastFailure_ = ReasonOf(*source.decoder, FailureKind::kCorrupt);
      return 0;
    }
    source.path = path;
    loaded_ = std::move(source);
    reusable_ = true;
    return 1;
  } catch (const std::bad_alloc&) {
    CloseHandle();
    return Failed(FailureKind::kTooLarge, "out of memory");
  } catch (...) {
    CloseHandle();
    return Failed(FailureKind::kCorrupt);
  }
}

bool CImageInterface::Resume(const char* path) {
  Source parked = std::move(parked_);
  parked_ = {};
  if (!parked.decoder || parked.path != path) return false;
  // Read through a handle of its own, so that a file replaced since (renamed over, rewritten,
  // cut short) is told apart by what it is now, not by what the parked handle still reads.
  std::unique_ptr<InputFile> now = InputFile::Open(path);
  if (!now || !now->identity().SameAs(parked.identity)) return false;
  parked.decoder->ClearFailure();
  loaded_ = std::move(parked);
  reusable_ = true;
  return true;
}

int CImageInterface::GetPageCount() { return loaded_.decoder ? loaded_.pageCount : 0; }

template <typename Info>
int CImageInterface::SaveAny(const char* path, Info* info) {
  Decoder* decoder = loaded_.decoder.get();
  if (decoder == nullptr || info == nullptr || path == nullptr) {
    return Failed(FailureKind::kMisuse,
                  decoder != nullptr ? "no path or record" : "nothing loaded");
  }
  lastFailure_ = {};
  // A decoder that failed (or ran out of memory) part-way may hold a half-drawn page: it is
  // not kept for another Load.
  reusable_ = false;
  try {
    if (SavePage(*decoder, path, *info, &lastFailure_)) {
      reusable_ = true;
      return 1;
    }
    if (lastFailure_.kind == FailureKind::kNone) {
      lastFailure_ = ReasonOf(*decoder, FailureKind::kCorrupt);
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
  // Only a file of several pages is loaded again; any other decoder would just hold memory
  // and a descriptor until the next Load.
  if (loaded_.decoder && loaded_.pageCount > 1 && reusable_) parked_ = std::move(loaded_);
  loaded_ = {};
  reusable_ = false;
  lastFailure_ = {};
}

int CImageInterface::Failed(FailureKind kind, const char* text) {
  lastFailure_ = {kind, text};
  return 0;
}
