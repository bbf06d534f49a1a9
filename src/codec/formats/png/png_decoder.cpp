// The PNG decoder: every colour type and bit depth, reduced to 8-bit canonical layouts with
// tRNS turned into alpha and gamma left alone. Non-interlaced images are decoded a row at a
// time; interlaced ones are decoded whole at StartPage.
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/decoder.h"
#include "codec/formats/byte_reader.h"
#include "codec/formats/formats.h"
#include "codec/formats/png/png_prefetch.h"
#include "codec/io/bytes.h"
#include "codec/io/exif.h"

namespace {

// Deflate cannot expand data more than about 1032 times; a header that needs more pixel data
// than that from the whole file describes a file that is not there.
constexpr uint64_t kMaxDeflateRatio = 1032;
// No ancillary chunk, once inflated, may be larger than this, nor all of them together more
// than the cache limit.
constexpr size_t kMaxChunkBytes = 64u << 20;
constexpr size_t kMaxChunkCache = 128u << 20;
// When the run has cores to spare, files at least this large are read, and their chunks' CRCs
// checked, on a thread of their own while this one inflates; smaller ones are not worth a thread.
constexpr uint64_t kPrefetchMinBytes = 4u << 20;

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// A fuzzer's mutations would almost never carry the right chunk CRCs, and checking them would
// keep it from ever reaching the decoder behind them.
constexpr bool kCheckCrc = false;
#else
constexpr bool kCheckCrc = true;
#endif

// Returns true when the file opens (after the signature) with an IHDR chunk of the right length
// and CRC (libspng leaves the IHDR CRC unchecked).
bool HasSoundHeader(const InputFile& file) {
  uint8_t head[33];
  if (!file.ReadAt(0, head, sizeof head)) return false;
  if (std::memcmp(head + 8, "\0\0\0\x0dIHDR", 8) != 0) return false;
  return !kCheckCrc || crc32(crc32(0, nullptr, 0), head + 12, 17) == LoadBe32(head + 29);
}

struct SpngCtxFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngCtx = std::unique_ptr<spng_ctx, SpngCtxFree>;

// Where libspng reads from: the file through a buffer, since libspng asks for each chunk's
// header, data and CRC apart.
struct StreamState {
  explicit StreamState(const InputFile& f) : file(f), reader(f, 0) {}
  const InputFile& file;
  ByteReader reader;
};

int ReadStream(spng_ctx* /*ctx*/, void* user, void* dst, size_t length) {
  auto* state = static_cast<StreamState*>(user);
  const uint64_t size = state->file.size();
  const uint64_t offset = state->reader.offset();
  if (offset > size || length > size - offset) return SPNG_IO_EOF;
  return state->reader.Read(static_cast<uint8_t*>(dst), length) ? 0 : SPNG_IO_ERROR;
}

int ReadPrefetched(spng_ctx* /*ctx*/, void* user, void* dst, size_t length) {
  switch (static_cast<PngPrefetch*>(user)->Read(static_cast<uint8_t*>(dst), length)) {
    case PngPrefetch::Result::kOk:
      return 0;
    case PngPrefetch::Result::kEnd:
      return SPNG_IO_EOF;
    default:
      return SPNG_IO_ERROR;
  }
}

// How a PNG colour type becomes a canonical layout: the libspng format it is decoded to, and
// whether gray is then taken back out of libspng's RGB(A).
struct Conversion {
  PixelLayout layout = PixelLayout::kRGB8;
  int format = SPNG_FMT_RGB8;
  int flags = 0;
  int decodedChannels = 3;
};

Conversion ChooseConversion(const spng_ihdr& ihdr, bool hasTrns) {
  Conversion c;
  switch (ihdr.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE:
      if (hasTrns) {
        c = {PixelLayout::kGA8, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS, 4};
      } else if (ihdr.bit_depth <= 8) {
        c = {PixelLayout::kG8, SPNG_FMT_G8, 0, 1};
      } else {
        c = {PixelLayout::kG8, SPNG_FMT_RGB8, 0, 3};
      }
      break;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
      c = {PixelLayout::kGA8, SPNG_FMT_RGBA8, 0, 4};
      break;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
      c = {PixelLayout::kRGBA8, SPNG_FMT_RGBA8, 0, 4};
      break;
    default:  // truecolour and palette
      if (hasTrns) {
        c = {PixelLayout::kRGBA8, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS, 4};
      } else {
        c = {PixelLayout::kRGB8, SPNG_FMT_RGB8, 0, 3};
      }
      break;
  }
  return c;
}

// Copies width pixels of libspng's output to the canonical layout: the same bytes, or gray
// (and alpha) taken from RGB(A).
void ConvertRow(const uint8_t* in, uint8_t* out, size_t width, const Conversion& c) {
  int outChannels = ChannelCount(c.layout);
  if (outChannels == c.decodedChannels) {
    std::memcpy(out, in, width * outChannels);
    return;
  }
  for (size_t x = 0; x < width; ++x) {
    const uint8_t* px = in + x * c.decodedChannels;
    out[x * outChannels] = px[0];
    if (outChannels == 2) out[x * 2 + 1] = px[3];
  }
}

class PngDecoder final : public Decoder {
 public:
  explicit PngDecoder(std::unique_ptr<InputFile> file) : file_(std::move(file)) {}

  // Returns true when the header is sound and fits the file.
  bool Open() {
    if (!NewContext()) return false;
    if (spng_get_ihdr(ctx_.get(), &ihdr_) != 0) return false;
    uint64_t width = ihdr_.width, height = ihdr_.height;
    if (width == 0 || height == 0) return Fail(FailureKind::kCorrupt, "no pixels");
    if (width * height > kMaxSourcePixels) return Fail(FailureKind::kTooLarge);
    int samples = ihdr_.color_type == SPNG_COLOR_TYPE_TRUECOLOR         ? 3
                  : ihdr_.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4
                  : ihdr_.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ? 2
                                                                        : 1;
    uint64_t rowBytes = (width * samples * ihdr_.bit_depth + 7) / 8 + 1;
    if (rowBytes * height / kMaxDeflateRatio > file_->size()) return false;
    spng_trns trns;
    conversion_ = ChooseConversion(ihdr_, spng_get_trns(ctx_.get(), &trns) == 0);
    ReadMetadata();
    geometry_.width = static_cast<int>(width);
    geometry_.height = static_cast<int>(height);
    geometry_.orientation = orientation_;
    contextFresh_ = true;
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
    image_.clear();
    image_.shrink_to_fit();
    if (page != 0 || info == nullptr) return Fail(FailureKind::kMisuse, "no such page");
    bool ahead = kCheckCrc && request.cores != nullptr && file_->size() >= kPrefetchMinBytes;
    if (!ahead || !NewPrefetchContext()) {
      if (!contextFresh_ && !NewContext()) return false;
      // The pixels are read from the file as it is now, not from what opening buffered.
      if (contextFresh_) stream_->reader.Restart(stream_->reader.offset());
    }
    contextFresh_ = false;
    size_t imageBytes = 0;
    if (spng_decoded_image_size(ctx_.get(), conversion_.format, &imageBytes) != 0) {
      EndPrefetch();
      return false;
    }
    decodedRowBytes_ = imageBytes / ihdr_.height;
    if (ihdr_.interlace_method != 0) {
      if (!DecodeWhole(imageBytes)) return false;
    } else {
      if (spng_decode_image(ctx_.get(), nullptr, 0, conversion_.format,
                            conversion_.flags | SPNG_DECODE_PROGRESSIVE) != 0) {
        EndPrefetch();
        return false;
      }
      scratch_.assign(decodedRowBytes_, 0);
    }
    info->width = geometry_.width;
    info->height = geometry_.height;
    info->layout = conversion_.layout;
    info->orientation = orientation_;
    info->icc = icc_;
    info->exif = exif_;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || rows == nullptr || count < 0) return Fail(FailureKind::kMisuse);
    if (static_cast<uint64_t>(nextRow_) + count > ihdr_.height) return false;
    for (int r = 0; r < count; ++r, ++nextRow_) {
      uint8_t* out = rows + static_cast<size_t>(r) * stride;
      if (!image_.empty()) {
        const uint8_t* decoded = image_.data() + static_cast<size_t>(nextRow_) * decodedRowBytes_;
        ConvertRow(decoded, out, ihdr_.width, conversion_);
        continue;
      }
      // Rows already in the canonical layout are decoded straight into the caller's buffer.
      bool direct = ChannelCount(conversion_.layout) == conversion_.decodedChannels;
      uint8_t* target = direct ? out : scratch_.data();
      int ret = spng_decode_row(ctx_.get(), target, decodedRowBytes_);
      bool last = nextRow_ + 1 == ihdr_.height;
      if (ret != 0 && !(ret == SPNG_EOI && last)) {
        started_ = false;
        bool failed = FailDecoding(ret);
        EndPrefetch();
        return failed;
      }
      if (last) {
        bool finished = FinishImage();
        EndPrefetch();
        if (!finished) {
          started_ = false;
          return false;
        }
      }
      if (!direct) ConvertRow(target, out, ihdr_.width, conversion_);
    }
    return true;
  }

 private:
  // Returns true with a fresh libspng context reading from the start of the file.
  bool NewContext() {
    EndPrefetch();
    if (!stream_) stream_.emplace(*file_);
    stream_->reader.Restart(0);
    return MakeContext(kCheckCrc ? 0 : SPNG_CTX_IGNORE_ADLER32,
                       kCheckCrc ? SPNG_CRC_ERROR : SPNG_CRC_USE,
                       kCheckCrc ? SPNG_CRC_DISCARD : SPNG_CRC_USE, &ReadStream, &*stream_);
  }

  // Returns true with a fresh libspng context reading from the start of the file through a
  // helper thread that reads ahead and checks the critical chunks' CRCs; false when none could
  // be set up (the caller then reads as usual). libspng keeps checking the ancillary chunks'
  // CRCs and drops the damaged ones, as on the usual path. Since it checks no critical CRC, it
  // leaves the image data's Adler-32 unchecked too: the IDAT CRCs cover the same compressed
  // bytes, so damage is still caught, by the helper, and the inflating thread is spared both.
  // (SPNG_CTX_IGNORE_ADLER32 is not needed for that, and would also skip the checksums of
  // compressed ancillary chunks, which keep the same checks as on the usual path.)
  bool NewPrefetchContext() {
    ctx_.reset();
    contextFresh_ = false;
    prefetch_ = PngPrefetch::Start(*file_);
    if (!prefetch_) return false;
    if (MakeContext(0, SPNG_CRC_USE, SPNG_CRC_DISCARD, &ReadPrefetched, prefetch_.get())) {
      return true;
    }
    EndPrefetch();
    return false;
  }

  // Returns true with ctx_ a new context of flags, with our limits and CRC actions, reading
  // through read(user); false when libspng refuses any of it.
  bool MakeContext(int flags, int criticalCrc, int ancillaryCrc, spng_rw_fn* read, void* user) {
    ctx_.reset(spng_ctx_new(flags));
    spng_ctx* ctx = ctx_.get();
    return ctx != nullptr && spng_set_image_limits(ctx, 0x7FFFFFFF, 0x7FFFFFFF) == 0 &&
           spng_set_chunk_limits(ctx, kMaxChunkBytes, kMaxChunkCache) == 0 &&
           spng_set_crc_action(ctx, criticalCrc, ancillaryCrc) == 0 &&
           spng_set_png_stream(ctx, read, user) == 0;
  }

  // Stops the reading helper, if any, once libspng reads no more through it.
  void EndPrefetch() {
    if (!prefetch_) return;
    ctx_.reset();
    prefetch_.reset();
  }

  // Returns ret, or libspng's own CRC error when ret is a read that the helper refused at the
  // CRC of a damaged critical chunk: the failure reads as when libspng checks that CRC.
  int CrcAware(int ret) const {
    return ret == SPNG_IO_ERROR && prefetch_ && prefetch_->crcFailed() ? SPNG_ECHUNK_CRC : ret;
  }

  bool DecodeWhole(size_t imageBytes) {
    image_.assign(imageBytes, 0);
    bool decoded = spng_decode_image(ctx_.get(), image_.data(), image_.size(), conversion_.format,
                                     conversion_.flags) == 0 &&
                   FinishImage();
    EndPrefetch();
    if (!decoded) image_.clear();
    return decoded;
  }

  // libspng stops reading once the pixels are complete, before the last image data chunk's
  // CRC; reading the chunks that follow checks it. Returns false when a critical chunk's CRC is
  // wrong; a missing IEND or a damaged ancillary chunk after the image is no error.
  // Returns false with libspng's reason for ret: the data ending early, or damage.
  bool FailDecoding(int ret) {
    ret = CrcAware(ret);
    return Fail(ret == SPNG_IO_EOF ? FailureKind::kTruncated : FailureKind::kCorrupt,
                spng_strerror(ret));
  }

  bool FinishImage() { return CrcAware(spng_decode_chunks(ctx_.get())) != SPNG_ECHUNK_CRC; }

  // Chunks before the image data; a damaged one is left out rather than failing the file.
  void ReadMetadata() {
    spng_iccp iccp;
    if (spng_get_iccp(ctx_.get(), &iccp) == 0 && iccp.profile != nullptr) {
      icc_.assign(iccp.profile, iccp.profile + iccp.profile_len);
    }
    spng_exif exif;
    if (spng_get_exif(ctx_.get(), &exif) == 0 && exif.data != nullptr && exif.length > 0) {
      const auto* data = reinterpret_cast<const uint8_t*>(exif.data);
      size_t prefix = ExifPrefixLength(data, exif.length);
      exif_.assign(data + prefix, data + exif.length);
      orientation_ = ReadExifOrientation(data, exif.length);
    }
  }

  std::unique_ptr<InputFile> file_;
  std::optional<StreamState> stream_;
  std::unique_ptr<PngPrefetch> prefetch_;  // before ctx_, which reads through it
  SpngCtx ctx_;
  spng_ihdr ihdr_{};
  Conversion conversion_;
  PageGeometry geometry_;
  int orientation_ = 1;
  std::vector<uint8_t> icc_;
  std::vector<uint8_t> exif_;
  bool contextFresh_ = false;  // ctx_ has read only the chunks before the image data
  bool started_ = false;
  uint32_t nextRow_ = 0;
  size_t decodedRowBytes_ = 0;
  std::vector<uint8_t> scratch_;  // one decoded row of a non-interlaced image
  std::vector<uint8_t> image_;    // the whole decoded interlaced image
};

}  // namespace

std::unique_ptr<Decoder> OpenPngDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  if (!HasSoundHeader(*file)) return Refuse(failure, FailureKind::kCorrupt, "unsound IHDR chunk");
  auto decoder = std::make_unique<PngDecoder>(std::move(file));
  if (!decoder->Open()) return Refuse(failure, *decoder);
  return decoder;
}
