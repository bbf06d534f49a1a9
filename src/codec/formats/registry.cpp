#include "codec/formats/registry.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "codec/formats/formats.h"

namespace {

// Every format this program reads. A format whose library the build did not find is left out
// here and nowhere else. Containers that wrap another format's data take a higher priority
// than the format inside them.
constexpr SourceFormat kFormats[] = {
#ifdef XEVRA_HAVE_JPEG
    {"jpeg", 100, SniffJpeg, OpenJpegDecoder},
#endif
#ifdef XEVRA_HAVE_PNG
    {"png", 100, SniffPng, OpenPngDecoder},
#endif
#ifdef XEVRA_HAVE_RAW
    // Most camera raw files are TIFF files too: raw is asked first and hands plain TIFFs back.
    {"raw", 60, SniffRaw, OpenRawDecoder},
#endif
#ifdef XEVRA_HAVE_TIFF
    {"tiff", 50, SniffTiff, OpenTiffDecoder},
#endif
#ifdef XEVRA_HAVE_GIF
    {"gif", 100, SniffGif, OpenGifDecoder},
#endif
    {"bmp", 100, SniffBmp, OpenBmpDecoder},
#ifdef XEVRA_HAVE_WEBP
    {"webp", 100, SniffWebp, OpenWebpDecoder},
#endif
#ifdef XEVRA_HAVE_HEIF
    {"heif", 100, SniffHeif, OpenHeifDecoder},
#endif
#ifdef XEVRA_HAVE_JXL
    {"jxl", 100, SniffJxl, OpenJxlDecoder},
#endif
#ifdef XEVRA_HAVE_JP2
    {"jp2", 100, SniffJp2, OpenJp2Decoder},
#endif
#ifdef XEVRA_HAVE_ICO
    // Four bytes and sane entries are a weak magic: formats with a strong one go first.
    {"ico", 20, SniffIco, OpenIcoDecoder},
#endif
    {"pnm", 10, SniffPnm, OpenPnmDecoder},
#ifdef XEVRA_HAVE_PSD
    {"psd", 100, SniffPsd, OpenPsdDecoder},
#endif
#ifdef XEVRA_HAVE_QOI
    {"qoi", 100, SniffQoi, OpenQoiDecoder},
#endif
#ifdef XEVRA_HAVE_TGA
    // TGA has no magic number: even its strict sniffer may take another format's file, so it
    // is tried last.
    {"tga", 5, SniffTga, OpenTgaDecoder},
#endif
};

std::vector<SourceFormat> SortedFormats() {
  std::vector<SourceFormat> formats(std::begin(kFormats), std::end(kFormats));
  std::stable_sort(
      formats.begin(), formats.end(),
      [](const SourceFormat& a, const SourceFormat& b) { return a.priority > b.priority; });
  return formats;
}

}  // namespace

std::span<const SourceFormat> SourceFormats() {
  static const std::vector<SourceFormat> sorted = SortedFormats();
  return sorted;
}

const SourceFormat* FindSourceFormat(std::string_view name) {
  for (const SourceFormat& format : SourceFormats()) {
    if (name == format.name) return &format;
  }
  return nullptr;
}

std::unique_ptr<Decoder> OpenDecoder(const char* path, Failure* failure, FileIdentity* identity) {
  Failure ignored;
  if (failure == nullptr) failure = &ignored;
  errno = 0;
  std::unique_ptr<InputFile> file = InputFile::Open(path);
  if (!file) {
    // Without an errno the open worked and the file was refused as no regular file.
    return Refuse(failure, FailureKind::kReadError,
                  errno != 0 ? std::strerror(errno) : "it is not a regular file");
  }
  std::array<uint8_t, kSniffBytes> head{};
  const size_t length = file->ReadUpTo(0, head.data(), head.size());
  if (length == 0 && file->size() != 0) return Refuse(failure, FailureKind::kReadError);
  Refuse(failure, FailureKind::kNotAnImage, GuessContent(head.data(), length));
  for (const SourceFormat& format : SourceFormats()) {
    if (!format.sniff(head.data(), length)) continue;
    // An earlier opener has consumed the first handle; each later candidate opens its own.
    if (!file) file = InputFile::Open(path);
    if (!file) return Refuse(failure, FailureKind::kReadError);
    const FileIdentity opened = file->identity();
    std::unique_ptr<Decoder> decoder = format.open(std::move(file), failure);
    if (decoder) {
      *failure = {};
      if (identity != nullptr) *identity = opened;
      return decoder;
    }
  }
  // An opener that found the file is not its own after all says nothing of what it is.
  if (failure->kind == FailureKind::kNotAnImage && failure->text.empty()) {
    failure->text = GuessContent(head.data(), length);
  }
  return nullptr;
}
