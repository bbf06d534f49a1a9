// The Netpbm decoder: PBM, PGM, PPM in their ASCII (P1-P3) and binary (P4-P6) forms, and PAM
// (P7). Binary rasters are read a row at a time at computed offsets; ASCII rasters are parsed
// as rows are asked for. Only the first image of a multi-image file is read.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/decoder.h"
#include "codec/formats/byte_reader.h"
#include "codec/formats/formats.h"
#include "codec/io/bytes.h"

namespace {

constexpr uint32_t kMaxMaxval = 65535;
constexpr size_t kMaxPamLine = 4096;

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Skips whitespace and '#' comments (to the end of their line).
void SkipSpaceAndComments(ByteReader& in) {
  for (;;) {
    int c = in.Peek();
    if (c == '#') {
      while (c >= 0 && c != '\n' && c != '\r') c = in.Get();
    } else if (IsSpace(c)) {
      in.Get();
    } else {
      return;
    }
  }
}

// Returns true and the decimal number at the reader (after whitespace and comments), values
// above cap saturating at cap + 1; false when no digit is there.
bool ReadNumber(ByteReader& in, uint64_t cap, uint64_t* value) {
  SkipSpaceAndComments(in);
  int c = in.Peek();
  if (c < '0' || c > '9') return false;
  uint64_t v = 0;
  while (c >= '0' && c <= '9') {
    v = std::min<uint64_t>(cap + 1, v * 10 + static_cast<uint64_t>(c - '0'));
    in.Get();
    c = in.Peek();
  }
  *value = v;
  return true;
}

struct PnmHeader {
  char kind = 0;  // '1'..'7'
  uint64_t width = 0;
  uint64_t height = 0;
  uint32_t maxval = 1;
  int depth = 1;     // samples per stored pixel
  int channels = 1;  // samples per delivered pixel
  PixelLayout layout = PixelLayout::kG8;
  uint64_t rasterOffset = 0;
};

// Reads one PAM header line (without its end) into line; false at the end of the file or on
// an overlong line.
bool ReadPamLine(ByteReader& in, std::string* line) {
  line->clear();
  for (;;) {
    int c = in.Get();
    if (c < 0) return false;
    if (c == '\n') return true;
    if (line->size() >= kMaxPamLine) return false;
    line->push_back(static_cast<char>(c));
  }
}

bool ParseUnsigned(std::string_view text, uint64_t cap, uint64_t* value) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = std::min<uint64_t>(cap + 1, v * 10 + static_cast<uint64_t>(c - '0'));
  }
  *value = v;
  return true;
}

bool ReadPamHeader(ByteReader& in, PnmHeader* h) {
  uint64_t depth = 0;
  uint64_t maxval = 0;
  bool haveWidth = false, haveHeight = false, haveDepth = false, haveMaxval = false;
  std::string tupleType;
  std::string line;
  for (;;) {
    if (!ReadPamLine(in, &line)) return false;
    std::string_view text(line);
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    if (text.empty() || text.front() == '#') continue;
    size_t end = 0;
    while (end < text.size() && !IsSpace(text[end])) ++end;
    std::string_view key = text.substr(0, end);
    std::string_view rest = text.substr(end);
    if (key == "ENDHDR") break;
    if (key == "WIDTH") {
      haveWidth = ParseUnsigned(rest, kMaxSourcePixels, &h->width);
    } else if (key == "HEIGHT") {
      haveHeight = ParseUnsigned(rest, kMaxSourcePixels, &h->height);
    } else if (key == "DEPTH") {
      haveDepth = ParseUnsigned(rest, 1000, &depth);
    } else if (key == "MAXVAL") {
      haveMaxval = ParseUnsigned(rest, kMaxMaxval, &maxval);
    } else if (key == "TUPLTYPE") {
      while (!rest.empty() && IsSpace(rest.front())) rest.remove_prefix(1);
      while (!rest.empty() && IsSpace(rest.back())) rest.remove_suffix(1);
      if (!tupleType.empty()) tupleType += ' ';
      tupleType.append(rest.substr(0, kMaxPamLine));
    } else {
      return false;
    }
  }
  if (!haveWidth || !haveHeight || !haveDepth || !haveMaxval) return false;
  if (depth < 1 || depth > 1000 || maxval < 1 || maxval > kMaxMaxval) return false;
  h->depth = static_cast<int>(depth);
  h->maxval = static_cast<uint32_t>(maxval);
  struct Known {
    const char* name;
    int channels;
    PixelLayout layout;
  };
  static constexpr Known kKnown[] = {
      {"BLACKANDWHITE", 1, PixelLayout::kG8},
      {"GRAYSCALE", 1, PixelLayout::kG8},
      {"RGB", 3, PixelLayout::kRGB8},
      {"BLACKANDWHITE_ALPHA", 2, PixelLayout::kGA8},
      {"GRAYSCALE_ALPHA", 2, PixelLayout::kGA8},
      {"RGB_ALPHA", 4, PixelLayout::kRGBA8},
      {"CMYK", 4, PixelLayout::kCMYK8},
  };
  for (const Known& known : kKnown) {
    if (tupleType == known.name) {
      if (h->depth < known.channels) return false;
      h->channels = known.channels;
      h->layout = known.layout;
      return true;
    }
  }
  static constexpr PixelLayout kGuess[] = {PixelLayout::kG8, PixelLayout::kGA8, PixelLayout::kRGB8,
                                           PixelLayout::kRGBA8};
  if (h->depth > 4) return false;
  h->channels = h->depth;
  h->layout = kGuess[h->depth - 1];
  return true;
}

bool ReadHeader(const InputFile& file, PnmHeader* h) {
  ByteReader in(file, 0);
  in.Get();  // 'P' and a digit from 1 to 7, as the sniffer found
  const int kind = in.Get();
  h->kind = static_cast<char>(kind);
  if (kind == '7') {
    if (!IsSpace(in.Get()) || !ReadPamHeader(in, h)) return false;
  } else {
    if (!ReadNumber(in, kMaxSourcePixels, &h->width) ||
        !ReadNumber(in, kMaxSourcePixels, &h->height)) {
      return false;
    }
    if (kind != '1' && kind != '4') {
      uint64_t maxval = 0;
      if (!ReadNumber(in, kMaxMaxval, &maxval) || maxval < 1 || maxval > kMaxMaxval) {
        return false;
      }
      h->maxval = static_cast<uint32_t>(maxval);
    }
    const bool rgb = kind == '3' || kind == '6';
    h->depth = h->channels = rgb ? 3 : 1;
    h->layout = rgb ? PixelLayout::kRGB8 : PixelLayout::kG8;
    // Exactly one whitespace byte ends the header of a binary raster.
    if (!IsSpace(in.Get())) return false;
  }
  if (h->width == 0 || h->height == 0 || h->width > INT32_MAX || h->height > INT32_MAX ||
      h->width * h->height > kMaxSourcePixels) {
    return false;
  }
  h->rasterOffset = in.offset();
  return true;
}

class PnmDecoder : public Decoder {
 public:
  PnmDecoder(std::unique_ptr<InputFile> file, const PnmHeader& header)
      : file_(std::move(file)), header_(header) {}

  int PageCount() override { return 1; }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page != 0) return false;
    geometry->width = static_cast<int>(header_.width);
    geometry->height = static_cast<int>(header_.height);
    geometry->orientation = 1;
    return true;
  }

  bool StartPage(int page, const DecodeRequest& /*request*/, PageInfo* info) override {
    started_ = false;
    if (page != 0) return false;
    raw_.resize(Binary() ? RowBytes() : 0);
    ascii_ = std::make_unique<ByteReader>(*file_, header_.rasterOffset);
    *info = PageInfo{};
    info->width = static_cast<int>(header_.width);
    info->height = static_cast<int>(header_.height);
    info->layout = header_.layout;
    nextRow_ = 0;
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_ || count < 0 || static_cast<uint64_t>(count) > header_.height - nextRow_) {
      return false;
    }
    for (int r = 0; r < count; ++r, ++nextRow_) {
      if (!ReadRow(rows + r * stride)) {
        started_ = false;
        return false;
      }
    }
    return true;
  }

  // Returns the stored size of one binary row; the header check guarantees it fits.
  uint64_t RowBytes() const {
    if (header_.kind == '4') return (header_.width + 7) / 8;
    const uint64_t sampleBytes = header_.maxval > 255 ? 2 : 1;
    return header_.width * header_.depth * sampleBytes;
  }

  bool Binary() const { return header_.kind >= '4'; }
  uint64_t FileSize() const { return file_->size(); }

 private:
  uint8_t Scale(uint32_t value) const {
    const uint32_t maxval = header_.maxval;
    value = std::min(value, maxval);
    return static_cast<uint8_t>((value * 255u + maxval / 2) / maxval);
  }

  bool ReadRow(uint8_t* out) {
    const uint64_t width = header_.width;
    const int depth = header_.depth;
    const int channels = header_.channels;
    if (header_.kind == '1') {
      for (uint64_t x = 0; x < width; ++x) {
        SkipSpaceAndComments(*ascii_);
        int c = ascii_->Get();
        if (c != '0' && c != '1') return false;
        out[x] = c == '1' ? 0 : 255;
      }
      return true;
    }
    if (!Binary()) {
      for (uint64_t x = 0; x < width; ++x) {
        for (int s = 0; s < depth; ++s) {
          uint64_t value = 0;
          if (!ReadNumber(*ascii_, kMaxMaxval, &value)) return false;
          if (s < channels) out[x * channels + s] = Scale(static_cast<uint32_t>(value));
        }
      }
      return true;
    }
    const uint64_t offset = header_.rasterOffset + nextRow_ * raw_.size();
    if (!file_->ReadAt(offset, raw_.data(), raw_.size())) return false;
    if (header_.kind == '4') {
      for (uint64_t x = 0; x < width; ++x) {
        out[x] = (raw_[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
      }
      return true;
    }
    const bool wide = header_.maxval > 255;
    const uint8_t* p = raw_.data();
    for (uint64_t x = 0; x < width; ++x) {
      for (int s = 0; s < depth; ++s, p += wide ? 2 : 1) {
        uint32_t value = wide ? LoadBe16(p) : p[0];
        if (s < channels) out[x * channels + s] = Scale(value);
      }
    }
    return true;
  }

  std::unique_ptr<InputFile> file_;
  PnmHeader header_;
  std::unique_ptr<ByteReader> ascii_;
  std::vector<uint8_t> raw_;
  bool started_ = false;
  uint64_t nextRow_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> OpenPnmDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  PnmHeader header;
  if (!ReadHeader(*file, &header)) return Refuse(failure, FailureKind::kCorrupt, "header");
  auto decoder = std::make_unique<PnmDecoder>(std::move(file), header);
  // A binary raster must be wholly present; bytes after the first image are ignored.
  if (decoder->Binary() &&
      decoder->RowBytes() * header.height > decoder->FileSize() - header.rasterOffset) {
    return Refuse(failure, FailureKind::kTruncated);
  }
  return decoder;
}
