// The JPEG decoder: baseline, extended, progressive and arithmetic-coded 8-bit files in gray,
// RGB/YCbCr or CMYK/YCCK, with DCT-domain scaling and rows delivered in bands.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/jpeg/jpeg_decoder_session.h"
#include "codec/io/exif.h"

namespace {

constexpr uint64_t kBlocksPerFileBit = 64;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Returns the output size of a stored length scaled by num/8, rounded up as libjpeg does.
uint64_t ScaledLength(uint64_t length, int num) { return (length * num + 7) / 8; }

// Returns the smallest scale numerator (of 8) whose output is still at least the request.
// The request is in stored orientation: the caller has already swapped it for a turned page.
// Rounding up lets a side under 8 pixels keep its stored length at a reduced scale (4 * 7/8
// gives 4), but those pixels then show the side squeezed with the encoder's padding beyond
// it, so a scale is only taken when it shortens both sides.
int ChooseScaleNum(int width, int height, const DecodeRequest& request) {
  if (request.minWidth <= 0 && request.minHeight <= 0) return 8;
  for (int num = 1; num < 8; ++num) {
    uint64_t scaledWidth = ScaledLength(width, num), scaledHeight = ScaledLength(height, num);
    if (scaledWidth >= static_cast<uint64_t>(std::max(request.minWidth, 0)) &&
        scaledHeight >= static_cast<uint64_t>(std::max(request.minHeight, 0)) &&
        scaledWidth < static_cast<uint64_t>(width) &&
        scaledHeight < static_cast<uint64_t>(height)) {
      return num;
    }
  }
  return 8;
}

class JpegDecoder final : public Decoder {
 public:
  explicit JpegDecoder(std::unique_ptr<InputFile> file)
      : file_(std::move(file)), session_(std::make_unique<JpegSession>()) {}

  // Returns true when the header is sound and describes a size and colour model we decode.
  bool Open() {
    if (!session_->created() || !session_->ReadHeader(file_->Stdio())) return false;
    jpeg_decompress_struct* cinfo = session_->cinfo();
    uint64_t width = cinfo->image_width;
    uint64_t height = cinfo->image_height;
    if (width == 0 || height == 0) return Fail(FailureKind::kCorrupt, "no pixels");
    if (width * height > kMaxSourcePixels) return Fail(FailureKind::kTooLarge);
    if (!HeaderFitsFile()) return Fail(FailureKind::kTruncated);
    switch (cinfo->jpeg_color_space) {
      case JCS_GRAYSCALE:
        layout_ = PixelLayout::kG8;
        outSpace_ = JCS_GRAYSCALE;
        break;
      case JCS_RGB:
      case JCS_YCbCr:
        layout_ = PixelLayout::kRGB8;
        outSpace_ = JCS_RGB;
        break;
      case JCS_CMYK:
      case JCS_YCCK:
        layout_ = PixelLayout::kCMYK8;
        outSpace_ = JCS_CMYK;
        invert_ = cinfo->saw_Adobe_marker == TRUE;
        break;
      default:
        return false;
    }
    ReadMetadata();
    geometry_.width = static_cast<int>(width);
    geometry_.height = static_cast<int>(height);
    geometry_.orientation = orientation_;
    headerFresh_ = true;
    return true;
  }

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0 || geometry == nullptr) return false;
    *geometry = geometry_;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    started_ = false;
    if (page != 0 || info == nullptr) return Fail(FailureKind::kMisuse, "no such page");
    // The pixels are read from the file as it is now, not from what was read ahead with the
    // header.
    if (headerFresh_) file_->DropReadAhead();
    if (!headerFresh_ && !session_->ReadHeader(file_->Stdio())) return false;
    headerFresh_ = false;
    jpeg_decompress_struct* cinfo = session_->cinfo();
    cinfo->out_color_space = outSpace_;
    cinfo->scale_num = ChooseScaleNum(geometry_.width, geometry_.height, request);
    cinfo->scale_denom = 8;
    if (!session_->Start(request.cores, file_.get())) return false;
    if (cinfo->output_components != ChannelCount(layout_) || cinfo->output_width == 0 ||
        cinfo->output_height == 0) {
      return false;
    }
    info->width = static_cast<int>(cinfo->output_width);
    info->height = static_cast<int>(cinfo->output_height);
    info->layout = layout_;
    info->orientation = orientation_;
    info->icc = icc_;
    info->exif = exif_;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || rows == nullptr || count < 0) return Fail(FailureKind::kMisuse);
    if (count == 0) return true;
    rowPointers_.resize(static_cast<size_t>(count));
    for (int r = 0; r < count; ++r) rowPointers_[r] = rows + static_cast<size_t>(r) * stride;
    if (!session_->ReadScanlines(rowPointers_.data(), count)) {
      started_ = false;
      return false;
    }
    if (invert_) {
      size_t rowBytes = static_cast<size_t>(session_->cinfo()->output_width) * 4;
      for (int r = 0; r < count; ++r) {
        uint8_t* row = rowPointers_[r];
        for (size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(255 - row[i]);
      }
    }
    return true;
  }

 private:
  // Huffman-coded data spends at least one bit on every block of the largest component. Files
  // cut short fail only once decoding reaches the cut, so a header needing far more blocks than
  // that (64 per bit of the file) is refused at once as describing a file that is not there.
  // Arithmetic coding can spend less than a bit per block, and is not judged.
  bool HeaderFitsFile() {
    jpeg_decompress_struct* cinfo = session_->cinfo();
    if (cinfo->arith_code) return true;
    uint64_t maxBlocks = 0;
    for (int c = 0; c < cinfo->num_components; ++c) {
      const jpeg_component_info& comp = cinfo->comp_info[c];
      uint64_t blocks = static_cast<uint64_t>(comp.width_in_blocks) * comp.height_in_blocks;
      maxBlocks = std::max(maxBlocks, blocks);
    }
    return maxBlocks / kBlocksPerFileBit <= file_->size() * 8;
  }

  void ReadMetadata() {
    jpeg_decompress_struct* cinfo = session_->cinfo();
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m != nullptr; m = m->next) {
      if (m->marker != JPEG_APP0 + 1 || m->data == nullptr) continue;
      size_t prefix = ExifPrefixLength(m->data, m->data_length);
      if (prefix == 0 || m->data_length <= prefix) continue;
      exif_.assign(m->data + prefix, m->data + m->data_length);
      orientation_ = ReadExifOrientation(m->data, m->data_length);
      break;
    }
    unsigned int iccLength = 0;
    std::unique_ptr<JOCTET, FreeDeleter> icc(session_->ReadIccProfile(&iccLength));
    if (icc) icc_.assign(icc.get(), icc.get() + iccLength);
  }

  std::unique_ptr<InputFile> file_;
  std::unique_ptr<JpegSession> session_;
  PageGeometry geometry_;
  PixelLayout layout_ = PixelLayout::kRGB8;
  J_COLOR_SPACE outSpace_ = JCS_RGB;
  bool invert_ = false;
  int orientation_ = 1;
  std::vector<uint8_t> icc_;
  std::vector<uint8_t> exif_;
  bool headerFresh_ = false;  // the header was just read and no decode has begun since
  bool started_ = false;
  std::vector<JSAMPROW> rowPointers_;
};

}  // namespace

std::unique_ptr<Decoder> OpenJpegDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  if (file->size() < 4) return Refuse(failure, FailureKind::kTruncated);
  auto decoder = std::make_unique<JpegDecoder>(std::move(file));
  if (!decoder->Open()) return Refuse(failure, *decoder);
  return decoder;
}
