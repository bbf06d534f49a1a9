// The GIF decoder (giflib). Every frame is a page, composited on the logical screen as a
// viewer shows it after that frame: the canvas is the screen size (or, when the screen
// descriptor says 0, the union of the frames), starts fully transparent, and frames reaching
// past it are clipped. A canvas far larger than its frames' data could paint is refused at open
// (kCanvasFloorPixels), since it is held whole. Disposal "background" clears the frame's rectangle
// to transparent, "previous" restores what was under it, anything else leaves it. An index past the
// palette gives opaque black; with neither a local nor a global palette, index i gives gray i.
//
// giflib refuses a frame whose LZW minimum code size is above 8, though a frame with a
// 256-colour palette may be written with 9 to 11 and other readers take it; such a file is
// read with our own record walk and LZW decoder (gif_decoder_walk.h, gif_decoder_lzw.h), with
// the same compositing and the same colours. Codes of such a frame may stand for indices past
// 255; like any index past the palette they give opaque black.
//
// Opening scans the records once, skipping pixel data, to count the frames whose data is
// wholly present. A page is made by decoding frames in order from the start, continuing from
// the previous page when pages are asked for in increasing order.
#include <gif_lib.h>

#include <algorithm>
#include <optional>

#include "codec/formats/byte_reader.h"
#include "codec/formats/formats.h"
#include "codec/formats/gif/gif_decoder_lzw.h"
#include "codec/formats/gif/gif_decoder_walk.h"
#include "codec/formats/gif/gif_interlace.h"

namespace {

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

// Where giflib's reads come from: the file through a buffer, since giflib asks for a few
// bytes at a time (a sub-block's length byte, then the sub-block).
struct GifSource {
  explicit GifSource(const InputFile& file) : reader(file, 0) {}
  ByteReader reader;
};

int ReadGifBytes(GifFileType* gif, GifByteType* buffer, int length) {
  auto* source = static_cast<GifSource*>(gif->UserData);
  if (length <= 0) return 0;
  // giflib takes any count short of length as the end of its data.
  return static_cast<int>(source->reader.ReadUpTo(buffer, static_cast<size_t>(length)));
}

// Returns a handle positioned after the screen descriptor, or nullptr.
GifHandle OpenHandle(GifSource* source) {
  source->reader.Restart(0);
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
uint64_t PaintablePixels(const GifFrameRecord& frame, uint64_t dataBytes, int screenWidth,
                         int screenHeight) {
  auto span = [](int start, int length, int limit) -> uint64_t {
    if (length <= 0) return 0;
    if (limit <= 0) return static_cast<uint64_t>(length);
    return static_cast<uint64_t>(
        std::max(0, std::min(start + length, limit) - std::min(start, limit)));
  };
  const uint64_t area =
      span(frame.left, frame.width, screenWidth) * span(frame.top, frame.height, screenHeight);
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

// Where frames come from: giflib, or our own record walk and LZW decoder for the files giflib
// refuses over a frame's code size. Both give a frame's indices a stored row at a time.
class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Goes back to the first record after the logical screen; false when the file has none.
  virtual bool Rewind() = 0;
  // The logical screen's size, valid after Rewind.
  virtual int ScreenWidth() const = 0;
  virtual int ScreenHeight() const = 0;
  // Reads records up to the next frame; false at the trailer or on any error.
  virtual bool NextFrame(GifFrameRecord* frame) = 0;
  // Consumes the current frame's pixel data undecoded, adding its bytes to *bytes when given.
  virtual bool SkipData(uint64_t* bytes) = 0;
  // Reads the current frame's next stored row; after the last, the rest of its data is consumed.
  virtual bool ReadLine(uint16_t* line, int width) = 0;
  // Whether the last NextFrame that returned false stopped at the trailer.
  virtual bool ReachedTrailer() const = 0;
};

class GiflibFrames : public FrameSource {
 public:
  explicit GiflibFrames(const InputFile* file) : source_(*file) {}

  bool Rewind() override {
    trailer_ = false;
    gif_ = OpenHandle(&source_);
    return gif_ != nullptr;
  }
  int ScreenWidth() const override { return gif_->SWidth; }
  int ScreenHeight() const override { return gif_->SHeight; }
  bool ReachedTrailer() const override { return trailer_; }

  bool NextFrame(GifFrameRecord* frame) override {
    GraphicsControlBlock control = NoControl();
    for (;;) {
      GifRecordType type = UNDEFINED_RECORD_TYPE;
      if (DGifGetRecordType(gif_.get(), &type) != GIF_OK) return false;
      if (type == EXTENSION_RECORD_TYPE) {
        if (!ReadExtension(gif_.get(), &control)) return false;
        continue;
      }
      trailer_ = type == TERMINATE_RECORD_TYPE;
      if (type != IMAGE_DESC_RECORD_TYPE || !ReadImageDesc(gif_.get())) return false;
      break;
    }
    const GifImageDesc& desc = gif_->Image;
    *frame = GifFrameRecord{};
    frame->left = desc.Left;
    frame->top = desc.Top;
    frame->width = desc.Width;
    frame->height = desc.Height;
    frame->interlace = desc.Interlace;
    frame->disposal = control.DisposalMode;
    frame->transparent = control.TransparentColor;
    const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif_->SColorMap;
    if (map != nullptr) {
      for (int i = 0; i < map->ColorCount; ++i) {
        const GifColorType& c = map->Colors[i];
        frame->palette.insert(frame->palette.end(), {c.Red, c.Green, c.Blue});
      }
    }
    line_.resize(std::max(0, desc.Width));
    return true;
  }

  bool SkipData(uint64_t* bytes) override { return SkipImageData(gif_.get(), bytes); }

  bool ReadLine(uint16_t* line, int width) override {
    if (width > static_cast<int>(line_.size())) return false;
    if (DGifGetLine(gif_.get(), line_.data(), width) != GIF_OK) return false;
    std::copy_n(line_.data(), width, line);
    return true;
  }

 private:
  GifSource source_;
  GifHandle gif_;
  std::vector<GifPixelType> line_;
  bool trailer_ = false;
};

class OwnFrames : public FrameSource {
 public:
  explicit OwnFrames(const InputFile& file) : file_(file), walk_(file) {}

  bool Rewind() override {
    blocks_.reset();
    return walk_.ReadScreen();
  }
  int ScreenWidth() const override { return walk_.screenWidth(); }
  int ScreenHeight() const override { return walk_.screenHeight(); }
  bool ReachedTrailer() const override { return walk_.reachedTrailer(); }

  // Whether a frame was read that giflib cannot decode.
  bool SawWideCodes() const { return sawWideCodes_; }

  bool NextFrame(GifFrameRecord* frame) override {
    blocks_.reset();
    // A code size no GIF LZW decoder can start from ends the walk, as giflib's does.
    if (!walk_.NextFrame(frame) || !lzw_->Start(frame->minCodeSize)) return false;
    sawWideCodes_ = sawWideCodes_ || frame->minCodeSize > kGiflibMaxCodeSize;
    blocks_.emplace(file_, frame->dataOffset);
    remaining_ = static_cast<uint64_t>(frame->width) * static_cast<uint64_t>(frame->height);
    return true;
  }

  bool SkipData(uint64_t* bytes) override {
    if (!blocks_ || !blocks_->SkipRest(bytes)) return false;
    walk_.set_offset(blocks_->offset());
    blocks_.reset();
    return true;
  }

  bool ReadLine(uint16_t* line, int width) override {
    const auto count = static_cast<uint64_t>(std::max(0, width));
    if (!blocks_ || count > remaining_ || !lzw_->Read(&*blocks_, line, width)) return false;
    remaining_ -= count;
    return remaining_ > 0 || SkipData(nullptr);
  }

 private:
  static constexpr int kGiflibMaxCodeSize = 8;

  const InputFile& file_;
  GifRecordWalk walk_;
  std::unique_ptr<GifLzw> lzw_ = std::make_unique<GifLzw>();  // 32 KiB of tables
  std::optional<GifSubBlocks> blocks_;                        // the current frame's data
  uint64_t remaining_ = 0;  // indices of the current frame not yet read
  bool sawWideCodes_ = false;
};

// What one scan of the records finds.
struct ScanResult {
  int frameCount = 0;  // frames whose data is wholly present
  int width = 0;       // of the canvas
  int height = 0;
  bool sound = false;  // at least one frame, on a canvas of sound size
};

ScanResult Scan(FrameSource* source) {
  ScanResult result;
  if (!source->Rewind()) return result;
  const bool screenGiven = source->ScreenWidth() > 0 && source->ScreenHeight() > 0;
  const int screenWidth = screenGiven ? source->ScreenWidth() : 0;
  const int screenHeight = screenGiven ? source->ScreenHeight() : 0;
  int unionWidth = 0;
  int unionHeight = 0;
  uint64_t paintable = 0;
  GifFrameRecord frame;
  for (;;) {
    uint64_t dataBytes = 0;
    if (!source->NextFrame(&frame) || !source->SkipData(&dataBytes)) break;
    paintable += PaintablePixels(frame, dataBytes, screenWidth, screenHeight);
    unionWidth = std::max(unionWidth, std::min(65535, frame.left + frame.width));
    unionHeight = std::max(unionHeight, std::min(65535, frame.top + frame.height));
    ++result.frameCount;
  }
  result.width = screenGiven ? screenWidth : unionWidth;
  result.height = screenGiven ? screenHeight : unionHeight;
  const uint64_t canvasPixels = static_cast<uint64_t>(result.width) * result.height;
  result.sound = result.frameCount > 0 && result.width > 0 && result.height > 0 &&
                 canvasPixels <= kMaxSourcePixels &&
                 canvasPixels <= std::max(kCanvasFloorPixels, paintable);
  return result;
}

struct Rect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

class GifDecoder : public Decoder {
 public:
  explicit GifDecoder(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}

  // Returns true when the file holds at least one complete frame on a canvas of sound size.
  // giflib reads it unless it stops on a frame whose code size it refuses and our own reader
  // gets further.
  bool Open() {
    auto giflib = std::make_unique<GiflibFrames>(file_.get());
    ScanResult scan = Scan(giflib.get());
    source_ = std::move(giflib);
    if (!source_->ReachedTrailer()) {
      auto own = std::make_unique<OwnFrames>(*file_);
      const ScanResult ownScan = Scan(own.get());
      if (own->SawWideCodes() && ownScan.sound && ownScan.frameCount > scan.frameCount) {
        scan = ownScan;
        source_ = std::move(own);
      }
    }
    frameCount_ = scan.frameCount;
    width_ = scan.width;
    height_ = scan.height;
    return scan.sound;
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
    // Every page from a broken frame on needs that frame drawn: they fail without decoding
    // everything before it again (a long animation would otherwise cost the square of its
    // length in frames).
    if (brokenFrame_ >= 0 && page >= brokenFrame_) return false;
    if (!positioned_ || page < composited_) {
      if (!Restart()) return false;
    }
    while (composited_ < page) {
      if (!CompositeNextFrame()) {
        brokenFrame_ = composited_ + 1;
        positioned_ = false;
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
    positioned_ = false;
    if (!source_->Rewind()) return false;
    canvas_.assign(static_cast<size_t>(width_) * height_ * 4, 0);
    composited_ = -1;
    lastDisposal_ = DISPOSAL_UNSPECIFIED;
    positioned_ = true;
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
    if (!source_->NextFrame(&frame_)) return false;
    const GifFrameRecord& frame = frame_;
    DisposeLastFrame();
    Rect rect;
    rect.x0 = std::min(frame.left, width_);
    rect.y0 = std::min(frame.top, height_);
    rect.x1 = std::min(frame.left + frame.width, width_);
    rect.y1 = std::min(frame.top + frame.height, height_);
    const size_t rectRowBytes = static_cast<size_t>(rect.x1 - rect.x0) * 4;
    if (frame.disposal == DISPOSE_PREVIOUS) {
      saved_.resize(rectRowBytes * (rect.y1 - rect.y0));
      for (int y = rect.y0; y < rect.y1; ++y) {
        std::copy_n(canvas_.data() + (static_cast<size_t>(y) * width_ + rect.x0) * 4, rectRowBytes,
                    saved_.data() + (y - rect.y0) * rectRowBytes);
      }
    }
    line_.resize(std::max(0, frame.width));
    if (frame.width <= 0 || frame.height <= 0) {
      if (!source_->SkipData(nullptr)) return false;
    } else if (!DrawFrame(frame, rect)) {
      return false;
    }
    lastRect_ = rect;
    lastDisposal_ = frame.disposal;
    ++composited_;
    return true;
  }

  bool DrawFrame(const GifFrameRecord& frame, const Rect& rect) {
    const uint8_t* palette = frame.palette.data();
    const size_t colorCount = frame.palette.size() / 3;
    return ForEachGifStoredRow(frame.height, frame.interlace, [&](int row) {
      if (!source_->ReadLine(line_.data(), frame.width)) return false;
      const int y = frame.top + row;
      if (y >= rect.y1) return true;
      uint8_t* out = canvas_.data() + (static_cast<size_t>(y) * width_ + rect.x0) * 4;
      for (int x = rect.x0; x < rect.x1; ++x, out += 4) {
        const int index = line_[x - frame.left];
        if (index == frame.transparent) continue;
        if (colorCount == 0) {
          out[0] = out[1] = out[2] = static_cast<uint8_t>(index);
        } else if (static_cast<size_t>(index) < colorCount) {
          std::copy_n(palette + 3 * index, 3, out);
        } else {
          out[0] = out[1] = out[2] = 0;
        }
        out[3] = 255;
      }
      return true;
    });
  }

  std::unique_ptr<InputFile> file_;
  std::unique_ptr<FrameSource> source_;
  bool positioned_ = false;  // source_ is just past frame composited_
  int frameCount_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> canvas_;  // RGBA, straight alpha
  std::vector<uint8_t> saved_;   // what the last frame covered, for DISPOSE_PREVIOUS
  GifFrameRecord frame_;         // the frame being drawn
  std::vector<uint16_t> line_;   // one stored row of the frame's indices
  int composited_ = -1;          // the last frame drawn on canvas_
  int brokenFrame_ = -1;         // the first frame found not to decode, -1 while none is
  Rect lastRect_;
  int lastDisposal_ = DISPOSAL_UNSPECIFIED;
  int channels_ = 3;
  int nextRow_ = 0;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Decoder> OpenGifDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  auto decoder = std::make_unique<GifDecoder>(std::move(file));
  if (!decoder->Open()) return Refuse(failure, *decoder);
  return decoder;
}
