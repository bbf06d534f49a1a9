#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <vector>

#include "codec/decoder.h"
#include "codec/formats/formats.h"
#include "codec/io/bytes.h"
#include "codec/io/exif.h"

namespace {

struct DemuxDelete {
  void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};
struct AnimDelete {
  void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};
struct IteratorRelease {
  void operator()(WebPIterator* iterator) const { WebPDemuxReleaseIterator(iterator); }
};
struct ChunkRelease {
  void operator()(WebPChunkIterator* iterator) const { WebPDemuxReleaseChunkIterator(iterator); }
};
using DemuxPtr = std::unique_ptr<WebPDemuxer, DemuxDelete>;
using AnimPtr = std::unique_ptr<WebPAnimDecoder, AnimDelete>;

// Returns the payload of the first chunk named fourcc, empty when there is none.
std::vector<uint8_t> ChunkPayload(const WebPDemuxer* demux, const char* fourcc) {
  WebPChunkIterator chunk;
  if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) return {};
  std::unique_ptr<WebPChunkIterator, ChunkRelease> release(&chunk);
  return std::vector<uint8_t>(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
}

class WebpDecoder final : public Decoder {
 public:
  WebpDecoder(std::vector<uint8_t> data, DemuxPtr demux)
      : data_(std::move(data)), demux_(std::move(demux)) {}

  // Reads the container's header; returns false when it is unusable.
  bool Init() {
    width_ = static_cast<int>(WebPDemuxGetI(demux_.get(), WEBP_FF_CANVAS_WIDTH));
    height_ = static_cast<int>(WebPDemuxGetI(demux_.get(), WEBP_FF_CANVAS_HEIGHT));
    uint32_t flags = WebPDemuxGetI(demux_.get(), WEBP_FF_FORMAT_FLAGS);
    uint32_t frames = WebPDemuxGetI(demux_.get(), WEBP_FF_FRAME_COUNT);
    if (width_ <= 0 || height_ <= 0 || frames == 0 || frames > INT32_MAX) return false;
    if (static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_) > kMaxSourcePixels) {
      return false;
    }
    animated_ = (flags & ANIMATION_FLAG) != 0;
    pages_ = animated_ ? static_cast<int>(frames) : 1;
    // An opaque result needs every frame opaque and covering the whole canvas, which starts
    // out transparent.
    alpha_ = false;
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux_.get(), 1, &frame)) return false;
    std::unique_ptr<WebPIterator, IteratorRelease> release(&frame);
    do {
      if (frame.has_alpha || frame.x_offset != 0 || frame.y_offset != 0 || frame.width != width_ ||
          frame.height != height_) {
        alpha_ = true;
      }
    } while (animated_ && !alpha_ && WebPDemuxNextFrame(&frame));
    icc_ = ChunkPayload(demux_.get(), "ICCP");
    exif_ = ChunkPayload(demux_.get(), "EXIF");
    size_t prefix = ExifPrefixLength(exif_.data(), exif_.size());
    exif_.erase(exif_.begin(), exif_.begin() + static_cast<std::ptrdiff_t>(prefix));
    orientation_ = exif_.empty() ? 1 : ReadExifOrientation(exif_.data(), exif_.size());
    return true;
  }

  int PageCount() override { return pages_; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page < 0 || page >= pages_) return false;
    geometry->width = width_;
    geometry->height = height_;
    geometry->orientation = orientation_;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    started_ = false;
    if (page < 0 || page >= pages_) return false;
    pageWidth_ = width_;
    pageHeight_ = height_;
    if (!animated_) {
      // libwebp scales while it decodes: halvings (up to an eighth) that stay at least as
      // large as asked average whole blocks of pixels, and leave the rest to the resampler.
      int shift = 0;
      while (shift < 3 && request.minWidth > 0 && request.minHeight > 0 &&
             ((width_ + (2 << shift) - 1) >> (shift + 1)) >= request.minWidth &&
             ((height_ + (2 << shift) - 1) >> (shift + 1)) >= request.minHeight) {
        ++shift;
      }
      pageWidth_ = (width_ + (1 << shift) - 1) >> shift;
      pageHeight_ = (height_ + (1 << shift) - 1) >> shift;
    }
    if (!(animated_ ? DecodeFrame(page) : DecodeStill())) return false;
    info->width = pageWidth_;
    info->height = pageHeight_;
    info->layout = alpha_ ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    info->orientation = orientation_;
    info->icc = icc_;
    info->exif = exif_;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > pageHeight_ - nextRow_) return false;
    const size_t width = static_cast<size_t>(pageWidth_);
    for (int i = 0; i < count; ++i, ++nextRow_) {
      uint8_t* out = rows + static_cast<size_t>(i) * stride;
      if (!animated_) {
        size_t rowBytes = width * (alpha_ ? 4 : 3);
        std::memcpy(out, still_.data() + rowBytes * static_cast<size_t>(nextRow_), rowBytes);
        continue;
      }
      const uint8_t* in = canvas_ + width * 4 * static_cast<size_t>(nextRow_);
      if (alpha_) {
        std::memcpy(out, in, width * 4);
      } else {
        for (size_t x = 0; x < width; ++x, in += 4, out += 3) std::memcpy(out, in, 3);
      }
    }
    return true;
  }

 private:
  // Decodes the still picture at pageWidth_ x pageHeight_ into still_, unless it is there.
  bool DecodeStill() {
    if (!still_.empty() && stillWidth_ == pageWidth_ && stillHeight_ == pageHeight_) return true;
    still_.clear();
    const size_t channels = alpha_ ? 4 : 3;
    const size_t stride = static_cast<size_t>(pageWidth_) * channels;
    std::vector<uint8_t> pixels(stride * static_cast<size_t>(pageHeight_));
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) return false;
    config.output.colorspace = alpha_ ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = pixels.data();
    config.output.u.RGBA.stride = static_cast<int>(stride);
    config.output.u.RGBA.size = pixels.size();
    if (pageWidth_ != width_ || pageHeight_ != height_) {
      config.options.use_scaling = 1;
      config.options.scaled_width = pageWidth_;
      config.options.scaled_height = pageHeight_;
    }
    const bool ok = WebPDecode(data_.data(), data_.size(), &config) == VP8_STATUS_OK;
    WebPFreeDecBuffer(&config.output);  // frees nothing of ours: the memory is external
    if (!ok) return false;
    still_ = std::move(pixels);
    stillWidth_ = pageWidth_;
    stillHeight_ = pageHeight_;
    return true;
  }

  // Composites frames up to page; canvas_ then shows it until the next call.
  bool DecodeFrame(int page) {
    if (anim_ && canvas_ != nullptr && framesDone_ == page + 1) return true;
    if (!anim_) {
      WebPAnimDecoderOptions options;
      if (!WebPAnimDecoderOptionsInit(&options)) return false;
      options.color_mode = MODE_RGBA;
      options.use_threads = 0;
      WebPData webpData = {data_.data(), data_.size()};
      anim_.reset(WebPAnimDecoderNew(&webpData, &options));
      if (!anim_) return false;
      framesDone_ = 0;
    }
    if (framesDone_ > page) {
      WebPAnimDecoderReset(anim_.get());
      framesDone_ = 0;
    }
    canvas_ = nullptr;
    while (framesDone_ <= page) {
      uint8_t* canvas = nullptr;
      int timestamp = 0;
      if (!WebPAnimDecoderGetNext(anim_.get(), &canvas, &timestamp)) {
        anim_.reset();
        return false;
      }
      canvas_ = canvas;
      ++framesDone_;
    }
    return true;
  }

  std::vector<uint8_t> data_;  // the whole file: the demuxer and decoders point into it
  DemuxPtr demux_;
  AnimPtr anim_;
  int width_ = 0;
  int height_ = 0;
  int pages_ = 1;
  bool animated_ = false;
  bool alpha_ = false;
  int orientation_ = 1;
  std::vector<uint8_t> icc_;
  std::vector<uint8_t> exif_;

  bool started_ = false;
  int nextRow_ = 0;
  std::vector<uint8_t> still_;
  const uint8_t* canvas_ = nullptr;       // owned by anim_
  int pageWidth_ = 0, pageHeight_ = 0;    // of the started page, smaller when decoded scaled
  int stillWidth_ = 0, stillHeight_ = 0;  // of the picture held in still_
  int framesDone_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenWebpDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  unsigned char head[12];
  if (file->size() < sizeof head) return Refuse(failure, FailureKind::kTruncated);
  if (!file->ReadAt(0, head, sizeof head)) return Refuse(failure, FailureKind::kReadError);
  // The RIFF size must fit in the file; bytes after the RIFF chunk are not read.
  uint32_t riffSize = LoadLe32(head + 4);
  uint64_t riffEnd = uint64_t{riffSize} + 8;
  if (riffSize < 4) return Refuse(failure, FailureKind::kCorrupt, "RIFF size");
  if (riffEnd > file->size()) return Refuse(failure, FailureKind::kTruncated);
  std::vector<uint8_t> data(static_cast<size_t>(riffEnd));
  if (!file->ReadAt(0, data.data(), data.size())) return Refuse(failure, FailureKind::kReadError);
  WebPData webpData = {data.data(), data.size()};
  // WebPDemux also refuses chunks that run past the RIFF end.
  DemuxPtr demux(WebPDemux(&webpData));
  if (!demux) return Refuse(failure, FailureKind::kCorrupt, "chunk layout");
  auto decoder = std::make_unique<WebpDecoder>(std::move(data), std::move(demux));
  if (!decoder->Init()) return Refuse(failure, *decoder);
  return decoder;
}
