#include "codec/formats/gif/gif_decoder_lzw.h"

bool GifSubBlocks::Load() {
  if (ended_ || failed_) return false;
  uint8_t length = 0;
  if (!file_.ReadAt(offset_, &length, 1)) {
    failed_ = true;
    return false;
  }
  ++offset_;
  if (length == 0) {
    ended_ = true;
    return false;
  }
  if (!file_.ReadAt(offset_, block_.data(), length)) {
    failed_ = true;
    return false;
  }
  offset_ += length;
  length_ = length;
  pos_ = 0;
  return true;
}

bool GifSubBlocks::SkipRest(uint64_t* bytes) {
  pos_ = length_;
  while (!ended_) {
    uint8_t length = 0;
    if (failed_ || !file_.ReadAt(offset_, &length, 1)) {
      failed_ = true;
      return false;
    }
    ++offset_;
    if (length == 0) {
      ended_ = true;
    } else if (file_.size() - offset_ < length) {
      failed_ = true;  // a sub-block cut off by the end of the file
      return false;
    } else {
      offset_ += length;
      if (bytes != nullptr) *bytes += length;
    }
  }
  return true;
}

bool GifLzw::Start(int minCodeSize) {
  if (minCodeSize < kMinCodeSize || minCodeSize > kMaxCodeSize) return false;
  minCodeSize_ = minCodeSize;
  clearCode_ = 1 << minCodeSize;
  for (int i = 0; i < clearCode_; ++i) first_[i] = static_cast<uint16_t>(i);
  bits_ = 0;
  bitCount_ = 0;
  stackSize_ = 0;
  ended_ = false;
  Clear();
  return true;
}

void GifLzw::Clear() {
  codeSize_ = minCodeSize_ + 1;
  next_ = clearCode_ + 2;
  prev_ = -1;
}

bool GifLzw::NextCode(GifSubBlocks* in, int* code) {
  while (bitCount_ < codeSize_) {
    uint8_t byte = 0;
    if (!in->Next(&byte)) return false;
    bits_ |= static_cast<uint32_t>(byte) << bitCount_;
    bitCount_ += 8;
  }
  *code = static_cast<int>(bits_ & ((1u << codeSize_) - 1));
  bits_ >>= codeSize_;
  bitCount_ -= codeSize_;
  return true;
}

bool GifLzw::Expand(int code) {
  // Every entry's prefix is an earlier code, so the walk ends; the stack check is a backstop.
  while (code >= clearCode_) {
    if (code >= next_ || stackSize_ >= kTableSize - 1) return false;
    stack_[stackSize_++] = suffix_[code];
    code = prefix_[code];
  }
  stack_[stackSize_++] = static_cast<uint16_t>(code);
  return true;
}

bool GifLzw::Read(GifSubBlocks* in, uint16_t* out, int count) {
  int done = 0;
  while (done < count) {
    while (stackSize_ > 0 && done < count) out[done++] = stack_[--stackSize_];
    if (done == count) break;
    int code = 0;
    if (ended_ || !NextCode(in, &code)) return false;
    if (code == clearCode_) {
      Clear();
      continue;
    }
    if (code == clearCode_ + 1) {
      ended_ = true;
      return false;
    }
    const bool inTable = code < clearCode_ || (code > clearCode_ + 1 && code < next_);
    int first = 0;
    if (inTable) {
      if (!Expand(code)) return false;
      first = first_[code];
    } else if (code == next_ && prev_ >= 0) {
      // The string being defined by this very code: the previous one plus its own first index.
      first = first_[prev_];
      stack_[stackSize_++] = static_cast<uint16_t>(first);
      if (!Expand(prev_)) return false;
    } else {
      return false;  // a code past the table
    }
    if (prev_ >= 0 && next_ < kTableSize) {
      prefix_[next_] = static_cast<uint16_t>(prev_);
      suffix_[next_] = static_cast<uint16_t>(first);
      first_[next_] = first_[prev_];
      ++next_;
      if (next_ == (1 << codeSize_) && codeSize_ < 12) ++codeSize_;
    }
    prev_ = code;
  }
  return true;
}
