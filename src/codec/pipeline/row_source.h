// The codec's pull pipeline: each stage yields an image's rows top to bottom on request and
// keeps only what it needs. The first stage reads a decoder's page in bands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/decoder.h"

class RowSource {
 public:
  virtual ~RowSource() = default;
  RowSource(const RowSource&) = delete;
  RowSource& operator=(const RowSource&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  int channels() const { return channels_; }
  size_t rowBytes() const { return static_cast<size_t>(width_) * static_cast<size_t>(channels_); }

  // Returns the next row (rowBytes() samples, valid until the next call); nullptr on a
  // decoding error or when called more than height() times.
  virtual const uint8_t* NextRow() = 0;

 protected:
  RowSource(int width, int height, int channels)
      : width_(width), height_(height), channels_(channels) {}

 private:
  int width_;
  int height_;
  int channels_;
};

// The base of the stages that need the whole source before their first row (orientation,
// free rotation): the first request reads every row of the source into memory, and each
// request then has MakeRow build the next output row from it.
class WholeImageStage : public RowSource {
 public:
  const uint8_t* NextRow() final;

 protected:
  WholeImageStage(std::unique_ptr<RowSource>&& source, int width, int height);

  int sourceWidth() const { return source_->width(); }
  int sourceHeight() const { return source_->height(); }
  // The whole source, row after row; valid from the first MakeRow on.
  const uint8_t* sourcePixels() const { return pixels_.data(); }

  // Fills out (rowBytes() samples) with output row y.
  virtual void MakeRow(int y, uint8_t* out) = 0;

 private:
  std::unique_ptr<RowSource> source_;
  std::vector<uint8_t> pixels_;
  std::vector<uint8_t> out_;
  bool loaded_ = false;
  int next_ = 0;
};

// Returns a source over the started page of decoder (rows as info describes them), reading
// a few rows at a time. The decoder must outlive the source.
std::unique_ptr<RowSource> MakeDecoderSource(Decoder& decoder, const PageInfo& info);

// Returns a source that yields rows held in memory (height * width * channels samples).
std::unique_ptr<RowSource> MakeMemorySource(int width, int height, int channels,
                                            std::vector<uint8_t> pixels);

// Returns true and every row of source in *pixels; false when a row could not be read.
bool ReadAllRows(RowSource& source, std::vector<uint8_t>* pixels);
