#include "codec/formats/png/png_prefetch.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "codec/io/bytes.h"

namespace {

// Blocks this large cost one system call per megabyte; with kMaxBlocks of them waiting, the
// reader holds a few megabytes at most, whatever the file's size.
constexpr size_t kBlockBytes = 1u << 20;
constexpr size_t kMaxBlocks = 4;
// Chunks longer than this are refused by the decoder as soon as it reads their header.
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFFu;

}  // namespace

void PngPrefetch::CrcWalker::Walk(const uint8_t* data, size_t size) {
  while (size > 0 && stage_ != Stage::kDone) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(left_, size));
    switch (stage_) {
      case Stage::kHeader:
      case Stage::kCrc:
        std::memcpy(field_ + have_, data, take);
        have_ += take;
        break;
      case Stage::kData:
        // Ancillary chunks are the decoder's to check (it drops the damaged ones).
        if (critical_) crc_ = crc32(crc_, data, static_cast<uInt>(take));
        break;
      default:
        break;
    }
    data += take;
    size -= take;
    offset_ += take;
    left_ -= take;
    if (left_ == 0) EndPiece();
  }
}

void PngPrefetch::CrcWalker::EndPiece() {
  switch (stage_) {
    case Stage::kSignature:
      stage_ = Stage::kHeader;
      left_ = 8;
      break;
    case Stage::kHeader: {
      const uint32_t length = LoadBe32(field_);
      if (length > kMaxChunkLength) {
        stage_ = Stage::kDone;
        break;
      }
      critical_ = (field_[4] & 0x20) == 0;
      last_ = std::memcmp(field_ + 4, "IEND", 4) == 0;
      crc_ = crc32(crc32(0, nullptr, 0), field_ + 4, 4);
      stage_ = length > 0 ? Stage::kData : Stage::kCrc;
      left_ = length > 0 ? length : 4;
      if (length == 0) crcAt_ = offset_;
      break;
    }
    case Stage::kData:
      stage_ = Stage::kCrc;
      left_ = 4;
      crcAt_ = offset_;
      break;
    case Stage::kCrc:
      if (critical_ && LoadBe32(field_) != static_cast<uint32_t>(crc_)) bad_.push_back(crcAt_);
      // Nothing after IEND is read by the decoder.
      stage_ = last_ ? Stage::kDone : Stage::kHeader;
      left_ = 8;
      break;
    case Stage::kDone:
      break;
  }
  have_ = 0;
}

uint64_t PngPrefetch::CrcWalker::checkedThrough() const {
  if (stage_ == Stage::kDone) return std::numeric_limits<uint64_t>::max();
  return stage_ == Stage::kCrc ? crcAt_ : offset_;
}

std::vector<uint64_t> PngPrefetch::CrcWalker::TakeBadCrcs() { return std::exchange(bad_, {}); }

PngPrefetch::PngPrefetch(const InputFile& file) : file_(file), size_(file.size()) {}

std::unique_ptr<PngPrefetch> PngPrefetch::Start(const InputFile& file) {
  std::unique_ptr<PngPrefetch> prefetch(new PngPrefetch(file));
  try {
    prefetch->helper_ = std::thread([p = prefetch.get()] { p->Run(); });
  } catch (...) {
    return nullptr;
  }
  return prefetch;
}

PngPrefetch::~PngPrefetch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (helper_.joinable()) helper_.join();
}

void PngPrefetch::Run() {
  try {
    ReadAhead();
  } catch (...) {
    // Memory for a block could not be had: the bytes not read yet read as an error.
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void PngPrefetch::ReadAhead() {
  CrcWalker walker;
  for (uint64_t offset = 0; offset < size_;) {
    Block block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // The queue grows past its bound only for a read that needs more than it holds.
      changed_.wait(lock, [&] {
        return stop_ || ready_.size() < kMaxBlocks || wanted_ > offset || wanted_ > checkedThrough_;
      });
      if (stop_) return;
      if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kBlockBytes, size_ - offset));
    block.start = offset;
    block.bytes.resize(length);
    if (!file_.ReadAt(offset, block.bytes.data(), length)) return;
    walker.Walk(block.bytes.data(), length);
    std::vector<uint64_t> bad = walker.TakeBadCrcs();
    std::lock_guard<std::mutex> lock(mutex_);
    badCrcs_.insert(badCrcs_.end(), bad.begin(), bad.end());
    ready_.push_back(std::move(block));
    offset += length;
    readEnd_ = offset;
    checkedThrough_ = walker.checkedThrough();
    changed_.notify_all();
  }
}

PngPrefetch::Result PngPrefetch::Read(uint8_t* dst, size_t length) noexcept {
  if (position_ > size_ || length > size_ - position_) return Result::kEnd;
  const uint64_t end = position_ + length;
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] { return finished_ || (readEnd_ >= end && checkedThrough_ >= end); };
    // Waking the helper costs a system call: only a caller that has to wait does.
    if (!ready()) {
      wanted_ = end;
      changed_.notify_all();
      changed_.wait(lock, ready);
    }
    // A helper that stopped early (a read failed, memory ran out) leaves the rest unread, or
    // a CRC read but not checked.
    if (readEnd_ < end || (checkedThrough_ < end && readEnd_ < size_)) return Result::kError;
    while (nextBad_ < badCrcs_.size() && badCrcs_[nextBad_] + 4 <= position_) ++nextBad_;
    if (nextBad_ < badCrcs_.size() && badCrcs_[nextBad_] < end) {
      crcFailed_ = true;
      return Result::kBadCrc;
    }
    size_t done = 0;
    while (done < length) {
      Block& front = ready_.front();
      const size_t at = static_cast<size_t>(position_ - front.start);
      const size_t take = std::min(length - done, front.bytes.size() - at);
      std::memcpy(dst + done, front.bytes.data() + at, take);
      done += take;
      position_ += take;
      if (position_ == front.start + front.bytes.size()) {
        spare_.push_back(std::move(front));
        ready_.pop_front();
        changed_.notify_all();
      }
    }
  } catch (...) {
    return Result::kError;
  }
  return Result::kOk;
}
