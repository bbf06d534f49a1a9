#include "codec/formats/tiff/tiff_band_pool.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "codec/formats/tiff/tiff_decoder_io.h"

bool ReadTiffBand(TIFF* tif, const TiffBandShape& shape, uint32_t first, uint8_t* band,
                  std::vector<uint8_t>* tile) {
  const uint32_t rows = std::min(shape.bandHeight, shape.height - first);
  if (!shape.tiled) {
    for (int s = 0; s < shape.planes; ++s) {
      uint8_t* plane = band + shape.planeBytes * static_cast<size_t>(s);
      tmsize_t want = static_cast<tmsize_t>(shape.planeRowBytes * rows);
      tmsize_t got = TIFFReadEncodedStrip(
          tif, TIFFComputeStrip(tif, first, static_cast<uint16_t>(s)), plane, want);
      if (got < 0) return false;
      std::memset(plane + got, 0, static_cast<size_t>(want - got));
    }
    return true;
  }
  tile->resize(static_cast<size_t>(shape.tileBytes));
  for (uint32_t tx = 0; tx < shape.tilesAcross; ++tx) {
    for (int s = 0; s < shape.planes; ++s) {
      uint32_t index =
          TIFFComputeTile(tif, tx * shape.tileWidth, first, 0, static_cast<uint16_t>(s));
      tmsize_t got =
          TIFFReadEncodedTile(tif, index, tile->data(), static_cast<tmsize_t>(tile->size()));
      if (got < 0) return false;
      std::memset(tile->data() + got, 0, tile->size() - static_cast<size_t>(got));
      uint8_t* plane = band + shape.planeBytes * static_cast<size_t>(s);
      for (uint32_t r = 0; r < rows; ++r) {
        std::memcpy(plane + shape.planeRowBytes * r + shape.tileRowBytes * tx,
                    tile->data() + shape.tileRowBytes * r, static_cast<size_t>(shape.tileRowBytes));
      }
    }
  }
  return true;
}

TiffBandPool::TiffBandPool(const InputFile* file, int page, std::vector<uint64_t> offsets,
                           TiffBandShape shape, std::function<bool(TIFF*)> prepare,
                           CoreBudget* cores, int maxHelpers)
    : file_(file),
      page_(page),
      offsets_(std::move(offsets)),
      shape_(shape),
      prepare_(std::move(prepare)),
      cores_(cores),
      maxHelpers_(maxHelpers),
      bands_((shape.height + shape.bandHeight - 1) / shape.bandHeight),
      bandBytes_(static_cast<size_t>(shape.planeBytes) * static_cast<size_t>(shape.planes)) {
  StartHelpers();
}

TiffBandPool::~TiffBandPool() { Stop(); }

void TiffBandPool::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void TiffBandPool::StartHelpers() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ || helpersFail_ || running_ >= maxHelpers_ || nextClaim_ + 1 >= bands_) return;
    }
    if (!cores_->TryBorrow()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
    try {
      threads_.emplace_back([this] { Help(); });
    } catch (...) {
      --running_;
      cores_->Release();
      return;
    }
  }
}

bool TiffBandPool::RoomAhead() const {
  // At most one band more than there may be helpers waits for the caller.
  return nextClaim_ < bands_ && slots_.size() <= static_cast<size_t>(maxHelpers_);
}

bool TiffBandPool::DecodeNext(std::unique_lock<std::mutex>& lock, TIFF* tif,
                              std::vector<uint8_t>* tile) {
  Slot& slot = slots_.emplace_back();
  slot.index = nextClaim_++;
  std::vector<uint8_t> bytes;
  if (!spare_.empty()) {
    bytes = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  bool ok = false;
  try {
    bytes.resize(bandBytes_);
    ok = ReadTiffBand(tif, shape_, slot.index * shape_.bandHeight, bytes.data(), tile);
  } catch (...) {
    // Out of memory: the caller reads the band again and meets the failure itself.
    ok = false;
  }
  lock.lock();
  // Slots are only removed from the front once done, so this one is still in place.
  slot.bytes = std::move(bytes);
  slot.state = ok ? SlotState::kDone : SlotState::kFailed;
  changed_.notify_all();
  return ok;
}

void TiffBandPool::Help() {
  // Nothing thrown here may leave the thread; a helper that cannot work just stops, and the
  // caller reads the bands nobody took.
  std::unique_ptr<TiffSource> source;
  bool ready = false;
  try {
    source = TiffSource::Open(file_);
    ready = source && source->SetPage(page_, &offsets_) && prepare_(source->tif());
  } catch (...) {
    ready = false;
  }
  std::vector<uint8_t> tile;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!ready) helpersFail_ = true;
  while (ready) {
    changed_.wait(lock, [this] { return stop_ || nextClaim_ >= bands_ || RoomAhead(); });
    // A worker that took up a task wants its core back.
    if (stop_ || nextClaim_ >= bands_ || cores_->Overcommitted()) break;
    if (!DecodeNext(lock, source->tif(), &tile)) break;
  }
  --running_;
  cores_->Release();
  changed_.notify_all();
  lock.unlock();
  // The handle is closed here, on the helper's thread, before the thread ends.
  source.reset();
}

bool TiffBandPool::Take(uint32_t index, std::vector<uint8_t>* band, TIFF* own,
                        std::vector<uint8_t>* tile) {
  if (cores_->AnyIdle()) StartHelpers();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!slots_.empty() && slots_.front().index < index) {
    spare_.push_back(std::move(slots_.front().bytes));
    slots_.pop_front();
  }
  if (slots_.empty() || slots_.front().index != index) {
    // Nobody took it: the caller reads it, and helpers go on after it.
    nextClaim_ = std::max(nextClaim_, index + 1);
    changed_.notify_all();
    return false;
  }
  while (slots_.front().state == SlotState::kBusy) {
    // Rather than wait, the caller's core decodes a band further on.
    if (RoomAhead()) {
      DecodeNext(lock, own, tile);
    } else {
      changed_.wait(lock);
    }
  }
  Slot& slot = slots_.front();
  bool ok = slot.state == SlotState::kDone;
  if (ok) {
    band->swap(slot.bytes);
    spare_.push_back(std::move(slot.bytes));
  }
  slots_.pop_front();
  changed_.notify_all();
  return ok;
}
