#include "codec/pipeline/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// A band is a few hundred kilobytes: enough rows that handing it over costs little, small
// enough that the writer starts soon and the queue holds many.
constexpr size_t kBandBytes = 256u << 10;
// How often the writer's thread, reading for itself, looks for an idle core again.
constexpr int kBorrowCheckRows = 16;

}  // namespace

ReadAheadSource::ReadAheadSource(std::unique_ptr<RowSource> upstream, CoreBudget* cores,
                                 std::function<void()> decoded)
    : RowSource(upstream->width(), upstream->height(), upstream->channels()),
      upstream_(std::move(upstream)),
      cores_(cores),
      decoded_(std::move(decoded)) {
  bandRows_ = static_cast<int>(std::clamp<size_t>(kBandBytes / std::max<size_t>(1, rowBytes()), 1,
                                                  static_cast<size_t>(height())));
  fillFirst_ = decoded_ && rowBytes() * static_cast<size_t>(height()) <= kReadAheadBytes;
}

ReadAheadSource::~ReadAheadSource() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (helper_.joinable()) helper_.join();
}

void ReadAheadSource::Join() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (helper_.joinable()) helper_.join();
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void ReadAheadSource::MarkFailed() {
  std::lock_guard<std::mutex> lock(mutex_);
  failed_ = true;
}

void ReadAheadSource::AfterRead() {
  if (read_ == height() && decoded_) decoded_();
}

bool ReadAheadSource::ReadBand(Band* band) {
  int count = std::min(bandRows_, height() - read_);
  band->rows.resize(rowBytes() * static_cast<size_t>(bandRows_));
  for (int r = 0; r < count; ++r) {
    const uint8_t* row = upstream_->NextRow();
    if (row == nullptr) return false;
    std::memcpy(band->rows.data() + rowBytes() * static_cast<size_t>(r), row, rowBytes());
  }
  band->count = count;
  read_ += count;
  AfterRead();
  return true;
}

const uint8_t* ReadAheadSource::ReadOneRow() {
  const uint8_t* row = upstream_->NextRow();
  if (row == nullptr) return nullptr;
  ++read_;
  AfterRead();
  return row;
}

bool ReadAheadSource::StartHelper() {
  if (helper_.joinable()) helper_.join();  // one that gave its core back earlier
  if (!cores_->TryBorrow()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    helping_ = true;
  }
  try {
    helper_ = std::thread([this] { Help(); });
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    helping_ = false;
    cores_->Release();
    return false;
  }
  return true;
}

void ReadAheadSource::Help() {
  for (;;) {
    Band band;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stop_ || queuedBytes_ < kReadAheadBytes; });
      // A worker that took up a task wants its core back: the writer's thread reads on.
      if (stop_ || read_ >= height() || cores_->Overcommitted()) break;
      if (!spare_.empty()) {
        band = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    bool ok = false;
    std::exception_ptr error;
    try {
      ok = ReadBand(&band);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok) {
      failed_ = true;
      error_ = error;
      break;
    }
    queuedBytes_ += band.rows.size();
    ready_.push_back(std::move(band));
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  helping_ = false;
  cores_->Release();
  changed_.notify_all();
}

const uint8_t* ReadAheadSource::NextRow() {
  if (delivered_ >= height()) return nullptr;
  if (inCurrent_ < current_.count) {
    ++delivered_;
    return current_.rows.data() + rowBytes() * static_cast<size_t>(inCurrent_++);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (current_.count > 0) {
    current_.count = 0;
    spare_.push_back(std::move(current_));
    current_ = {};
  }
  for (;;) {
    if (!ready_.empty()) {
      current_ = std::move(ready_.front());
      ready_.pop_front();
      queuedBytes_ -= current_.rows.size();
      changed_.notify_all();
      inCurrent_ = 1;
      ++delivered_;
      return current_.rows.data();
    }
    if (failed_) return nullptr;
    if (helping_) {
      changed_.wait(lock);
      continue;
    }
    // Nobody else reads upstream now: this thread does.
    lock.unlock();
    if (cores_ != nullptr && read_ < height() && read_ % kBorrowCheckRows == 0 &&
        cores_->AnyIdle() && StartHelper()) {
      lock.lock();
      continue;
    }
    if (fillFirst_) {
      // Pages of the same file wait for the decoder: read the whole (small) page first.
      fillFirst_ = false;
      std::deque<Band> bands;
      bool ok = true;
      try {
        while (ok && read_ < height()) ok = ReadBand(&bands.emplace_back());
      } catch (...) {
        MarkFailed();
        throw;
      }
      lock.lock();
      if (!ok) {
        failed_ = true;
        return nullptr;
      }
      for (Band& band : bands) {
        queuedBytes_ += band.rows.size();
        ready_.push_back(std::move(band));
      }
      continue;
    }
    const uint8_t* row = nullptr;
    try {
      row = ReadOneRow();
    } catch (...) {
      MarkFailed();
      throw;
    }
    if (row == nullptr) {
      lock.lock();
      failed_ = true;
      return nullptr;
    }
    ++delivered_;
    return row;
  }
}
