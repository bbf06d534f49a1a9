#include "codec/formats/gif/gif_decoder_walk.h"

#include <array>
#include <cstring>

#include "codec/io/bytes.h"

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2c;
constexpr uint8_t kTrailer = 0x3b;
constexpr uint8_t kGraphicsControlLabel = 0xf9;

}  // namespace

bool GifRecordWalk::ReadBytes(uint8_t* buffer, size_t length) {
  if (file_.size() < offset_ || file_.size() - offset_ < length) return false;
  if (!file_.ReadAt(offset_, buffer, length)) return false;
  offset_ += length;
  return true;
}

// A palette's size field n stands for 2^(n+1) colours.
bool GifRecordWalk::ReadPalette(int sizeField, std::vector<uint8_t>* palette) {
  palette->resize(static_cast<size_t>(3) << (sizeField + 1));
  return ReadBytes(palette->data(), palette->size());
}

bool GifRecordWalk::ReadScreen() {
  offset_ = 0;
  reachedTrailer_ = false;
  global_.clear();
  std::array<uint8_t, 13> head{};
  if (!ReadBytes(head.data(), head.size())) return false;
  screenWidth_ = LoadLe16(&head[6]);
  screenHeight_ = LoadLe16(&head[8]);
  const uint8_t packed = head[10];
  return (packed & 0x80) == 0 || ReadPalette(packed & 7, &global_);
}

// Skips an extension's sub-blocks, keeping what a graphics control extension says.
bool GifRecordWalk::ReadExtension(GifFrameRecord* frame) {
  uint8_t label = 0;
  if (!ReadBytes(&label, 1)) return false;
  std::array<uint8_t, 255> block{};
  for (bool first = true;; first = false) {
    uint8_t length = 0;
    if (!ReadBytes(&length, 1)) return false;
    if (length == 0) return true;
    if (!ReadBytes(block.data(), length)) return false;
    if (first && label == kGraphicsControlLabel && length >= 4) {
      frame->disposal = (block[0] >> 2) & 7;
      frame->transparent = (block[0] & 1) != 0 ? block[3] : -1;
    }
  }
}

bool GifRecordWalk::ReadImageDescriptor(GifFrameRecord* frame) {
  std::array<uint8_t, 9> desc{};
  if (!ReadBytes(desc.data(), desc.size())) return false;
  frame->left = LoadLe16(&desc[0]);
  frame->top = LoadLe16(&desc[2]);
  frame->width = LoadLe16(&desc[4]);
  frame->height = LoadLe16(&desc[6]);
  const uint8_t packed = desc[8];
  frame->interlace = (packed & 0x40) != 0;
  if ((packed & 0x80) != 0) {
    if (!ReadPalette(packed & 7, &frame->palette)) return false;
  } else {
    frame->palette = global_;
  }
  uint8_t codeSize = 0;
  if (!ReadBytes(&codeSize, 1)) return false;
  frame->minCodeSize = codeSize;
  frame->dataOffset = offset_;
  return true;
}

bool GifRecordWalk::NextFrame(GifFrameRecord* frame) {
  *frame = GifFrameRecord{};
  for (;;) {
    uint8_t introducer = 0;
    if (!ReadBytes(&introducer, 1)) return false;
    if (introducer == kExtensionIntroducer) {
      if (!ReadExtension(frame)) return false;
    } else if (introducer == kImageSeparator) {
      return ReadImageDescriptor(frame);
    } else {
      reachedTrailer_ = introducer == kTrailer;
      return false;
    }
  }
}
