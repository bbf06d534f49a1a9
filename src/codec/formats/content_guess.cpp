// What a file that no format of this build opens seems to be, from its first bytes, so that a
// user who fed a video, a document or a HEIC photo to a build without libheif learns why it
// was left alone. The checks are the usual magic numbers; none of them needs a library.
#include <cstring>
#include <string>
#include <string_view>

#include "codec/formats/registry.h"

namespace {

bool StartsWith(const uint8_t* head, size_t length, std::string_view magic, size_t at = 0) {
  return length >= at + magic.size() && std::memcmp(head + at, magic.data(), magic.size()) == 0;
}

// Returns text, with the note that this build lacks library when the format called name is
// one of ours that was left out.
std::string Ours(const char* name, const char* library, std::string text) {
  if (FindSourceFormat(name) != nullptr) return text;
  return text + ", but this xevra was built without " + library;
}

// An ISO base-media file (MP4, QuickTime, HEIF, AVIF, ...) by its major brand.
std::string IsoMedia(std::string_view brand) {
  for (std::string_view heif : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"}) {
    if (brand == heif) return Ours("heif", "libheif", "a HEIC image");
  }
  if (brand == "avif" || brand == "avis") return Ours("heif", "libheif", "an AVIF image");
  if (brand == "crx ") return Ours("raw", "libraw", "a Canon CR3 raw photo");
  if (brand == "qt  ") return "a QuickTime video";
  if (brand.substr(0, 3) == "M4A") return "an M4A audio file";
  if (brand.substr(0, 3) == "3gp" || brand.substr(0, 3) == "3g2") return "a 3GP video";
  return "an MP4 video";
}

// Returns true when the bytes read as text: printable ASCII, white space and UTF-8 sequences.
bool LooksLikeText(const uint8_t* head, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = head[i];
    if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c != 0x7f)) continue;
    return false;
  }
  return true;
}

bool Contains(const uint8_t* head, size_t length, std::string_view text) {
  std::string_view all(reinterpret_cast<const char*>(head), length);
  std::string lowered(all);
  for (char& c : lowered) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lowered.find(text) != std::string::npos;
}

}  // namespace

std::string GuessContent(const uint8_t* head, size_t length) {
  if (length == 0) return "an empty file";
  if (StartsWith(head, length, "ftyp", 4) && length >= 12) {
    return IsoMedia(std::string_view(reinterpret_cast<const char*>(head) + 8, 4));
  }
  if (StartsWith(head, length, "RIFF") && StartsWith(head, length, "WEBP", 8)) {
    return Ours("webp", "libwebp", "a WebP image");
  }
  if (StartsWith(head, length, "RIFF") && StartsWith(head, length, "AVI ", 8)) {
    return "an AVI video";
  }
  if (StartsWith(head, length, "RIFF") && StartsWith(head, length, "WAVE", 8)) {
    return "a WAV audio file";
  }
  if (StartsWith(head, length, "\x89PNG")) return Ours("png", "libspng", "a PNG image");
  if (StartsWith(head, length, "\xff\x0a") ||
      StartsWith(head, length, std::string_view("\0\0\0\x0cJXL ", 8))) {
    return Ours("jxl", "libjxl", "a JPEG XL image");
  }
  if (StartsWith(head, length, "\xff\x4f\xff\x51") ||
      StartsWith(head, length, std::string_view("\0\0\0\x0cjP  ", 8))) {
    return Ours("jp2", "libopenjp2", "a JPEG 2000 image");
  }
  if (StartsWith(head, length, "FUJIFILMCCD-RAW")) {
    return Ours("raw", "libraw", "a Fujifilm raw photo");
  }
  if (StartsWith(head, length, "\x1a\x45\xdf\xa3")) return "a Matroska or WebM video";
  if (StartsWith(head, length, std::string_view("\0\0\x01\xba", 4)) ||
      StartsWith(head, length, std::string_view("\0\0\x01\xb3", 4))) {
    return "an MPEG video";
  }
  if (StartsWith(head, length, "OggS")) return "an Ogg audio or video file";
  if (StartsWith(head, length, "fLaC")) return "a FLAC audio file";
  if (StartsWith(head, length, "ID3")) return "an MP3 audio file";
  if (StartsWith(head, length, "%PDF")) return "a PDF document";
  if (StartsWith(head, length, "%!PS")) return "a PostScript document";
  if (StartsWith(head, length, "PK\x03\x04")) return "a zip archive or an office document";
  if (StartsWith(head, length, "\xd0\xcf\x11\xe0")) return "an older Microsoft Office document";
  if (StartsWith(head, length, "\x1f\x8b")) return "a gzip archive";
  if (StartsWith(head, length, "7z\xbc\xaf")) return "a 7-Zip archive";
  if (StartsWith(head, length, "Rar!")) return "a RAR archive";
  if (StartsWith(head, length,
                 "\x7f"
                 "ELF"))
    return "a program";
  if (LooksLikeText(head, length)) {
    if (Contains(head, length, "<svg")) return "an SVG drawing";
    if (Contains(head, length, "<!doctype html") || Contains(head, length, "<html")) {
      return "an HTML page";
    }
    if (Contains(head, length, "<?xml")) return "an XML document";
    return "text";
  }
  return std::string();
}
