// The GIF decoder (giflib). Every frame is a page, composited on the logical screen as a
// viewer shows it after that frame: the canvas is the screen size (or, when the screen
// descriptor says 0, the union of the frames), starts fully transparent, and frames reaching
// past it are clipped. A canvas far larger than its frames' data could paint is refused at open
// (kCanvasFloorPixels), since it is held whole. Disposal "background" clears the frame's rectangle
// to transparent, "previous" restores what was under it, anything else leaves it. An index past the
// palette gives opaque black; with neither a local nor a global palette, index i gives gray i.
//
// Opening scans the records once, skipping pixel data, to count the frames whose data is
// wholly present. A page is made by decoding frames in order from the start, continuing from
// the previous page when pages are asked for in increasing order.
#include <gif_lib.h>

#include <algorithm>
#include <new>

#include "codec/decoder.h"

namespace {

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

// Where giflib's reads come from: the file and our own offset into it.
struct GifSource {
  const InputFile* file = nullptr;
  uint64_t offset = 0;
};

int ReadGifBytes(GifFileType* gif, GifByteType* buffer, int length) {
  auto* source = static_cast<GifSource*>(gif->UserData);
  const uint64_t size = source->file->size();
  if (length <= 0 || source->offset >= size) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size - source->offset));
  if (!source->file->ReadAt(source->offset, buffer, n)) return 0;
  source->offset += n;
  return static_cast<int>(n);
}

// Returns a handle positioned after the screen descriptor, or nullptr.
GifHandle OpenHandle(GifSource* source) {
  source->offset = 0;
  int error = 0;
  return GifHandle(DGifOpen(source, ReadGifBytes, &error));
}

// giflib keeps a record of every image descriptor it reads; dropping it after each one keeps
// memory flat however many frames a file has.
bool ReadImageDesc(GifFileType* gif) {
  if (DGifGetImageDesc(gif) != GIF_OK) return false;
  GifFreeSavedImages(gif);
  gif->SavedImages = nullptr;
  gif->ImageCount = 0;
  return true;
}

// Consumes the sub-blocks of the current image's pixel data without decoding them; adds their
// payload bytes to *bytes when given.
bool SkipImageData(GifFileType* gif, uint64_t* bytes = nullptr) {
  int codeSize = 0;
  GifByteType* block = nullptr;
  if (DGifGetCode(gif, &codeSize, &block) != GIF_OK) return false;
  while (block != nullptr) {
    if (bytes != nullptr) *bytes += block[0];
    if (DGifGetCodeNext(gif, &block) != GIF_OK) return false;
  }
  return true;
}

// Limits on the canvas against a screen descriptor out of all proportion to the data. An LZW
// code stands for at most 4096 pixels (the table's size) and takes 12 bits once the table is
// that full, so a byte of data yields fewer than 2731 pixels; a frame paints at most its
// rectangle and at most that many pixels per byte of its data. A canvas larger than what its
// frames can paint together is refused, unless it is no larger than kCanvasFloorPixels: real
// files do put small frames on a larger transparent screen, but not on a huge one.
constexpr uint64_t kLzwPixelsPerByte = 4096;
constexpr uint64_t kCanvasFloorPixels = 4096ull * 4096ull;

// Returns the pixels a frame of desc with dataBytes of LZW data can paint on a screen of
// screenWidth x screenHeight (0 x 0: a canvas as large as the frames).
uint64_t PaintablePixels(const GifImageDesc& desc, uint64_t dataBytes, int screenWidth,
                         int screenHeight) {
  auto span = [](int start, int length, int limit) -> uint64_t {
    if (length <= 0) return 0;
    if (limit <= 0) return static_cast<uint64_t>(length);
    return static_cast<uint64_t>(
        std::max(0, std::min(start + length, limit) - std::min(start, limit)));
  };
  const uint64_t area =
      span(desc.Left, desc.Width, screenWidth) * span(desc.Top, desc.Height, screenHeight);
  return std::min(area, kLzwPixelsPerByte * dataBytes);
}

// Consumes an extension record; fills *control when it is a graphics control extension.
bool ReadExtension(GifFileType* gif, GraphicsControlBlock* control) {
  int code = 0;
  GifByteType* block = nullptr;
  if (DGifGetExtension(gif, &code, &block) != GIF_OK) return false;
  if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
    DGifExtensionToGCB(4, block + 1, control);
  }
  while (block != nullptr) {
    if (DGifGetExtensionNext(gif, &block) != GIF_OK) return false;
  }
  return true;
}

GraphicsControlBlock NoControl() {
  GraphicsControlBlock control{};
  control.DisposalMode = DISPOSAL_UNSPECIFIED;
  control.TransparentColor = NO_TRANSPARENT_COLOR;
  return control;
}

struct Rect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

class GifDecoder : public Decoder {
 public:
  explicit GifDecoder(std::unique_ptr<InputFile> file) : file_(std::move(file)) {
    source_.file = file_.get();
  }

  // Returns true when the file holds at least one complete frame on a canvas of sound size.
  bool Scan() {
    GifHandle gif = OpenHandle(&source_);
    if (gif == nullptr) return false;
    const bool screenGiven = gif->SWidth > 0 && gif->SHeight > 0;
    const int screenWidth = screenGiven ? gif->SWidth : 0;
    const int screenHeight = screenGiven ? gif->SHeight : 0;
    int unionWidth = 0;
    int unionHeight = 0;
    uint64_t paintable = 0;
    GraphicsControlBlock control = NoControl();
    for (bool done = false; !done;) {
      GifRecordType type = UNDEFINED_RECORD_TYPE;
      if (DGifGetRecordType(gif.get(), &type) != GIF_OK) break;
      switch (type) {
        case EXTENSION_RECORD_TYPE:
          done = !ReadExtension(gif.get(), &control);
          break;
        case IMAGE_DESC_RECORD_TYPE: {
          uint64_t dataBytes = 0;
          if (!ReadImageDesc(gif.get()) || !SkipImageData(gif.get(), &dataBytes)) {
            done = true;
            break;
          }
          const GifImageDesc& desc = gif->Image;
          paintable += PaintablePixels(desc, dataBytes, screenWidth, screenHeight);
          unionWidth = std::max(unionWidth, std::min(65535, desc.Left + desc.Width));
          unionHeight = std::max(unionHeight, std::min(65535, desc.Top + desc.Height));
          ++frameCount_;
          break;
        }
        default:
          done = true;
          break;
      }
    }
    width_ = screenGiven ? screenWidth : unionWidth;
    height_ = screenGiven ? screenHeight : unionHeight;
    const uint64_t canvasPixels = static_cast<uint64_t>(width_) * static_cast<uint64_t>(height_);
    return frameCount_ > 0 && width_ > 0 && height_ > 0 && canvasPixels <= kMaxSourcePixels &&
           canvasPixels <= std::max(kCanvasFloorPixels, paintable);
  }

  int PageCount() override { return frameCount_; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page < 0 || page >= frameCount_) return false;
    geometry->width = width_;
    geometry->height = height_;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page < 0 || page >= frameCount_) return false;
    if (gif_ == nullptr || page < composited_) {
      if (!Restart()) return false;
    }
    while (composited_ < page) {
      if (!CompositeNextFrame()) {
        gif_.reset();
        return false;
      }
    }
    bool opaque = true;
    for (size_t i = 3; i < canvas_.size() && opaque; i += 4) opaque = canvas_[i] == 255;
    *info = PageInfo{};
    info->width = width_;
    info->height = height_;
    info->layout = opaque ? PixelLayout::kRGB8 : PixelLayout::kRGBA8;
    channels_ = opaque ? 3 : 4;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > height_ - nextRow_) return false;
    const size_t canvasStride = static_cast<size_t>(width_) * 4;
    for (int r = 0; r < count; ++r, ++nextRow_) {
      const uint8_t* in = canvas_.data() + nextRow_ * canvasStride;
      uint8_t* out = rows + r * stride;
      if (channels_ == 4) {
        std::copy_n(in, canvasStride, out);
      } else {
        for (int x = 0; x < width_; ++x, in += 4, out += 3) std::copy_n(in, 3, out);
      }
    }
    return true;
  }

 private:
  bool Restart() {
    gif_ = OpenHandle(&source_);
    if (gif_ == nullptr) return false;
    try {
      canvas_.assign(static_cast<size_t>(width_) * height_ * 4, 0);
    } catch (const std::bad_alloc&) {
      gif_.reset();
      return false;
    }
    composited_ = -1;
    lastDisposal_ = DISPOSAL_UNSPECIFIED;
    return true;
  }

  // Undoes the last composited frame as its disposal method asks.
  void DisposeLastFrame() {
    const size_t rowBytes = static_cast<size_t>(lastRect_.x1 - lastRect_.x0) * 4;
    for (int y = lastRect_.y0; y < lastRect_.y1; ++y) {
      uint8_t* row = canvas_.data() + (static_cast<size_t>(y) * width_ + lastRect_.x0) * 4;
      if (lastDisposal_ == DISPOSE_BACKGROUND) {
        std::fill_n(row, rowBytes, 0);
      } else if (lastDisposal_ == DISPOSE_PREVIOUS) {
        std::copy_n(saved_.data() + (y - lastRect_.y0) * rowBytes, rowBytes, row);
      }
    }
    lastDisposal_ = DISPOSAL_UNSPECIFIED;
  }

  // Reads records up to and including the next image and draws it; false on any error.
  bool CompositeNextFrame() {
    GraphicsControlBlock control = NoControl();
    for (;;) {
      GifRecordType type = UNDEFINED_RECORD_TYPE;
      if (DGifGetRecordType(gif_.get(), &type) != GIF_OK) return false;
      if (type == EXTENSION_RECORD_TYPE) {
        if (!ReadExtension(gif_.get(), &control)) return false;
        continue;
      }
      if (type != IMAGE_DESC_RECORD_TYPE || !ReadImageDesc(gif_.get())) return false;
      break;
    }
    const GifImageDesc desc = gif_->Image;
    DisposeLastFrame();
    Rect rect;
    rect.x0 = std::min(desc.Left, width_);
    rect.y0 = std::min(desc.Top, height_);
    rect.x1 = std::min(desc.Left + desc.Width, width_);
    rect.y1 = std::min(desc.Top + desc.Height, height_);
    const size_t rectRowBytes = static_cast<size_t>(rect.x1 - rect.x0) * 4;
    try {
      if (control.DisposalMode == DISPOSE_PREVIOUS) {
        saved_.resize(rectRowBytes * (rect.y1 - rect.y0));
        for (int y = rect.y0; y < rect.y1; ++y) {
          std::copy_n(canvas_.data() + (static_cast<size_t>(y) * width_ + rect.x0) * 4,
                      rectRowBytes, saved_.data() + (y - rect.y0) * rectRowBytes);
        }
      }
      line_.resize(desc.Width);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (desc.Width <= 0 || desc.Height <= 0) {
      if (!SkipImageData(gif_.get())) return false;
    } else if (!DrawFrame(desc, rect, control.TransparentColor)) {
      return false;
    }
    lastRect_ = rect;
    lastDisposal_ = control.DisposalMode;
    ++composited_;
    return true;
  }

  bool DrawFrame(const GifImageDesc& desc, const Rect& rect, int transparent) {
    const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif_->SColorMap;
    const int colorCount = map != nullptr ? std::max(0, map->ColorCount) : 0;
    static constexpr int kPassStart[] = {0, 4, 2, 1};
    static constexpr int kPassStep[] = {8, 8, 4, 2};
    const int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
      const int step = desc.Interlace ? kPassStep[pass] : 1;
      for (int row = desc.Interlace ? kPassStart[pass] : 0; row < desc.Height; row += step) {
        if (DGifGetLine(gif_.get(), line_.data(), desc.Width) != GIF_OK) return false;
        const int y = desc.Top + row;
        if (y >= rect.y1) continue;
        uint8_t* out = canvas_.data() + (static_cast<size_t>(y) * width_ + rect.x0) * 4;
        for (int x = rect.x0; x < rect.x1; ++x, out += 4) {
          const int index = line_[x - desc.Left];
          if (index == transparent) continue;
          if (map == nullptr) {
            out[0] = out[1] = out[2] = static_cast<uint8_t>(index);
          } else if (index < colorCount) {
            out[0] = map->Colors[index].Red;
            out[1] = map->Colors[index].Green;
            out[2] = map->Colors[index].Blue;
          } else {
            out[0] = out[1] = out[2] = 0;
          }
          out[3] = 255;
        }
      }
    }
    return true;
  }

  std::unique_ptr<InputFile> file_;
  GifSource source_;
  GifHandle gif_;
  int frameCount_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> canvas_;  // RGBA, straight alpha
  std::vector<uint8_t> saved_;   // what the last frame covered, for DISPOSE_PREVIOUS
  std::vector<GifPixelType> line_;
  int composited_ = -1;  // the last frame drawn on canvas_
  Rect lastRect_;
  int lastDisposal_ = DISPOSAL_UNSPECIFIED;
  int channels_ = 3;
  int nextRow_ = 0;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Decoder> OpenGifDecoder(std::unique_ptr<InputFile> file) {
  if (file == nullptr) return nullptr;
  auto decoder = std::make_unique<GifDecoder>(std::move(file));
  if (!decoder->Scan()) return nullptr;
  return decoder;
}
