// Test support for the codec core: a decoder over pages held in memory (with optional
// failure and DCT-like shrinking), and a way to run the pipeline into an image in memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/pipeline/pipeline.h"
#include "settings/save_info.h"

struct FakePage {
  int width = 0;
  int height = 0;
  PixelLayout layout = PixelLayout::kRGB8;
  int orientation = 1;
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> icc;
  std::vector<uint8_t> exif;
  int failAfterRows = -1;       // ReadRows fails once this many rows were delivered
  int throwAfterRows = -1;      // ReadRows throws std::bad_alloc once this many were delivered
  bool halveOnRequest = false;  // deliver half size when the request allows it
};

class FakeDecoder : public Decoder {
 public:
  explicit FakeDecoder(std::vector<FakePage> pages) : pages_(std::move(pages)) {}
  explicit FakeDecoder(FakePage page) { pages_.push_back(std::move(page)); }

  int PageCount() override { return static_cast<int>(pages_.size()); }
  bool Probe(int page, PageGeometry* g) override {
    if (page < 0 || page >= PageCount()) return false;
    *g = {pages_[page].width, pages_[page].height, pages_[page].orientation};
    return true;
  }
  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    if (page < 0 || page >= PageCount()) return false;
    lastRequest = request;
    current_ = &pages_[page];
    halved_ = current_->halveOnRequest && request.minWidth > 0 &&
              request.minWidth * 2 <= current_->width && request.minHeight * 2 <= current_->height;
    info->width = halved_ ? current_->width / 2 : current_->width;
    info->height = halved_ ? current_->height / 2 : current_->height;
    info->layout = current_->layout;
    info->orientation = current_->orientation;
    info->icc = current_->icc;
    info->exif = current_->exif;
    row_ = 0;
    return true;
  }
  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    size_t ch = static_cast<size_t>(ChannelCount(current_->layout));
    for (int r = 0; r < count; ++r, ++row_) {
      if (current_->failAfterRows >= 0 && row_ >= current_->failAfterRows) return false;
      if (current_->throwAfterRows >= 0 && row_ >= current_->throwAfterRows) {
        throw std::bad_alloc();
      }
      uint8_t* out = rows + static_cast<size_t>(r) * stride;
      int step = halved_ ? 2 : 1;
      int width = current_->width / step;
      for (int x = 0; x < width; ++x) {
        size_t at = (static_cast<size_t>(row_ * step) * current_->width + x * step) * ch;
        std::memcpy(out + x * ch, &current_->pixels[at], ch);
      }
    }
    return true;
  }

  DecodeRequest lastRequest;

 private:
  std::vector<FakePage> pages_;
  FakePage* current_ = nullptr;
  bool halved_ = false;
  int row_ = 0;
};

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;
  uint8_t At(int x, int y, int c = 0) const {
    return pixels[(static_cast<size_t>(y) * width + x) * channels + c];
  }
};

// Returns a page of layout whose samples come from value(x, y, channel).
template <typename F>
FakePage MakePage(int width, int height, PixelLayout layout, F value) {
  FakePage page;
  page.width = width;
  page.height = height;
  page.layout = layout;
  int ch = ChannelCount(layout);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < ch; ++c) page.pixels.push_back(static_cast<uint8_t>(value(x, y, c)));
    }
  }
  return page;
}

inline SaveHeader Header(int width = -1, int height = -1, bool proportional = false,
                         float rotation = 0.0f) {
  SaveHeader h;
  InitSaveHeader(h);
  h.nWidth = width;
  h.nHeight = height;
  h.bProportional = proportional ? 1 : 0;
  h.fRotation = rotation;
  return h;
}

// Returns true and the transformed page in *out when the pipeline ran to the end.
inline bool RunPipeline(Decoder& decoder, const SaveHeader& header, int channels, Image* out) {
  PageInfo info;
  std::unique_ptr<RowSource> rows = BuildPipeline(decoder, header, channels, &info);
  if (!rows) return false;
  out->width = rows->width();
  out->height = rows->height();
  out->channels = rows->channels();
  return ReadAllRows(*rows, &out->pixels);
}

// Returns the image as a page the fake decoder can serve again.
inline FakePage PageOf(const Image& image) {
  FakePage page;
  page.width = image.width;
  page.height = image.height;
  page.layout = image.channels == 1 ? PixelLayout::kG8 : PixelLayout::kRGB8;
  page.pixels = image.pixels;
  return page;
}
