// The camera raw decoder, over LibRaw: the sensor data is demosaiced with the camera's white
// balance into 8-bit sRGB, turned upright by LibRaw, and delivered as one whole picture (LibRaw
// has no row-by-row output), so the memory it needs is checked against a budget first. When
// the sensor data cannot be decoded, the camera's embedded preview stands in only if it is at
// least as large as the picture; a smaller one would pass off a thumbnail as the photo.
#include <libraw/libraw.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/raw/raw_tiff_probe.h"

namespace {

// What a raw decode may use at most: the file (LibRaw reads from memory), the sensor data, the
// demosaicing buffer and the 8-bit result, all alive at once. Larger sources are refused.
constexpr uint64_t kRawMemoryBudget = 600ull << 20;

// LibRaw's parsers trust counts read from the file: a directory that claims four billion
// entries keeps a loop reading past the end of the data for minutes. Reads that come up short
// are counted, and past a number no sound file comes near, the parse is given up through
// LibRaw's own end-of-file exception, which every LibRaw call catches and turns into its
// return code.
class BoundedStream final : public LibRaw_buffer_datastream {
 public:
  BoundedStream(void* data, size_t size) : LibRaw_buffer_datastream(data, size) {}
  int read(void* ptr, size_t size, size_t count) override {
    const int got = LibRaw_buffer_datastream::read(ptr, size, count);
    if (got < 0 || static_cast<size_t>(got) < count) {
      if (++shortReads_ > kMaxShortReads) throw LIBRAW_EXCEPTION_IO_EOF;
    }
    return got;
  }

 private:
  // A truncated file reads short once a row at most; no camera has a million rows.
  static constexpr uint64_t kMaxShortReads = 1u << 20;
  uint64_t shortReads_ = 0;
};

struct LibRawDelete {
  void operator()(LibRaw* raw) const { delete raw; }
};

// A LibRaw handle and the stream it reads; the handle goes first, since it refers to the
// stream until it is deleted.
struct LibRawSession {
  std::unique_ptr<BoundedStream> stream;
  std::unique_ptr<LibRaw, LibRawDelete> raw;
  LibRaw* operator->() const { return raw.get(); }
  LibRaw& operator*() const { return *raw; }
  explicit operator bool() const { return raw != nullptr; }
  // Returns LibRaw's code for opening data, which the caller keeps alive and unchanged.
  int Open(std::vector<uint8_t>& data) {
    stream = std::make_unique<BoundedStream>(data.data(), data.size());
    return raw->open_datastream(stream.get());
  }
};

struct ProcessedDelete {
  void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};
using ProcessedPtr = std::unique_ptr<libraw_processed_image_t, ProcessedDelete>;

// LibRaw reads past damaged or missing sensor data (zeros at the end of the file, noise where
// a stream is broken) and only tells through this callback, which would otherwise print to
// standard error: it marks the decode as failed instead.
void NoteDataError(void* dataError, const char* /*file*/, const int /*offset*/) {
  *static_cast<bool*>(dataError) = true;
}

// Returns a LibRaw handle set up for our output, nullptr when out of memory. LibRaw reports
// every failure as a return code (or through *dataError) and never lets an exception out of
// its calls.
LibRawSession NewLibRaw(bool halfSize, bool* dataError) {
  LibRawSession raw;
  raw.raw.reset(new (std::nothrow) LibRaw(LIBRAW_OPTIONS_NONE));
  if (!raw) return raw;
  raw->set_dataerror_handler(NoteDataError, dataError);
  libraw_output_params_t& params = raw->imgdata.params;
  params.use_camera_wb = 1;
  params.output_color = 1;  // sRGB
  params.output_bps = 8;
  params.half_size = halfSize ? 1 : 0;
  params.max_raw_memory_mb = static_cast<unsigned>(kRawMemoryBudget >> 20);
  return raw;
}

// Returns the failure kind for a LibRaw return code.
FailureKind KindOf(int code) {
  switch (code) {
    case LIBRAW_FILE_UNSUPPORTED:
      return FailureKind::kNotThisFormat;
    case LIBRAW_TOO_BIG:
    case LIBRAW_UNSUFFICIENT_MEMORY:
      return FailureKind::kTooLarge;
    case LIBRAW_IO_ERROR:
      return FailureKind::kTruncated;
    case LIBRAW_NOT_IMPLEMENTED:
      return FailureKind::kUnsupported;
    default:
      return FailureKind::kCorrupt;
  }
}

// Returns the EXIF orientation that turns a picture stored as LibRaw's flip describes it
// upright. LibRaw's flip is a set of bits: 4 swaps the axes, then 2 mirrors the rows and 1 the
// columns.
int OrientationOfFlip(int flip) {
  static constexpr int kOrientation[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? kOrientation[flip] : 1;
}

// Returns true when a picture stored width x height and turned by orientation is at least
// wantWidth x wantHeight upright.
bool CoversUpright(int width, int height, int orientation, int wantWidth, int wantHeight) {
  if (orientation >= 5) std::swap(width, height);
  return width >= wantWidth && height >= wantHeight;
}

class RawDecoder final : public Decoder {
 public:
  explicit RawDecoder(std::vector<uint8_t> data) : data_(std::move(data)) {}

  // Returns true when LibRaw takes the data for a camera raw file whose size it knows and
  // whose decode fits the budget; false with the reason otherwise.
  bool Open() {
    bool dataError = false;
    LibRawSession raw = NewLibRaw(false, &dataError);
    if (!raw) return Fail(FailureKind::kTooLarge, "out of memory");
    if (!OpenBuffer(raw)) return false;
    // Sizes as the result will have them: upright and with non-square pixels stretched.
    if (raw->adjust_sizes_info_only() != LIBRAW_SUCCESS) return Fail(FailureKind::kCorrupt);
    width_ = raw->imgdata.sizes.iwidth;
    height_ = raw->imgdata.sizes.iheight;
    if (width_ <= 0 || height_ <= 0) return Fail(FailureKind::kCorrupt, "no pixels");
    if (static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_) > kMaxSourcePixels) {
      return Fail(FailureKind::kTooLarge);
    }
    return true;
  }

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return Fail(FailureKind::kMisuse);
    geometry->width = width_;
    geometry->height = height_;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    started_ = false;
    preview_.reset();
    if (page != 0) return Fail(FailureKind::kMisuse);
    // Half size takes one pixel of each 2x2 sensor block instead of demosaicing: a quarter of
    // the work and memory for a picture that is going to be shrunk at least that much anyway.
    const bool half = request.minWidth > 0 && request.minHeight > 0 &&
                      2 * static_cast<int64_t>(request.minWidth) <= width_ &&
                      2 * static_cast<int64_t>(request.minHeight) <= height_;
    bool decoded = Decode(half);
    if (decoded && half &&
        (image_->width < request.minWidth || image_->height < request.minHeight)) {
      decoded = Decode(false);
    }
    int orientation = 1;
    if (!decoded) {
      // The budget is the user's limit, not damage: no stand-in for a picture too large.
      const Failure rawFailure = LastFailure();
      if (rawFailure.kind == FailureKind::kTooLarge) return false;
      if (!StartPreview(request, info, &orientation)) return Fail(rawFailure.kind, rawFailure.text);
      // The page is read, but the reason the raw data was not stays for the caller to tell.
      Fail(rawFailure.kind,
           (rawFailure.text.empty() ? std::string("raw data not decoded") : rawFailure.text) +
               "; the camera's embedded preview was converted instead");
      if (preview_) {
        info->orientation = orientation;
        started_ = true;
        return true;
      }
    }
    info->width = image_->width;
    info->height = image_->height;
    info->layout = PixelLayout::kRGB8;
    info->orientation = orientation;
    info->icc.clear();
    info->exif.clear();
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (started_ && preview_) {
      if (preview_->ReadRows(rows, stride, count)) return true;
      const Failure& why = preview_->LastFailure();
      return Fail(why.kind == FailureKind::kNone ? FailureKind::kCorrupt : why.kind, why.text);
    }
    if (!started_ || count < 0 || count > image_->height - nextRow_) {
      return Fail(FailureKind::kMisuse);
    }
    const size_t rowBytes = static_cast<size_t>(image_->width) * 3;
    for (int i = 0; i < count; ++i, ++nextRow_) {
      std::memcpy(rows + static_cast<size_t>(i) * stride,
                  image_->data + rowBytes * static_cast<size_t>(nextRow_), rowBytes);
    }
    return true;
  }

 private:
  bool OpenBuffer(LibRawSession& raw) {
    const int code = raw.Open(data_);
    if (code != LIBRAW_SUCCESS) {
      return Fail(KindOf(code), code == LIBRAW_FILE_UNSUPPORTED ? "" : LibRaw::strerror(code));
    }
    // LibRaw opens some plain TIFFs it has no raw data for; the TIFF decoder reads those.
    if (!raw->imgdata.idata.is_foveon && raw->imgdata.idata.raw_count == 0) {
      return Fail(FailureKind::kNotThisFormat);
    }
    return true;
  }

  // Returns the memory a decode at this scale needs, by LibRaw's buffers: 16-bit sensor
  // data, four 16-bit samples a pixel to demosaic in, and the 8-bit RGB result.
  uint64_t DecodeMemory(const LibRaw& raw, bool half) const {
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    const uint64_t sensor = uint64_t{sizes.raw_width} * sizes.raw_height * 2;
    uint64_t pixels = uint64_t{sizes.width} * sizes.height;
    if (half) pixels /= 4;
    return data_.size() + sensor + pixels * 8 + pixels * 3;
  }

  // Decodes the picture into image_; returns false with the reason when it cannot.
  bool Decode(bool half) {
    image_.reset();
    bool dataError = false;
    LibRawSession raw = NewLibRaw(half, &dataError);
    if (!raw) return Fail(FailureKind::kTooLarge, "out of memory");
    if (!OpenBuffer(raw)) return false;
    if (DecodeMemory(*raw, half) > kRawMemoryBudget) {
      return Fail(FailureKind::kTooLarge, "needs more memory than the raw decoding budget");
    }
    int code = raw->unpack();
    if (code == LIBRAW_SUCCESS) code = raw->dcraw_process();
    if (code != LIBRAW_SUCCESS) return Fail(KindOf(code), LibRaw::strerror(code));
    // A picture with missing or broken sensor data is never passed off as the image.
    if (dataError) return Fail(FailureKind::kCorrupt, "raw data damaged or cut short");
    int error = LIBRAW_SUCCESS;
    ProcessedPtr image(raw->dcraw_make_mem_image(&error));
    if (!image || error != LIBRAW_SUCCESS) return Fail(KindOf(error), LibRaw::strerror(error));
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 8 ||
        image->width == 0 || image->height == 0) {
      return Fail(FailureKind::kUnsupported, "unexpected LibRaw output");
    }
    image_ = std::move(image);
    return true;
  }

  // Sets up the camera's embedded preview as the page: a JPEG read through preview_, or a
  // bitmap in image_. Returns true and the orientation the preview still needs when there is
  // one at least as large as the picture upright; false otherwise.
  bool StartPreview(const DecodeRequest& request, PageInfo* info, int* orientation) {
    bool dataError = false;
    LibRawSession raw = NewLibRaw(false, &dataError);
    if (!raw || raw.Open(data_) != LIBRAW_SUCCESS) return false;
    const int flipped = OrientationOfFlip(raw->imgdata.sizes.flip);
    const libraw_thumbnail_t& thumbnail = raw->imgdata.thumbnail;
    // The stored size, where known, rules out a thumbnail before it is read.
    if (thumbnail.twidth > 0 && thumbnail.theight > 0 &&
        !CoversUpright(thumbnail.twidth, thumbnail.theight, flipped, width_, height_)) {
      return false;
    }
    if (raw->unpack_thumb() != LIBRAW_SUCCESS || dataError) return false;
    int error = LIBRAW_SUCCESS;
    ProcessedPtr thumb(raw->dcraw_make_mem_thumb(&error));
    if (!thumb || error != LIBRAW_SUCCESS || thumb->data_size == 0) return false;
    if (thumb->type == LIBRAW_IMAGE_BITMAP) {
      if (thumb->colors != 3 || thumb->bits != 8 ||
          uint64_t{thumb->data_size} < uint64_t{thumb->width} * thumb->height * 3 ||
          !CoversUpright(thumb->width, thumb->height, flipped, width_, height_)) {
        return false;
      }
      image_ = std::move(thumb);
      *orientation = flipped;
      return true;
    }
    if (thumb->type != LIBRAW_IMAGE_JPEG) return false;
    std::vector<uint8_t> jpeg(thumb->data, thumb->data + thumb->data_size);
    thumb.reset();
    std::unique_ptr<Decoder> preview =
        OpenJpegDecoder(InputFile::FromBytes(std::move(jpeg), "embedded preview"));
    PageGeometry geometry;
    if (!preview || !preview->Probe(0, &geometry)) return false;
    // A preview that carries its own turn is upright by it; else the raw file's turn holds.
    *orientation = geometry.orientation != 1 ? geometry.orientation : flipped;
    if (!CoversUpright(geometry.width, geometry.height, *orientation, width_, height_) ||
        !preview->StartPage(0, request, info)) {
      return false;
    }
    preview_ = std::move(preview);
    return true;
  }

  std::vector<uint8_t> data_;
  int width_ = 0;
  int height_ = 0;
  ProcessedPtr image_;
  std::unique_ptr<Decoder> preview_;  // the embedded JPEG preview standing in, if any
  int nextRow_ = 0;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Decoder> OpenRawDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  uint8_t head[4] = {};
  if (file->ReadUpTo(0, head, sizeof head) == sizeof head &&
      (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0) &&
      !LooksLikeCameraTiff(*file)) {
    return Refuse(failure, FailureKind::kNotThisFormat);
  }
  if (file->size() > kRawMemoryBudget / 2) {
    return Refuse(failure, FailureKind::kTooLarge, "raw file larger than the decoding budget");
  }
  std::vector<uint8_t> data(static_cast<size_t>(file->size()));
  if (!file->ReadAt(0, data.data(), data.size())) return Refuse(failure, FailureKind::kReadError);
  auto decoder = std::make_unique<RawDecoder>(std::move(data));
  if (!decoder->Open()) return Refuse(failure, *decoder);
  return decoder;
}
