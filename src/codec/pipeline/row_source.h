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

// Returns a source over the started page of decoder (rows as info describes them), reading
// a few rows at a time. The decoder must outlive the source.
std::unique_ptr<RowSource> MakeDecoderSource(Decoder& decoder, const PageInfo& info);

// Returns a source that yields rows held in memory (height * width * channels samples).
std::unique_ptr<RowSource> MakeMemorySource(int width, int height, int channels,
                                            std::vector<uint8_t> pixels);

// Returns true and every row of source in *pixels; false when a row could not be read.
bool ReadAllRows(RowSource& source, std::vector<uint8_t>* pixels);
