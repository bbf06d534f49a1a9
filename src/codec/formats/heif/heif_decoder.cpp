// HEIF and AVIF through libheif, which decodes whole images: each page is decoded into one
// buffer at StartPage, so its size is checked against kHeifDecodeBudget first. libheif applies
// the container's crop, rotation and mirroring itself, so pages are always reported upright
// (orientation 1) and the EXIF orientation is not applied again.
#include <libheif/heif.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/heif/heif_color.h"
#include "codec/formats/heif/heif_handles.h"
#include "codec/io/exif.h"

namespace {

struct OptionsFree {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
struct NclxFree {
  void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};

// Returns the failure kind that a libheif error stands for.
FailureKind KindOf(const heif_error& error) {
  if (error.subcode == heif_suberror_Security_limit_exceeded) return FailureKind::kTooLarge;
  if (error.subcode == heif_suberror_End_of_data) return FailureKind::kTruncated;
  switch (error.code) {
    case heif_error_Unsupported_filetype:
      return FailureKind::kNotThisFormat;
    case heif_error_Unsupported_feature:
    case heif_error_Plugin_loading_error:
      return FailureKind::kUnsupported;
    case heif_error_Memory_allocation_error:
      return FailureKind::kTooLarge;
    default:
      return FailureKind::kCorrupt;
  }
}

// Returns true when a width x height page fits the decode budget (4 bytes a pixel).
bool WithinBudget(int width, int height) {
  if (width <= 0 || height <= 0) return false;
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  return pixels <= kMaxSourcePixels && pixels * 4 <= kHeifDecodeBudget;
}

// Returns the image's ICC profile, or one made from its nclx primaries when they are not
// sRGB's; empty when neither says more than sRGB.
std::vector<uint8_t> ColorProfile(const heif_image_handle* handle) {
  const size_t size = heif_image_handle_get_raw_color_profile_size(handle);
  if (size > 0) {
    std::vector<uint8_t> icc(size);
    if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok) {
      return icc;
    }
  }
  heif_color_profile_nclx* raw = nullptr;
  if (heif_image_handle_get_nclx_color_profile(handle, &raw).code != heif_error_Ok) return {};
  std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(raw);
  if (nclx->color_primaries == heif_color_primaries_ITU_R_BT_709_5 ||
      nclx->color_primaries == heif_color_primaries_unspecified) {
    return {};
  }
  const float xy[8] = {nclx->color_primary_red_x,   nclx->color_primary_red_y,
                       nclx->color_primary_green_x, nclx->color_primary_green_y,
                       nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                       nclx->color_primary_white_x, nclx->color_primary_white_y};
  return IccForPrimaries(xy, static_cast<int>(nclx->transfer_characteristics));
}

// Returns the image's first EXIF block from its TIFF header, empty when there is none. libheif
// gives it with a 4-byte offset to the TIFF header in front.
std::vector<uint8_t> ExifBlock(const heif_image_handle* handle) {
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) return {};
  const size_t size = heif_image_handle_get_metadata_size(handle, id);
  if (size < 4) return {};
  std::vector<uint8_t> block(size);
  if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) return {};
  const uint64_t offset =
      uint64_t{block[0]} << 24 | uint64_t{block[1]} << 16 | uint64_t{block[2]} << 8 | block[3];
  if (offset > size - 4) return {};
  block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(4 + offset));
  const size_t prefix = ExifPrefixLength(block.data(), block.size());
  block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(prefix));
  return block;
}

class HeifDecoder final : public Decoder {
 public:
  explicit HeifDecoder(std::vector<uint8_t> data) : data_(std::move(data)) {}

  // Parses the file and lists its top-level images, primary first; returns false (with the
  // reason set) when libheif refuses it or the primary image is over the budget.
  bool Init() {
    context_.reset(heif_context_alloc());
    if (!context_) return Fail(FailureKind::kTooLarge, "out of memory");
    heif_security_limits* limits = heif_context_get_security_limits(context_.get());
    if (limits != nullptr) limits->max_image_size_pixels = kHeifDecodeBudget / 4;
    heif_error error = heif_context_read_from_memory_without_copy(context_.get(), data_.data(),
                                                                  data_.size(), nullptr);
    if (error.code != heif_error_Ok) return Fail(KindOf(error), error.message);
    heif_item_id primary = 0;
    error = heif_context_get_primary_image_ID(context_.get(), &primary);
    if (error.code != heif_error_Ok) return Fail(KindOf(error), error.message);
    const int count = heif_context_get_number_of_top_level_images(context_.get());
    std::vector<heif_item_id> ids(static_cast<size_t>(count > 0 ? count : 0));
    if (!ids.empty()) {
      heif_context_get_list_of_top_level_image_IDs(context_.get(), ids.data(), count);
    }
    ids_.push_back(primary);
    for (heif_item_id id : ids) {
      if (id != primary) ids_.push_back(id);
    }
    PageGeometry geometry;
    if (!Probe(0, &geometry)) {
      if (LastFailure().kind == FailureKind::kNone) return Fail(FailureKind::kCorrupt);
      return false;
    }
    return true;
  }

  int PageCount() override { return static_cast<int>(ids_.size()); }

  bool Probe(int page, PageGeometry* geometry) override {
    HeifHandlePtr handle = Handle(page);
    if (!handle) return false;
    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    if (!WithinBudget(width, height)) {
      return Fail(FailureKind::kTooLarge, std::to_string(width) + "x" + std::to_string(height));
    }
    geometry->width = width;
    geometry->height = height;
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    image_.reset();
    PageGeometry geometry;
    if (!Probe(page, &geometry)) return false;
    HeifHandlePtr handle = Handle(page);
    if (!handle) return false;
    alpha_ = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options) return Fail(FailureKind::kTooLarge, "out of memory");
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    heif_error error = heif_decode_image(
        handle.get(), &decoded, heif_colorspace_RGB,
        alpha_ ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get());
    HeifImagePtr image(decoded);
    if (error.code != heif_error_Ok || !image) return Fail(KindOf(error), error.message);
    width_ = heif_image_get_width(image.get(), heif_channel_interleaved);
    height_ = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    plane_ = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (plane_ == nullptr || stride <= 0 || width_ != geometry.width ||
        height_ != geometry.height ||
        heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
      return Fail(FailureKind::kCorrupt, "decoded image does not match its description");
    }
    stride_ = static_cast<size_t>(stride);
    image_ = std::move(image);
    info->width = width_;
    info->height = height_;
    info->layout = alpha_ ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
    info->orientation = 1;
    info->icc = ColorProfile(handle.get());
    info->exif = ExifBlock(handle.get());
    nextRow_ = 0;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!image_ || count < 0 || count > height_ - nextRow_) return false;
    const size_t rowBytes = static_cast<size_t>(width_) * (alpha_ ? 4 : 3);
    for (int i = 0; i < count; ++i, ++nextRow_) {
      std::memcpy(rows + static_cast<size_t>(i) * stride,
                  plane_ + stride_ * static_cast<size_t>(nextRow_), rowBytes);
    }
    return true;
  }

 private:
  // Returns the handle of page, nullptr (with the reason set) when it cannot be had.
  HeifHandlePtr Handle(int page) {
    if (page < 0 || page >= PageCount()) {
      Fail(FailureKind::kMisuse, "no such page");
      return nullptr;
    }
    heif_image_handle* handle = nullptr;
    heif_error error =
        heif_context_get_image_handle(context_.get(), ids_[static_cast<size_t>(page)], &handle);
    if (error.code != heif_error_Ok || handle == nullptr) {
      Fail(KindOf(error), error.message);
      return nullptr;
    }
    return HeifHandlePtr(handle);
  }

  std::vector<uint8_t> data_;  // the whole file: the context reads from it
  HeifContextPtr context_;
  std::vector<heif_item_id> ids_;   // top-level images, the primary first
  HeifImagePtr image_;              // the started page, decoded
  const uint8_t* plane_ = nullptr;  // owned by image_
  size_t stride_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool alpha_ = false;
  int nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenHeifDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  // The plug-ins (HEVC, AV1) load on the first call; they stay for the program's life.
  static const bool initialised = heif_init(nullptr).code == heif_error_Ok;
  if (!initialised) return Refuse(failure, FailureKind::kUnsupported, "libheif plug-ins");
  if (file->size() > kHeifDecodeBudget) return Refuse(failure, FailureKind::kTooLarge);
  std::vector<uint8_t> data(static_cast<size_t>(file->size()));
  if (!file->ReadAt(0, data.data(), data.size())) return Refuse(failure, FailureKind::kReadError);
  auto decoder = std::make_unique<HeifDecoder>(std::move(data));
  if (!decoder->Init()) return Refuse(failure, *decoder);
  return decoder;
}
