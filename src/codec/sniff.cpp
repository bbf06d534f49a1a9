#include "codec/sniff.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kHeadBytes = 16;

bool StartsWith(const uint8_t* head, size_t length, const char* magic, size_t magicLength) {
  return length >= magicLength && std::memcmp(head, magic, magicLength) == 0;
}

}  // namespace

SourceFormat SniffFormat(const uint8_t* head, size_t length) {
  if (StartsWith(head, length, "\xFF\xD8\xFF", 3)) return SourceFormat::kJpeg;
  if (StartsWith(head, length, "\x89PNG\r\n\x1A\n", 8)) return SourceFormat::kPng;
  if (StartsWith(head, length, "II*\0", 4) || StartsWith(head, length, "MM\0*", 4) ||
      StartsWith(head, length, "II+\0", 4) || StartsWith(head, length, "MM\0+", 4)) {
    return SourceFormat::kTiff;
  }
  if (StartsWith(head, length, "GIF87a", 6) || StartsWith(head, length, "GIF89a", 6)) {
    return SourceFormat::kGif;
  }
  if (StartsWith(head, length, "BM", 2)) return SourceFormat::kBmp;
  if (length >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0) {
    return SourceFormat::kWebp;
  }
  if (length >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') return SourceFormat::kPnm;
  return SourceFormat::kUnknown;
}

std::unique_ptr<Decoder> OpenDecoder(const char* path) {
  std::unique_ptr<InputFile> file = InputFile::Open(path);
  if (!file) return nullptr;
  uint8_t head[kHeadBytes] = {};
  size_t length = static_cast<size_t>(std::min<uint64_t>(file->size(), kHeadBytes));
  if (length == 0 || !file->ReadAt(0, head, length)) return nullptr;
  switch (SniffFormat(head, length)) {
    case SourceFormat::kJpeg:
      return OpenJpegDecoder(std::move(file));
    case SourceFormat::kPng:
      return OpenPngDecoder(std::move(file));
    case SourceFormat::kTiff:
      return OpenTiffDecoder(std::move(file));
    case SourceFormat::kGif:
      return OpenGifDecoder(std::move(file));
    case SourceFormat::kBmp:
      return OpenBmpDecoder(std::move(file));
    case SourceFormat::kWebp:
      return OpenWebpDecoder(std::move(file));
    case SourceFormat::kPnm:
      return OpenPnmDecoder(std::move(file));
    case SourceFormat::kUnknown:
      break;
  }
  return nullptr;
}
