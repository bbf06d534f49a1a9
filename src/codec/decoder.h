// The decoders' common shape: a decoder is opened on a file (which reads its header), tells
// how many pages it has and each page's size, and then yields one page's rows top to bottom
// into the caller's buffer in one of a few canonical layouts. Nothing holds more of an image
// than the format forces it to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "codec/core_budget.h"
#include "codec/io/input_file.h"

// Canonical row layouts, 8 bits per sample, samples interleaved in this order.
enum class PixelLayout : uint8_t {
  kG8,     // gray
  kGA8,    // gray, alpha (straight, not premultiplied)
  kRGB8,   // red, green, blue
  kRGBA8,  // red, green, blue, alpha (straight)
  kCMYK8,  // cyan, magenta, yellow, black; 0 = no ink (Adobe-inverted data is un-inverted)
};

// Returns the number of samples a pixel of layout has (1 to 4).
int ChannelCount(PixelLayout layout);

// What a page is before any decoding: its stored size and the turn it still needs.
struct PageGeometry {
  int width = 0;
  int height = 0;
  int orientation = 1;  // EXIF orientation 1..8 that the rows still need applied
};

// A decoder may deliver a page smaller than stored when that is cheaper (JPEG DCT scaling),
// as long as it is at least this large in both directions; 0 asks for the stored size.
struct DecodeRequest {
  int minWidth = 0;
  int minHeight = 0;
  // Idle cores of the run that the decoder may borrow for threads of its own while it reads
  // the page; null: it reads on the caller's thread alone.
  CoreBudget* cores = nullptr;
};

// What StartPage delivers.
struct PageInfo {
  int width = 0;  // of the rows ReadRows will deliver
  int height = 0;
  PixelLayout layout = PixelLayout::kRGB8;
  int orientation = 1;        // as in PageGeometry
  std::vector<uint8_t> icc;   // embedded ICC profile, empty when none
  std::vector<uint8_t> exif;  // raw EXIF block from its "Exif\0\0"-less TIFF header, if any
};

// Why a file was not opened, a page not started or rows not read: a coarse kind that callers
// can act on, and optional text for people.
enum class FailureKind : uint8_t {
  kNone,           // nothing failed
  kNotAnImage,     // no format we read recognised the file's first bytes
  kNotThisFormat,  // the format's opener found the content is not its own after all
  kTruncated,      // the data ends before the image does
  kReadError,      // the file could not be read
  kUnsupported,    // a variant of the format this program does not decode
  kTooLarge,       // over the size limits
  kCorrupt,        // the data contradicts itself or the format
  kMisuse,         // a call out of order or out of range (a page that does not exist, ...)
  kWriteError,     // the output could not be written
};

struct Failure {
  FailureKind kind = FailureKind::kNone;
  std::string text;
  int row = 0;   // the first row (from 1) that could not be read, 0 when not known
  int rows = 0;  // of this many rows of the page as it was being read
};

class Decoder {
 public:
  virtual ~Decoder() = default;

  // Returns why the last refused or failed call failed; kind kNone when nothing failed yet.
  const Failure& LastFailure() const { return failure_; }
  // Forgets the last failure, so that the next one read is the next call's.
  void ClearFailure() { failure_ = {}; }
  // Adds to the last failure where the reading of rows stopped: row (from 1) of rows.
  void NoteFailedRow(int row, int rows) {
    failure_.row = row;
    failure_.rows = rows;
  }

  // Returns the number of pages, at least 1.
  virtual int PageCount() = 0;

  // Returns true and the stored geometry of page; false when the page cannot be read.
  virtual bool Probe(int page, PageGeometry* geometry) = 0;

  // Prepares page for reading from its first row. Returns true and fills *info; false when
  // the page cannot be decoded. May be called again for another (or the same) page.
  virtual bool StartPage(int page, const DecodeRequest& request, PageInfo* info) = 0;

  // Reads the next count rows of the started page into rows, row r at rows + r * stride.
  // Returns false on a decoding error; the rest of the page is then unusable.
  virtual bool ReadRows(uint8_t* rows, size_t stride, int count) = 0;

  // Returns true when the started page is read by threads of the decoder's own, which borrow
  // the request's idle cores (the caller then leaves those cores to it); false otherwise.
  virtual bool BorrowsCores() const { return false; }

 protected:
  // Returns false, keeping kind and text as the reason of the call that is failing.
  bool Fail(FailureKind kind, std::string text = {}) {
    failure_ = {kind, std::move(text)};
    return false;
  }

 private:
  Failure failure_;
};

// Sources larger than this many pixels are refused at open.
constexpr uint64_t kMaxSourcePixels = 1000ull * 1000ull * 1000ull;
