// JPEG XL through libjxl. libjxl 0.7 fails some valid 16-bit files when fed in pieces, so the
// whole file (at most kJxlMaxFileBytes) is read into memory and handed over at once. Pages are
// the displayed frames of an animation as libjxl composites them (a still image is one page);
// each is decoded whole at StartPage, its size checked against kJxlDecodeBudget when the file
// is opened. libjxl applies the orientation itself, so pages are reported upright.
//
// Colour: the rows come with the ICC profile of the data libjxl delivers. Lossy (XYB) images
// described by an ICC profile are asked for in sRGB, those in linear light for the sRGB curve,
// since 8 bits in linear light would band. PQ and HLG images are decoded to 16 bits and mapped
// to 8-bit sRGB-encoded values (jxl_hdr.h). CMYK images (K in an extra channel, 0 = full ink
// as JPEG XL stores them) are un-inverted into CMYK8, their alpha taken as ink coverage.
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>  // JxlColorEncodingSetToSRGB

#include <cstring>
#include <string>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/jxl/jxl_hdr.h"

namespace {

// Returns the failure kind that a status other than an expected event stands for.
FailureKind KindOf(JxlDecoderStatus status) {
  return status == JXL_DEC_NEED_MORE_INPUT ? FailureKind::kTruncated : FailureKind::kCorrupt;
}

// Returns true when encoding is plain sRGB (colour or gray), which needs no profile.
bool IsSrgb(const JxlColorEncoding& encoding) {
  const bool rgb = encoding.color_space == JXL_COLOR_SPACE_RGB;
  return (rgb || encoding.color_space == JXL_COLOR_SPACE_GRAY) &&
         encoding.white_point == JXL_WHITE_POINT_D65 &&
         (!rgb || encoding.primaries == JXL_PRIMARIES_SRGB) &&
         encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

class JxlPageDecoder final : public Decoder {
 public:
  explicit JxlPageDecoder(std::vector<uint8_t> data) : data_(std::move(data)) {}

  // Reads the header and counts the displayed frames without decoding their pixels; returns
  // false (with the reason set) when libjxl refuses the file or the page is over the budget.
  bool Init() {
    JxlDecoderPtr dec = Start(JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME);
    if (!dec) return false;
    for (;;) {
      const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
      if (status == JXL_DEC_BASIC_INFO) {
        if (!ReadBasicInfo(dec.get())) return false;
      } else if (status == JXL_DEC_COLOR_ENCODING) {
        encoded_ = JxlDecoderGetColorAsEncodedProfile(dec.get(), nullptr,
                                                      JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                                      &encoding_) == JXL_DEC_SUCCESS;
        hdr_ = encoded_ && IsHdrTransfer(encoding_);
      } else if (status == JXL_DEC_FRAME) {
        if (frames_ == INT32_MAX) return Fail(FailureKind::kTooLarge, "too many frames");
        ++frames_;
      } else if (status == JXL_DEC_SUCCESS) {
        return frames_ > 0 || Fail(FailureKind::kCorrupt, "no frame");
      } else {
        return Fail(KindOf(status), "header");
      }
    }
  }

  int PageCount() override { return frames_; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page < 0 || page >= frames_) return Fail(FailureKind::kMisuse, "no such page");
    geometry->width = width_;
    geometry->height = height_;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page < 0 || page >= frames_) return Fail(FailureKind::kMisuse, "no such page");
    if (page != decodedPage_ && !DecodeFrame(page)) {
      dec_.reset();
      decodedPage_ = -1;
      return false;
    }
    info->width = width_;
    info->height = height_;
    info->layout = layout_;
    info->orientation = 1;
    info->icc = icc_;
    info->exif.clear();
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || count > height_ - nextRow_) return false;
    const size_t rowBytes = static_cast<size_t>(width_) * ChannelCount(layout_);
    for (int i = 0; i < count; ++i, ++nextRow_) {
      std::memcpy(rows + static_cast<size_t>(i) * stride,
                  pixels_.data() + rowBytes * static_cast<size_t>(nextRow_), rowBytes);
    }
    return true;
  }

 private:
  // Returns a decoder over the whole file subscribed to events; nullptr with the reason set.
  JxlDecoderPtr Start(int events) {
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec) {
      Fail(FailureKind::kTooLarge, "out of memory");
      return nullptr;
    }
    if (JxlDecoderSubscribeEvents(dec.get(), events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), data_.data(), data_.size()) != JXL_DEC_SUCCESS) {
      Fail(FailureKind::kCorrupt, "decoder setup");
      return nullptr;
    }
    JxlDecoderCloseInput(dec.get());
    return dec;
  }

  // Takes the page size and channels from the basic info; returns false (with the reason
  // set) when they are unusable or over the budget.
  bool ReadBasicInfo(const JxlDecoder* dec) {
    if (JxlDecoderGetBasicInfo(dec, &basic_) != JXL_DEC_SUCCESS) {
      return Fail(FailureKind::kCorrupt, "basic info");
    }
    const uint64_t pixels = uint64_t{basic_.xsize} * basic_.ysize;
    const uint64_t planes = uint64_t{basic_.num_color_channels} + basic_.num_extra_channels;
    const std::string size = std::to_string(basic_.xsize) + "x" + std::to_string(basic_.ysize);
    if (pixels == 0 || (basic_.num_color_channels != 1 && basic_.num_color_channels != 3)) {
      return Fail(FailureKind::kCorrupt, "image size or channels");
    }
    if (pixels > kMaxSourcePixels || pixels * planes * 4 > kJxlDecodeBudget) {
      return Fail(FailureKind::kTooLarge, size);
    }
    const bool turned = basic_.orientation >= 5;  // the transposing orientations
    width_ = static_cast<int>(turned ? basic_.ysize : basic_.xsize);
    height_ = static_cast<int>(turned ? basic_.xsize : basic_.ysize);
    alpha_ = basic_.alpha_bits > 0;
    for (uint32_t i = 0; i < basic_.num_extra_channels; ++i) {
      JxlExtraChannelInfo extra;
      if (JxlDecoderGetExtraChannelInfo(dec, i, &extra) != JXL_DEC_SUCCESS) {
        return Fail(FailureKind::kCorrupt, "extra channel");
      }
      if (extra.type == JXL_CHANNEL_BLACK && basic_.num_color_channels == 3) black_ = int(i);
    }
    if (basic_.num_color_channels == 1) {
      layout_ = alpha_ ? PixelLayout::kGA8 : PixelLayout::kG8;
    } else if (black_ >= 0) {
      layout_ = PixelLayout::kCMYK8;
    } else {
      layout_ = alpha_ ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    }
    return true;
  }

  // Chooses the colour libjxl delivers where it may choose (lossy images) and keeps the
  // profile of what it delivers.
  void ChooseColor(JxlDecoder* dec) {
    if (hdr_) {
      icc_ = SrgbCurveProfile(encoding_);
      return;
    }
    if (!basic_.uses_original_profile) {
      JxlColorEncoding wanted = encoding_;
      if (!encoded_) {
        JxlColorEncodingSetToSRGB(&wanted, basic_.num_color_channels == 1);
      } else if (wanted.transfer_function == JXL_TRANSFER_FUNCTION_LINEAR) {
        wanted.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
      }
      JxlDecoderSetPreferredColorProfile(dec, &wanted);
    }
    icc_.clear();
    JxlColorEncoding data;
    if (JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &data) ==
            JXL_DEC_SUCCESS &&
        IsSrgb(data)) {
      return;
    }
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0) {
      return;
    }
    icc_.resize(size);
    if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, icc_.data(),
                                       size) != JXL_DEC_SUCCESS) {
      icc_.clear();
    }
  }

  // Hands libjxl the buffers for the frame about to be decoded; returns false when it refuses
  // them.
  bool SetBuffers() {
    const uint32_t channels = basic_.num_color_channels + (alpha_ ? 1 : 0);
    const JxlPixelFormat format = {channels, hdr_ ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                                   JXL_NATIVE_ENDIAN, 0};
    size_t size = 0;
    if (JxlDecoderImageOutBufferSize(dec_.get(), &format, &size) != JXL_DEC_SUCCESS ||
        size != size_t(width_) * size_t(height_) * channels * (hdr_ ? 2 : 1)) {
      return false;
    }
    out_.resize(size);
    if (JxlDecoderSetImageOutBuffer(dec_.get(), &format, out_.data(), size) != JXL_DEC_SUCCESS) {
      return false;
    }
    if (black_ < 0) return true;
    if (JxlDecoderExtraChannelBufferSize(dec_.get(), &format, &size, uint32_t(black_)) !=
            JXL_DEC_SUCCESS ||
        size != size_t(width_) * size_t(height_)) {
      return false;
    }
    blackPlane_.resize(size);
    return JxlDecoderSetExtraChannelBuffer(dec_.get(), &format, blackPlane_.data(), size,
                                           uint32_t(black_)) == JXL_DEC_SUCCESS;
  }

  // Decodes page into pixels_, continuing from the frames already decoded when it lies ahead
  // of them; returns false (with the reason set) on failure.
  bool DecodeFrame(int page) {
    if (!dec_ || page < framesDone_) {
      dec_ = Start(JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
      if (!dec_) return false;
      framesDone_ = 0;
    }
    if (page > framesDone_) JxlDecoderSkipFrames(dec_.get(), size_t(page - framesDone_));
    framesDone_ = page;
    for (;;) {
      const JxlDecoderStatus status = JxlDecoderProcessInput(dec_.get());
      if (status == JXL_DEC_COLOR_ENCODING) {
        ChooseColor(dec_.get());
      } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
        if (!SetBuffers()) return Fail(FailureKind::kCorrupt, "output buffer");
      } else if (status == JXL_DEC_FULL_IMAGE) {
        framesDone_ = page + 1;
        decodedPage_ = page;
        Finish();
        return true;
      } else if (status == JXL_DEC_SUCCESS) {
        return Fail(FailureKind::kCorrupt, "fewer frames than the header told");
      } else {
        return Fail(KindOf(status), "frame " + std::to_string(page));
      }
    }
  }

  // Turns libjxl's output into pixels_ in layout_.
  void Finish() {
    const size_t count = size_t(width_) * size_t(height_);
    if (hdr_) {
      static const std::vector<uint8_t> pq = HdrToSrgbTable(JXL_TRANSFER_FUNCTION_PQ);
      static const std::vector<uint8_t> hlg = HdrToSrgbTable(JXL_TRANSFER_FUNCTION_HLG);
      const std::vector<uint8_t>& table =
          encoding_.transfer_function == JXL_TRANSFER_FUNCTION_PQ ? pq : hlg;
      const size_t channels = ChannelCount(layout_);
      pixels_.resize(count * channels);
      for (size_t i = 0; i < pixels_.size(); ++i) {
        uint16_t v;
        std::memcpy(&v, out_.data() + 2 * i, 2);
        const bool isAlpha = alpha_ && i % channels == channels - 1;
        pixels_[i] = isAlpha ? uint8_t((v * 255u + 32767u) / 65535u) : table[v];
      }
      out_ = {};
    } else if (black_ >= 0) {
      // JPEG XL stores CMYK as the amount of paper left (0 = full ink); alpha below full covers
      // the ink over white paper.
      const size_t in = alpha_ ? 4 : 3;
      pixels_.resize(count * 4);
      for (size_t i = 0; i < count; ++i) {
        const unsigned alpha = alpha_ ? out_[i * in + 3] : 255u;
        for (size_t c = 0; c < 4; ++c) {
          const unsigned ink = 255u - (c < 3 ? out_[i * in + c] : blackPlane_[i]);
          pixels_[i * 4 + c] = uint8_t((ink * alpha + 127u) / 255u);
        }
      }
      out_ = {};
      blackPlane_ = {};
    } else {
      pixels_.swap(out_);
    }
  }

  std::vector<uint8_t> data_;  // the whole file: libjxl reads from it
  JxlBasicInfo basic_{};
  JxlColorEncoding encoding_{};  // the original's, when encoded_
  bool encoded_ = false;         // colour described by an encoding rather than an ICC profile
  bool hdr_ = false;             // PQ or HLG transfer
  bool alpha_ = false;
  int black_ = -1;  // the extra channel holding CMYK's K, -1 when none
  int frames_ = 0;  // displayed frames
  int width_ = 0;   // upright
  int height_ = 0;
  PixelLayout layout_ = PixelLayout::kRGB8;

  JxlDecoderPtr dec_;   // decoding frames in order, or empty
  int framesDone_ = 0;  // frames dec_ has passed
  int decodedPage_ = -1;
  std::vector<uint8_t> icc_;
  std::vector<uint8_t> out_;         // libjxl's output of the frame
  std::vector<uint8_t> blackPlane_;  // CMYK's K of the frame
  std::vector<uint8_t> pixels_;      // the decoded page in layout_
  bool started_ = false;
  int nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenJxlDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  if (file->size() > kJxlMaxFileBytes) return Refuse(failure, FailureKind::kTooLarge, "file size");
  std::vector<uint8_t> data(static_cast<size_t>(file->size()));
  if (!file->ReadAt(0, data.data(), data.size())) return Refuse(failure, FailureKind::kReadError);
  file.reset();
  auto decoder = std::make_unique<JxlPageDecoder>(std::move(data));
  if (!decoder->Init()) return Refuse(failure, *decoder);
  return decoder;
}
