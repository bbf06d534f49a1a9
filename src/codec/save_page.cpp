#include "codec/save_page.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "codec/io/exif.h"
#include "codec/io/output_file.h"
#include "codec/pipeline/pipeline.h"
#include "codec/pipeline/read_ahead.h"
#include "codec/writers/bmp_writer.h"
#include "codec/writers/gif_writer.h"
#include "codec/writers/jpeg_writer.h"
#include "codec/writers/metadata.h"
#include "codec/writers/tiff_writer.h"

namespace {

std::string BoundedString(const char* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}

// Returns false after storing the reason of a failed save in *failure: what the decoder said
// when it gave a reason, else the system's error of the write (errno) when there is one.
bool Failed(const Failure& decoderSaid, int writeErrno, Failure* failure) {
  if (failure == nullptr) return false;
  if (decoderSaid.kind != FailureKind::kNone) {
    *failure = decoderSaid;
  } else if (writeErrno != 0) {
    *failure = {FailureKind::kWriteError, std::strerror(writeErrno)};
  }
  return false;
}

// Runs write(rows, info) over the page's pipeline; removes path unless it succeeds.
template <typename Write>
bool Run(Decoder& decoder, const char* path, const SaveHeader& header, Failure* failure,
         const SaveHelpers& helpers, int channels, Write write) {
  if (path == nullptr) return false;
  decoder.ClearFailure();
  PageInfo info;
  // Once the decoder is handed on, what it said about this page is kept from that moment.
  Failure decoderSaid;
  bool handedOn = false;
  ReadAheadSource* ahead = nullptr;
  // A helper thread reads ahead of the writer from where the pipeline puts the boundary.
  RowBoundary boundary = [&](std::unique_ptr<RowSource> stages,
                             uint64_t pixels) -> std::unique_ptr<RowSource> {
    // A decoder that spreads its own work over the idle cores gets them all: its threads keep
    // more cores busy than one thread reading ahead of the writer would.
    CoreBudget* cores =
        pixels >= helpers.helperMinPixels && !decoder.BorrowsCores() ? helpers.cores : nullptr;
    if (cores == nullptr && !helpers.decoded) return stages;
    std::function<void()> decoded;
    if (helpers.decoded) {
      decoded = [&] {
        decoderSaid = decoder.LastFailure();
        handedOn = true;
        helpers.decoded();
      };
    }
    auto source = std::make_unique<ReadAheadSource>(std::move(stages), cores, std::move(decoded));
    ahead = source.get();
    return source;
  };
  std::unique_ptr<RowSource> rows =
      BuildPipeline(decoder, header, channels, &info, helpers.cores, boundary);
  if (!rows) return Failed(decoder.LastFailure(), 0, failure);
  RemoveUnlessKept guard(path);
  errno = 0;
  bool written = write(*rows, info);
  int writeErrno = errno;
  if (ahead != nullptr) ahead->Join();
  if (!handedOn) decoderSaid = decoder.LastFailure();
  if (!written) return Failed(decoderSaid, writeErrno, failure);
  guard.Keep();
  // A decoder that read a stand-in (a raw file's preview) says why; the caller tells the user.
  if (failure != nullptr) *failure = decoderSaid;
  return true;
}

}  // namespace

bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_JPG& info,
              Failure* failure, const SaveHelpers& helpers) {
  int channels = info.nColorDepth >= 1 && info.nColorDepth <= 8 ? 1 : 3;
  return Run(decoder, path, info, failure, helpers, channels, [&](RowSource& rows, PageInfo& page) {
    JpegWriteOptions options;
    options.quality = info.nQuality;
    options.icc = ProfileForOutput(page.icc, channels);
    options.exif = std::move(page.exif);
    if (!ResetExifOrientation(&options.exif)) options.exif.clear();
    return WriteJpeg(rows, path, options);
  });
}

bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_BMP& info,
              Failure* failure, const SaveHelpers& helpers) {
  return Run(decoder, path, info, failure, helpers, 3,
             [&](RowSource& rows, PageInfo&) { return WriteBmp(rows, path); });
}

bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_TIF& info,
              Failure* failure, const SaveHelpers& helpers) {
  TiffWriteOptions options;
  options.horizontalPredictor = info.nPredictor == 2;
  options.description = BoundedString(info.szDescription, sizeof info.szDescription);
  options.software = BoundedString(info.szSoftware, sizeof info.szSoftware);
  return Run(decoder, path, info, failure, helpers, 3,
             [&](RowSource& rows, PageInfo&) { return WriteTiff(rows, path, options); });
}

bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_GIF& info,
              Failure* failure, const SaveHelpers& helpers) {
  GifWriteOptions options;
  options.colorBits = info.nColorBits;
  options.interlaced = info.bInterlaced != 0;
  options.transparent = info.bTransparent != 0;
  options.transparentIndex = info.nTransparentIndex;
  return Run(decoder, path, info, failure, helpers, 3,
             [&](RowSource& rows, PageInfo&) { return WriteGif(rows, path, options); });
}
