#include "codec/formats/tiff/tiff_decoder_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Messages raised where libtiff has no handle yet go to the process-wide handlers.
void SilenceGlobalHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

}  // namespace

std::unique_ptr<TiffSource> TiffSource::Open(const InputFile* file) {
  SilenceGlobalHandlers();
  TiffOpenOptionsPtr options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kTiffMaxSingleAlloc);
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), TiffSwallowMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), TiffSwallowMessage, nullptr);
  std::unique_ptr<TiffSource> source(new TiffSource(file));
  source->tif_.reset(TIFFClientOpenExt(file->path().c_str(), "rm", source.get(), Read, Write, Seek,
                                       Close, Size, Map, Unmap, options.get()));
  if (!source->tif_) return nullptr;
  return source;
}

bool TiffSource::SetPage(int page, std::vector<uint64_t>* offsets) {
  TIFF* tif = tif_.get();
  const auto index = static_cast<size_t>(page);
  // Every page is read from its directory afresh, even the current one: reading a page
  // changes some of its directory's fields (the JPEG colour mode).
  bool read = false;
  if (page_ >= 0 && page == page_ + 1) {
    read = TIFFReadDirectory(tif) == 1;
  } else if (index < offsets->size() && (*offsets)[index] != 0) {
    read = TIFFSetSubDirectory(tif, (*offsets)[index]) == 1;
  } else {
    read = TIFFSetDirectory(tif, static_cast<tdir_t>(page)) == 1;
  }
  page_ = read ? page : -1;
  if (!read) return false;
  if (offsets->size() <= index) offsets->resize(index + 1, 0);
  (*offsets)[index] = TIFFCurrentDirOffset(tif);
  return true;
}

tmsize_t TiffSource::Read(thandle_t handle, void* buffer, tmsize_t size) {
  auto* self = static_cast<TiffSource*>(handle);
  uint64_t total = self->file_->size();
  if (size <= 0 || self->offset_ >= total) return 0;
  uint64_t length = static_cast<uint64_t>(size);
  if (length > total - self->offset_) length = total - self->offset_;
  // libtiff adds what a read returns to its byte count before clearing the rest of its
  // buffer, so a failed read must report the bytes it did deliver (maybe 0), never -1.
  size_t got = 0;
  const uint64_t at = self->offset_;
  std::vector<uint8_t>& window = self->window_;
  bool windowed = length < kDirectReadBytes;
  if (windowed && (at < self->windowStart_ || at + length > self->windowStart_ + window.size())) {
    // We are inside libtiff's frames: memory that cannot be had for the window must not
    // throw through them, so the read then goes to the file directly.
    try {
      window.resize(static_cast<size_t>(std::min<uint64_t>(kWindowBytes, total - at)));
      window.resize(self->file_->ReadUpTo(at, window.data(), window.size()));
      self->windowStart_ = at;
    } catch (const std::bad_alloc&) {
      window.clear();
      windowed = false;
    }
  }
  if (windowed) {
    const uint64_t inWindow = at - self->windowStart_;
    got = static_cast<size_t>(std::min<uint64_t>(length, window.size() - inWindow));
    std::memcpy(buffer, window.data() + inWindow, got);
  } else {
    got = self->file_->ReadUpTo(at, buffer, static_cast<size_t>(length));
  }
  self->offset_ += got;
  return static_cast<tmsize_t>(got);
}

tmsize_t TiffSource::Write(thandle_t, void*, tmsize_t) { return -1; }

toff_t TiffSource::Seek(thandle_t handle, toff_t offset, int whence) {
  auto* self = static_cast<TiffSource*>(handle);
  uint64_t base = 0;
  if (whence == SEEK_CUR) {
    base = self->offset_;
  } else if (whence == SEEK_END) {
    base = self->file_->size();
  } else if (whence != SEEK_SET) {
    return static_cast<toff_t>(-1);
  }
  // Offsets past 2^62 cannot be a file position; refusing them keeps the sum from wrapping.
  constexpr uint64_t kLimit = 1ull << 62;
  if (offset > kLimit || base > kLimit) return static_cast<toff_t>(-1);
  self->offset_ = base + offset;
  return self->offset_;
}

int TiffSource::Close(thandle_t) { return 0; }

toff_t TiffSource::Size(thandle_t handle) {
  return static_cast<TiffSource*>(handle)->file_->size();
}

int TiffSource::Map(thandle_t, void**, toff_t*) { return 0; }

void TiffSource::Unmap(thandle_t, void*, toff_t) {}
