#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/tiff/tiff_band_pool.h"
#include "codec/formats/tiff/tiff_decoder_io.h"
#include "codec/formats/tiff/tiff_decoder_rows.h"

namespace {

constexpr int kMaxPages = 10000;
constexpr uint64_t kMaxBandBytes = 256ull << 20;
// The largest contiguous strip held whole; larger ones are read a row at a time.
constexpr uint64_t kMaxStripBufferBytes = 64ull << 20;
// Compressed strips and tiles that claim to expand more than this are taken as lies.
constexpr uint64_t kMaxCompressionRatio = 1ull << 15;
// Bands are decoded on helper threads only for pages this large, whose bands are small enough
// that the few in flight stay cheap, and by at most this many helpers.
constexpr uint64_t kParallelMinPixels = 1000 * 1000;
constexpr uint64_t kParallelMaxBandBytes = 16ull << 20;
constexpr int kMaxBandHelpers = 3;

// Returns true when the strips or tiles stored in the file can plausibly hold the current
// directory's pixels.
bool StoredBytesPlausible(TIFF* tif, uint64_t fileSize, uint32_t height) {
  uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG, spp = 1;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  // Old-style JPEG often records its data outside the strip tags.
  if (compression == COMPRESSION_OJPEG) return true;
  uint64_t rowBytes = TIFFScanlineSize64(tif);
  if (rowBytes == 0) return false;
  uint64_t raw = 0;
  if (__builtin_mul_overflow(rowBytes, uint64_t{height}, &raw)) return false;
  if (planar == PLANARCONFIG_SEPARATE && __builtin_mul_overflow(raw, uint64_t{spp}, &raw)) {
    return false;
  }
  uint32_t striles = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  uint64_t stored = 0;
  for (uint32_t i = 0; i < striles; ++i) {
    uint64_t offset = TIFFGetStrileOffset(tif, i);
    uint64_t count = TIFFGetStrileByteCount(tif, i);
    if (offset < fileSize) stored += std::min(count, fileSize - offset);
  }
  if (compression == COMPRESSION_NONE) return stored >= raw / 2;
  return stored >= raw / kMaxCompressionRatio;
}

// Returns true and the current directory's geometry when it is a page we can read.
bool CurrentGeometry(TIFF* tif, uint64_t fileSize, PageGeometry* geometry) {
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) || width == 0 || height == 0) {
    return false;
  }
  if (static_cast<uint64_t>(width) * height > kMaxSourcePixels) return false;
  if (!StoredBytesPlausible(tif, fileSize, height)) return false;
  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  geometry->width = static_cast<int>(width);
  geometry->height = static_cast<int>(height);
  geometry->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  return true;
}

// Fills format from the current directory; returns false when ConvertTiffRow cannot read it.
bool DirectFormat(TIFF* tif, uint32_t width, TiffRowFormat* format) {
  uint16_t photometric = 0, bps = 1, spp = 1, planar = PLANARCONFIG_CONTIG;
  uint16_t sampleFormat = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE;
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TiffRowFormat f;
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
      f.invert = true;
      [[fallthrough]];
    case PHOTOMETRIC_MINISBLACK:
      f.color = TiffColor::kGray;
      break;
    case PHOTOMETRIC_RGB:
      f.color = TiffColor::kRgb;
      break;
    case PHOTOMETRIC_PALETTE:
      f.color = TiffColor::kPalette;
      break;
    case PHOTOMETRIC_SEPARATED: {
      uint16_t inkSet = INKSET_CMYK;
      TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
      if (inkSet != INKSET_CMYK) return false;
      f.color = TiffColor::kCmyk;
      break;
    }
    case PHOTOMETRIC_CIELAB:
      // libtiff's own Lab conversion (its RGBA reader) leaves the D50 white yellowish.
      f.color = TiffColor::kLab;
      f.lab = LabToSrgb::Create();
      if (f.lab == nullptr) return false;
      // The photometric fixes the signs of the samples; writers disagree on SampleFormat.
      sampleFormat = SAMPLEFORMAT_UINT;
      break;
    case PHOTOMETRIC_YCBCR:
      // libtiff's JPEG codec can hand out RGB itself.
      if (compression != COMPRESSION_JPEG || planar != PLANARCONFIG_CONTIG || bps != 8) {
        return false;
      }
      if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return false;
      f.color = TiffColor::kRgb;
      break;
    default:
      return false;
  }
  switch (sampleFormat) {
    case SAMPLEFORMAT_UINT:
    case SAMPLEFORMAT_VOID:
      f.kind = TiffSampleKind::kUnsigned;
      break;
    case SAMPLEFORMAT_INT:
      f.kind = TiffSampleKind::kSigned;
      break;
    case SAMPLEFORMAT_IEEEFP:
      f.kind = TiffSampleKind::kFloat;
      break;
    default:
      return false;
  }
  if (planar != PLANARCONFIG_CONTIG && planar != PLANARCONFIG_SEPARATE) return false;
  f.bitsPerSample = bps;
  f.samplesPerPixel = spp;
  f.separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
  f.width = static_cast<int>(width);
  int base = TiffColorSamples(f.color);
  uint16_t extraCount = 0;
  const uint16_t* extra = nullptr;
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extra != nullptr) {
    if (f.color == TiffColor::kCmyk && spp - extraCount != 4) return false;
    for (int i = 0; i < extraCount; ++i) {
      if (extra[i] == EXTRASAMPLE_ASSOCALPHA || extra[i] == EXTRASAMPLE_UNASSALPHA) {
        f.alphaSample = base + i;
        f.premultiplied = extra[i] == EXTRASAMPLE_ASSOCALPHA;
        break;
      }
    }
  } else if (f.color == TiffColor::kCmyk && spp != 4) {
    return false;
  }
  if (f.color == TiffColor::kPalette) {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (bps > 16 || f.kind != TiffSampleKind::kUnsigned ||
        !TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) || red == nullptr) {
      return false;
    }
    SetTiffPalette(f, red, green, blue);
  }
  if (!TiffRowFormatSupported(f)) return false;
  *format = std::move(f);
  return true;
}

// Owns a TIFFRGBAImage between Begin and End.
struct RgbaImage {
  TIFFRGBAImage image{};
  bool begun = false;
  RgbaImage() = default;
  RgbaImage(const RgbaImage&) = delete;
  RgbaImage& operator=(const RgbaImage&) = delete;
  ~RgbaImage() {
    if (begun) TIFFRGBAImageEnd(&image);
  }
};

enum class ReadMode : uint8_t { kScanlines, kStrips, kTiles, kRgba };

class TiffDecoder final : public Decoder {
 public:
  TiffDecoder(std::unique_ptr<InputFile> file, std::unique_ptr<TiffSource> reader, int pages)
      : file_(std::move(file)), reader_(std::move(reader)), pageCount_(pages) {}

  int PageCount() override { return pageCount_; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page < 0 || page >= pageCount_) return false;
    // A handle of its own, so that probing never disturbs a page being read.
    if (!prober_) prober_ = TiffSource::Open(file_.get());
    if (!prober_ || !prober_->SetPage(page, &offsets_)) return false;
    return CurrentGeometry(prober_->tif(), file_->size(), geometry);
  }

  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    started_ = false;
    pool_.reset();
    rgba_.reset();
    // A page is read from the file as it is now, not from what was read ahead before.
    reader_->DropReadAhead();
    TIFF* tif = reader_->tif();
    PageGeometry geometry;
    if (page < 0 || page >= pageCount_ || !reader_->SetPage(page, &offsets_) ||
        !CurrentGeometry(tif, file_->size(), &geometry)) {
      return false;
    }
    width_ = static_cast<uint32_t>(geometry.width);
    height_ = static_cast<uint32_t>(geometry.height);
    PixelLayout layout;
    if (!SetupDirect(tif, &layout) && !SetupRgba(tif, &layout)) return false;
    info->width = geometry.width;
    info->height = geometry.height;
    info->layout = layout;
    info->orientation = geometry.orientation;
    info->exif.clear();
    info->icc.clear();
    uint32_t iccLength = 0;
    const uint8_t* icc = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &iccLength, &icc) && icc != nullptr) {
      info->icc.assign(icc, icc + iccLength);
    }
    nextRow_ = 0;
    bandRows_ = 0;
    if (request.cores != nullptr) StartPool(page, request.cores);
    started_ = true;
    return true;
  }

  bool BorrowsCores() const override { return pool_ != nullptr; }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0) return false;
    for (int i = 0; i < count; ++i) {
      if (nextRow_ >= height_) return false;
      if (bandRows_ == 0 || nextRow_ < bandFirst_ || nextRow_ - bandFirst_ >= bandRows_) {
        if (!LoadBand(nextRow_)) {
          started_ = false;
          pool_.reset();
          return false;
        }
      }
      ConvertRow(nextRow_, rows + static_cast<size_t>(i) * stride);
      ++nextRow_;
    }
    return true;
  }

 private:
  bool SetupDirect(TIFF* tif, PixelLayout* layout);
  bool SetupRgba(TIFF* tif, PixelLayout* layout);
  void StartPool(int page, CoreBudget* cores);
  bool LoadBand(uint32_t row);
  void ConvertRow(uint32_t row, uint8_t* out);

  std::unique_ptr<InputFile> file_;
  std::unique_ptr<TiffSource> reader_;
  std::unique_ptr<TiffSource> prober_;
  std::unique_ptr<RgbaImage> rgba_;  // after reader_: ends before the handle it reads
  int pageCount_;
  // Where each page's directory lies, once a handle has read it: pages asked for in turn (a
  // file split page by page) are each found in one step, never by walking the chain again.
  std::vector<uint64_t> offsets_;

  bool started_ = false;
  ReadMode mode_ = ReadMode::kScanlines;
  TiffRowFormat format_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t nextRow_ = 0;
  uint32_t bandHeight_ = 1;  // rows a full band holds
  uint32_t bandFirst_ = 0;
  uint32_t bandRows_ = 0;  // rows loaded, 0 when none
  int planes_ = 1;         // planes held in band_
  uint64_t planeRowBytes_ = 0;
  uint64_t planeBytes_ = 0;
  uint32_t tileWidth_ = 0;
  uint32_t tilesAcross_ = 0;
  uint64_t tileRowBytes_ = 0;
  std::vector<uint8_t> tile_;
  std::vector<uint8_t> band_;
  std::vector<const uint8_t*> planeRows_;  // the current row of each plane in band_
  std::vector<uint32_t> rgbaBand_;
  TiffBandShape shape_;  // of strips and tiles
  // Helpers decoding the page's next bands; last: stopped before anything they read from.
  std::unique_ptr<TiffBandPool> pool_;
};

bool TiffDecoder::SetupDirect(TIFF* tif, PixelLayout* layout) {
  if (!DirectFormat(tif, width_, &format_)) return false;
  const TiffRowFormat& f = format_;
  int base = TiffColorSamples(f.color);
  int needed = f.alphaSample >= 0 && f.color != TiffColor::kCmyk ? f.alphaSample + 1 : base;
  planes_ = f.separate ? needed : 1;
  uint64_t minRowBytes = TiffPlaneRowBytes(f, width_);
  if (minRowBytes == 0) return false;
  if (TIFFIsTiled(tif)) {
    uint32_t tileHeight = 0;
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth_) ||
        !TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileHeight) || tileWidth_ == 0 || tileHeight == 0) {
      return false;
    }
    // Tile rows must end on a byte for them to be laid side by side.
    if ((static_cast<uint64_t>(tileWidth_) * (f.separate ? 1 : f.samplesPerPixel) *
         static_cast<uint64_t>(f.bitsPerSample)) %
            8 !=
        0) {
      return false;
    }
    tileRowBytes_ = TIFFTileRowSize64(tif);
    uint64_t tileBytes = TIFFTileSize64(tif);
    if (tileRowBytes_ < TiffPlaneRowBytes(f, tileWidth_) ||
        tileBytes < tileRowBytes_ * tileHeight || tileBytes > kMaxBandBytes) {
      return false;
    }
    tilesAcross_ =
        static_cast<uint32_t>((static_cast<uint64_t>(width_) + tileWidth_ - 1) / tileWidth_);
    planeRowBytes_ = tileRowBytes_ * tilesAcross_;
    bandHeight_ = std::min(tileHeight, height_);
    tile_.assign(static_cast<size_t>(tileBytes), 0);
    mode_ = ReadMode::kTiles;
  } else {
    planeRowBytes_ = TIFFScanlineSize64(tif);
    if (planeRowBytes_ < minRowBytes) return false;
    uint32_t rowsPerStrip = height_;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, height_);
    // Whole strips decode much faster than rows (libtiff inflates a whole deflate strip with
    // libdeflate, a row at a time only with zlib), but a contiguous strip may be the whole
    // image: one too large to hold is read a row at a time.
    if (f.separate || planeRowBytes_ <= kMaxStripBufferBytes / rowsPerStrip) {
      bandHeight_ = rowsPerStrip;
      mode_ = ReadMode::kStrips;
    } else {
      bandHeight_ = 1;
      mode_ = ReadMode::kScanlines;
    }
  }
  if (planeRowBytes_ > kMaxBandBytes) return false;
  planeBytes_ = planeRowBytes_ * bandHeight_;
  if (planeBytes_ > kMaxBandBytes || planeBytes_ * static_cast<uint64_t>(planes_) > kMaxBandBytes) {
    return false;
  }
  band_.assign(static_cast<size_t>(planeBytes_) * static_cast<size_t>(planes_), 0);
  planeRows_.assign(static_cast<size_t>(planes_), nullptr);
  shape_ = {.tiled = mode_ == ReadMode::kTiles,
            .planes = planes_,
            .height = height_,
            .bandHeight = bandHeight_,
            .planeRowBytes = planeRowBytes_,
            .planeBytes = planeBytes_,
            .tileWidth = tileWidth_,
            .tilesAcross = tilesAcross_,
            .tileRowBytes = tileRowBytes_,
            .tileBytes = tile_.size()};
  *layout = TiffRowLayout(f);
  return true;
}

bool TiffDecoder::SetupRgba(TIFF* tif, PixelLayout* layout) {
  // Lab is read directly or not at all: the RGBA reader's colours are off (see DirectFormat).
  uint16_t photometric = 0;
  if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) && photometric == PHOTOMETRIC_CIELAB) {
    return false;
  }
  char message[1024] = {};
  if (!TIFFRGBAImageOK(tif, message)) return false;
  auto owner = std::make_unique<RgbaImage>();
  if (!TIFFRGBAImageBegin(&owner->image, tif, 1, message)) return false;
  owner->begun = true;
  // Rows in stored order: the page's orientation is left to the caller.
  owner->image.req_orientation = ORIENTATION_TOPLEFT;
  owner->image.orientation = ORIENTATION_TOPLEFT;
  uint32_t bandHeight = height_;
  if (TIFFIsTiled(tif)) {
    if (!TIFFGetField(tif, TIFFTAG_TILELENGTH, &bandHeight)) return false;
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &bandHeight);
  }
  bandHeight_ = std::clamp<uint32_t>(bandHeight, 1, height_);
  uint64_t bandPixels = static_cast<uint64_t>(bandHeight_) * width_;
  if (bandPixels * 4 > 2 * kMaxBandBytes) return false;
  rgbaBand_.assign(static_cast<size_t>(bandPixels), 0);
  band_.clear();
  tile_.clear();
  mode_ = ReadMode::kRgba;
  *layout = owner->image.alpha != 0 ? PixelLayout::kRGBA8 : PixelLayout::kRGB8;
  rgba_ = std::move(owner);
  return true;
}

bool TiffDecoder::LoadBand(uint32_t row) {
  TIFF* tif = reader_->tif();
  uint32_t first = row / bandHeight_ * bandHeight_;
  uint32_t rows = std::min(bandHeight_, height_ - first);
  switch (mode_) {
    case ReadMode::kScanlines:
      if (TIFFReadScanline(tif, band_.data(), row, 0) < 0) return false;
      break;
    case ReadMode::kStrips:
    case ReadMode::kTiles:
      if (pool_ != nullptr) {
        const uint32_t index = first / bandHeight_;
        bool taken = pool_->Take(index, &band_, tif, &tile_);
        // Helpers have nothing left to do after the last band: none outlives the page's reading.
        if (first + rows >= height_) pool_.reset();
        if (taken) break;
      }
      if (!ReadTiffBand(tif, shape_, first, band_.data(), &tile_)) return false;
      break;
    case ReadMode::kRgba:
      rgba_->image.row_offset = static_cast<int>(first);
      rgba_->image.col_offset = 0;
      if (!TIFFRGBAImageGet(&rgba_->image, rgbaBand_.data(), width_, rows)) return false;
      break;
  }
  bandFirst_ = mode_ == ReadMode::kScanlines ? row : first;
  bandRows_ = mode_ == ReadMode::kScanlines ? 1 : rows;
  return true;
}

void TiffDecoder::StartPool(int page, CoreBudget* cores) {
  if (mode_ != ReadMode::kStrips && mode_ != ReadMode::kTiles) return;
  if (static_cast<uint64_t>(width_) * height_ < kParallelMinPixels || bandHeight_ >= height_ ||
      band_.size() > kParallelMaxBandBytes) {
    return;
  }
  // Old-style JPEG decodes strips only in order, each after the one before.
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(reader_->tif(), TIFFTAG_COMPRESSION, &compression);
  if (compression == COMPRESSION_OJPEG) return;
  const uint32_t width = width_;
  // A helper's handle reads the page as this one does (the JPEG colour mode included).
  auto prepare = [width](TIFF* tif) {
    TiffRowFormat format;
    return DirectFormat(tif, width, &format);
  };
  pool_ = std::make_unique<TiffBandPool>(file_.get(), page, offsets_, shape_, std::move(prepare),
                                         cores, kMaxBandHelpers);
}

void TiffDecoder::ConvertRow(uint32_t row, uint8_t* out) {
  size_t inBand = row - bandFirst_;
  if (mode_ == ReadMode::kRgba) {
    const uint32_t* px = rgbaBand_.data() + inBand * width_;
    bool alpha = rgba_->image.alpha != 0;
    for (uint32_t x = 0; x < width_; ++x) {
      uint32_t v = px[x];
      uint8_t a = static_cast<uint8_t>(TIFFGetA(v));
      uint8_t rgb[3] = {static_cast<uint8_t>(TIFFGetR(v)), static_cast<uint8_t>(TIFFGetG(v)),
                        static_cast<uint8_t>(TIFFGetB(v))};
      for (uint8_t c : rgb) *out++ = alpha ? Unpremultiply(c, a) : c;
      if (alpha) *out++ = a;
    }
    return;
  }
  for (int s = 0; s < planes_; ++s) {
    planeRows_[static_cast<size_t>(s)] =
        band_.data() + planeBytes_ * static_cast<size_t>(s) + planeRowBytes_ * inBand;
  }
  ConvertTiffRow(format_, planeRows_.data(), out);
}

}  // namespace

std::unique_ptr<Decoder> OpenTiffDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  if (file->size() < 8) return Refuse(failure, FailureKind::kTruncated);
  std::unique_ptr<TiffSource> source = TiffSource::Open(file.get());
  if (!source) return Refuse(failure, FailureKind::kCorrupt, "libtiff cannot open it");
  // A DNG is a TIFF whose first page is only the camera's small preview; the picture is the
  // raw data, which the raw decoder reads. Whatever made that decoder refuse, the preview is
  // never passed off as the picture.
  // The tag has a fixed count of four bytes, so libtiff hands out only the pointer: a count
  // asked for beside it would receive the pointer's eight bytes in its four.
  const uint8_t* dngVersion = nullptr;
  if (TIFFGetField(source->tif(), TIFFTAG_DNGVERSION, &dngVersion) == 1) {
    return Refuse(failure, FailureKind::kUnsupported, "a camera raw (DNG) file");
  }
  PageGeometry first;
  if (!CurrentGeometry(source->tif(), file->size(), &first)) {
    return Refuse(failure, FailureKind::kUnsupported, "first page unusable");
  }
  // libtiff stops counting at a directory chain that loops back on itself.
  tdir_t directories = TIFFNumberOfDirectories(source->tif());
  int pages = static_cast<int>(std::clamp<tdir_t>(directories, 1, kMaxPages));
  return std::make_unique<TiffDecoder>(std::move(file), std::move(source), pages);
}
