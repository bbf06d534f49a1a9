// JPEG 2000 (JP2 files and bare codestreams) through OpenJPEG, decoded a part at a time so
// that a large image needs little memory: a tiled image a row of tiles at a time, an untiled
// one (a single tile, what most encoders write) in bands of rows, for which OpenJPEG decodes
// only the code-blocks a band needs. When a smaller page is asked for, lower resolution levels
// are decoded instead (each halves both sides).
#include "codec/formats/jp2/jp2_decoder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/jp2/jp2_header.h"
#include "codec/formats/jp2/jp2_pixels.h"
#include "codec/formats/jp2/jp2_session.h"

namespace {

// An untiled image's band is never fewer rows than this (unless the image is): a code-block
// is up to 64 rows high and the wavelet needs a few rows beyond a band at every level, so
// thinner bands would decode the same code-blocks over and over.
constexpr uint32_t kMinBandRows = 64;
// What OpenJPEG holds while decoding a band of an untiled image, for each 32-bit sample of
// the band: the band's planes, the code-blocks decoded for it and the wavelet's working copy.
constexpr uint64_t kBandBytesPerSample = 12;
// What OpenJPEG keeps for an untiled image throughout its decode, besides its compressed
// data: records of every code-block of the tile, about one byte for this many samples.
constexpr uint64_t kSamplesPerRecordByte = 2;
// They grow by about one byte for this many samples with every band decoded on one codec.
constexpr uint64_t kSamplesPerGrowthByte = 256;

// Returns the failure kind that an OpenJPEG error text stands for.
FailureKind KindOf(const std::string& error) {
  if (error.find("too short") != std::string::npos ||
      error.find("truncated") != std::string::npos ||
      error.find("end of stream") != std::string::npos) {
    return FailureKind::kTruncated;
  }
  if (error.find("memory") != std::string::npos) return FailureKind::kTooLarge;
  return FailureKind::kCorrupt;
}

class Jp2Decoder final : public Decoder {
 public:
  Jp2Decoder(std::unique_ptr<InputFile> file, uint64_t bandBytes)
      : file_(std::move(file)), bandBytes_(bandBytes) {}

  // Returns true when the file's header is sound and its colour one we convert.
  bool Open() {
    Failure failure;
    if (!ReadJp2Header(*file_, &header_, &failure) || !BuildJp2Model(header_, &model_, &failure)) {
      return Fail(failure.kind, failure.text);
    }
    std::string error;
    std::unique_ptr<Jp2Session> session = Jp2Session::Open(*file_, header_.isJp2, 0, &error);
    if (!session) return Fail(KindOf(error), error);
    const opj_image_t& image = session->image();
    if (image.x0 != header_.siz.x0 || image.y0 != header_.siz.y0 || image.x1 != header_.siz.x1 ||
        image.y1 != header_.siz.y1 || image.numcomps != header_.siz.components.size()) {
      return Fail(FailureKind::kCorrupt, "codestream header read two ways");
    }
    resolutions_ = session->MinResolutions();
    return true;
  }

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0 || geometry == nullptr) return Fail(FailureKind::kMisuse, "no such page");
    geometry->width = static_cast<int>(header_.siz.x1 - header_.siz.x0);
    geometry->height = static_cast<int>(header_.siz.y1 - header_.siz.y0);
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    started_ = false;
    session_.reset();
    pending_.clear();
    band_ = {};
    if (page != 0 || info == nullptr) return Fail(FailureKind::kMisuse, "no such page");
    const int reduce = ChooseReduce(request);
    converter_ = std::make_unique<Jp2TileConverter>(header_, model_, reduce);
    untiled_ = header_.siz.tilesAcross == 1 && header_.siz.tilesDown == 1;
    if (untiled_ ? !ChooseBand() : !WithinBudget(reduce)) {
      return Fail(FailureKind::kTooLarge, untiled_
                                              ? "a band of rows needs more than the decode budget"
                                              : "a tile row needs more than the decode budget");
    }
    std::string error;
    session_ = Jp2Session::Open(*file_, header_.isJp2, reduce, &error);
    if (!session_) return Fail(KindOf(error), error);
    reduce_ = reduce;
    nextTileRow_ = 0;
    nextRow_ = 0;
    info->width = static_cast<int>(converter_->width());
    info->height = static_cast<int>(converter_->height());
    info->layout = model_.layout;
    info->orientation = 1;
    info->icc = header_.icc;
    info->exif.clear();
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || rows == nullptr || count < 0) return Fail(FailureKind::kMisuse);
    if (static_cast<uint64_t>(nextRow_) + static_cast<uint64_t>(count) > converter_->height()) {
      return Fail(FailureKind::kMisuse, "past the last row");
    }
    const size_t rowBytes = size_t{converter_->width()} * converter_->channels();
    for (int r = 0; r < count; ++r, ++nextRow_) {
      while (nextRow_ >= band_.firstRow + band_.rows) {
        if (untiled_ ? !LoadBand() : !LoadTileRow()) {
          started_ = false;
          return false;
        }
      }
      std::memcpy(rows + static_cast<size_t>(r) * stride,
                  band_.pixels.data() + size_t{nextRow_ - band_.firstRow} * rowBytes, rowBytes);
    }
    return true;
  }

 private:
  // Returns the largest reduce factor whose image still meets the request in both directions
  // and is smaller than the stored one; 0 when the stored size is asked for.
  int ChooseReduce(const DecodeRequest& request) const {
    if (request.minWidth <= 0 && request.minHeight <= 0) return 0;
    const Jp2Siz& siz = header_.siz;
    int chosen = 0;
    for (int r = 1; r < resolutions_; ++r) {
      const uint32_t width = CeilDivPow2(siz.x1, r) - CeilDivPow2(siz.x0, r);
      const uint32_t height = CeilDivPow2(siz.y1, r) - CeilDivPow2(siz.y0, r);
      if (width < static_cast<uint32_t>(std::max(request.minWidth, 0)) ||
          height < static_cast<uint32_t>(std::max(request.minHeight, 0)) ||
          width >= siz.x1 - siz.x0 || height >= siz.y1 - siz.y0) {
        break;
      }
      chosen = r;
    }
    return chosen;
  }

  // Returns true when one tile's decode (OpenJPEG keeps 4 bytes a sample, we take the 1 or 2
  // it hands over) and one row of tiles as output fit kJp2DecodeBudget.
  bool WithinBudget(int reduce) const {
    const Jp2Siz& siz = header_.siz;
    const uint64_t tileWidth = std::min<uint64_t>(siz.tileWidth, siz.x1 - siz.x0);
    const uint64_t tileHeight = std::min<uint64_t>(siz.tileHeight, siz.y1 - siz.y0);
    const uint64_t tilePixels = ((tileWidth >> reduce) + 1) * ((tileHeight >> reduce) + 1);
    uint64_t bytesPerPixel = 0;
    for (const Jp2Component& c : siz.components) bytesPerPixel += c.precision > 8 ? 6 : 5;
    const uint64_t band = uint64_t{converter_->width()} * ((tileHeight >> reduce) + 1) *
                          static_cast<uint64_t>(converter_->channels());
    return tilePixels * bytesPerPixel + band <= kJp2DecodeBudget;
  }

  // Returns true after choosing how many rows an untiled image is decoded at a time (as many
  // as keep OpenJPEG's planes of the band near bandBytes_, never fewer than kMinBandRows) and
  // how many bands one codec decodes. Returns false when that band, OpenJPEG's records of the
  // whole tile and our rows exceed the budget.
  bool ChooseBand() {
    const Jp2Siz& siz = header_.siz;
    uint64_t rowSamples = 0;  // OpenJPEG's samples for one output row, all components
    for (const Jp2Component& c : siz.components) {
      rowSamples += (uint64_t{converter_->width()} + static_cast<uint64_t>(c.dx) - 1) /
                    static_cast<uint64_t>(c.dx);
    }
    const uint64_t rowBytes = std::max<uint64_t>(rowSamples * 4, 1);
    const uint64_t rows =
        std::min<uint64_t>(std::max<uint64_t>(bandBytes_ / rowBytes, kMinBandRows),
                           std::max<uint32_t>(converter_->height(), 1));
    bandRows_ = static_cast<uint32_t>(rows);
    // The records grow with every band decoded; a codec is kept for as many bands as make them
    // grow by about bandBytes_.
    const uint64_t tileSamples =
        uint64_t{siz.x1 - siz.x0} * (siz.y1 - siz.y0) * siz.components.size();
    const uint64_t growth = std::max<uint64_t>(tileSamples / kSamplesPerGrowthByte, 1);
    const uint64_t bands =
        std::max<uint64_t>((uint64_t{converter_->height()} + rows - 1) / rows, 1);
    bandsPerSession_ = static_cast<uint32_t>(std::clamp<uint64_t>(bandBytes_ / growth, 1, bands));
    bandsDecoded_ = 0;
    // A band's decode reaches above it by the largest vertical subsampling.
    bandAbove_ = 0;
    for (const Jp2Component& c : siz.components) {
      bandAbove_ = std::max(bandAbove_, static_cast<uint32_t>(c.dy));
    }
    const uint64_t ours =
        rows * converter_->width() * static_cast<uint64_t>(converter_->channels());
    return (rows + bandAbove_) * rowSamples * kBandBytesPerSample +
               tileSamples / kSamplesPerRecordByte + bandsPerSession_ * growth + ours <=
           kJp2DecodeBudget;
  }

  // Decodes the next band of rows of an untiled image and makes it the band rows are read
  // from. Returns false (with the reason set) on a decoding error.
  bool LoadBand() {
    const Jp2Siz& siz = header_.siz;
    const uint32_t first = band_.firstRow + band_.rows;
    if (first >= converter_->height()) return Fail(FailureKind::kCorrupt, "rows past the image");
    const uint32_t end = std::min(first + bandRows_, converter_->height());
    // The band's rows on the reference grid, from the output row bandAbove_ rows above it:
    // each row then finds the component sample at or before it, subsampled or not, exactly as
    // in a decode of the whole image.
    const uint64_t originY = CeilDivPow2(siz.y0, reduce_);
    const uint64_t top =
        originY + first > bandAbove_ ? (originY + first - bandAbove_) << reduce_ : 0;
    const uint64_t bottom = (originY + end) << reduce_;
    const Jp2TileArea area{siz.x0, static_cast<uint32_t>(std::max<uint64_t>(top, siz.y0)), siz.x1,
                           static_cast<uint32_t>(std::min<uint64_t>(bottom, siz.y1)), reduce_};
    // OpenJPEG's records of the tile grow a little with every part decoded on one codec, so a
    // fresh one is opened (reading the tile's compressed data again) after a while.
    if (bandsDecoded_ >= bandsPerSession_) {
      std::string error;
      session_.reset();
      session_ = Jp2Session::Open(*file_, header_.isJp2, reduce_, &error);
      if (!session_) return Fail(KindOf(error), error);
      bandsDecoded_ = 0;
    }
    ++bandsDecoded_;
    if (!session_->DecodeArea(area.x0, area.y0, area.x1, area.y1)) {
      return Fail(KindOf(session_->Error()), session_->Error());
    }
    const opj_image_t& image = session_->image();
    std::vector<const int32_t*> planes(siz.components.size());
    for (size_t c = 0; c < planes.size(); ++c) {
      uint32_t width = 0, height = 0;
      converter_->ComponentSize(area, static_cast<int>(c), &width, &height);
      if (c >= image.numcomps || image.comps[c].data == nullptr || image.comps[c].w != width ||
          image.comps[c].h != height) {
        return Fail(FailureKind::kCorrupt, "band decoded at another size");
      }
      planes[c] = image.comps[c].data;
    }
    band_.firstRow = first;
    band_.rows = end - first;
    band_.pixels.assign(
        size_t{band_.rows} * converter_->width() * static_cast<size_t>(converter_->channels()),
        255);
    converter_->ConvertPlanes(planes.data(), area, &band_);
    return true;
  }

  // Decodes tiles until the next row of tiles is complete and makes it the band rows are read
  // from. Returns false (with the reason set) on a decoding error or when tiles are missing.
  bool LoadTileRow() {
    const Jp2Siz& siz = header_.siz;
    if (nextTileRow_ >= siz.tilesDown) return Fail(FailureKind::kCorrupt, "rows past the tiles");
    const uint32_t row = nextTileRow_;
    while (pending_.count(row) == 0 || pending_[row].tiles < static_cast<int>(siz.tilesAcross)) {
      uint32_t index = 0, bytes = 0;
      int32_t area[4] = {};
      bool more = false;
      if (!session_->NextTile(&index, area, &bytes, &more)) {
        return Fail(KindOf(session_->Error()), session_->Error());
      }
      if (!more) return Fail(FailureKind::kTruncated, "tiles missing");
      const uint32_t tileRow = index / siz.tilesAcross;
      const Jp2TileArea tileArea{static_cast<uint32_t>(area[0]), static_cast<uint32_t>(area[1]),
                                 static_cast<uint32_t>(area[2]), static_cast<uint32_t>(area[3]),
                                 reduce_};
      if (tileRow < row || tileRow >= siz.tilesDown || area[0] < 0 || area[1] < 0 ||
          area[2] < area[0] || area[3] < area[1] || converter_->TileBytes(tileArea) != bytes) {
        return Fail(FailureKind::kCorrupt, "tile out of place");
      }
      tile_.resize(bytes);
      if (!session_->DecodeTile(index, tile_.data(), bytes)) {
        return Fail(KindOf(session_->Error()), session_->Error());
      }
      Jp2Band& band = pending_[tileRow];
      if (band.tiles == 0 && !AllocateBand(tileRow, &band)) return false;
      if (++band.tiles > static_cast<int>(siz.tilesAcross)) {
        return Fail(FailureKind::kCorrupt, "tile decoded twice");
      }
      converter_->Convert(tile_.data(), tileArea, &band);
    }
    band_ = std::move(pending_[row]);
    pending_.erase(row);
    ++nextTileRow_;
    return true;
  }

  // Returns true after sizing band for tile row `row`; false when the rows held for tiles
  // that came early would exceed the budget.
  bool AllocateBand(uint32_t row, Jp2Band* band) {
    uint32_t end = 0;
    converter_->TileRowSpan(row, &band->firstRow, &end);
    band->rows = end - band->firstRow;
    uint64_t held = 0;
    for (const auto& [index, other] : pending_) held += other.pixels.size();
    const uint64_t bytes =
        uint64_t{band->rows} * converter_->width() * static_cast<uint64_t>(converter_->channels());
    if (held + bytes > kJp2DecodeBudget) return Fail(FailureKind::kTooLarge, "tiles out of order");
    band->pixels.assign(static_cast<size_t>(bytes), 255);
    return true;
  }

  std::unique_ptr<InputFile> file_;
  uint64_t bandBytes_;  // OpenJPEG's planes of one band of an untiled image, near this
  Jp2Header header_;
  Jp2Model model_;
  int resolutions_ = 1;
  std::unique_ptr<Jp2Session> session_;
  std::unique_ptr<Jp2TileConverter> converter_;
  int reduce_ = 0;
  bool untiled_ = false;  // decoded in bands of bandRows_ rows
  uint32_t bandRows_ = 0;
  uint32_t bandAbove_ = 0;        // rows decoded above a band
  uint32_t bandsPerSession_ = 1;  // decoded on one codec before a fresh one is opened
  uint32_t bandsDecoded_ = 0;     // on the current codec
  bool started_ = false;
  uint32_t nextRow_ = 0;
  uint32_t nextTileRow_ = 0;
  Jp2Band band_;                         // the rows being read
  std::map<uint32_t, Jp2Band> pending_;  // rows of tiles being filled
  std::vector<uint8_t> tile_;            // one tile's decoded samples
};

}  // namespace

std::unique_ptr<Decoder> OpenJp2DecoderInBands(std::unique_ptr<InputFile> file, uint64_t bandBytes,
                                               Failure* failure) {
  if (!file) return Refuse(failure, FailureKind::kReadError);
  auto decoder = std::make_unique<Jp2Decoder>(std::move(file), bandBytes);
  if (!decoder->Open()) return Refuse(failure, *decoder);
  return decoder;
}

std::unique_ptr<Decoder> OpenJp2Decoder(std::unique_ptr<InputFile> file, Failure* failure) {
  return OpenJp2DecoderInBands(std::move(file), kJp2BandBytes, failure);
}
