#include "codec/formats/jp2/jp2_header.h"

#include <cstring>

#include "codec/formats/formats.h"

namespace {

// A JP2 header box larger than this is not read (real ones, ICC profile included, are a few KB).
constexpr uint64_t kMaxHeaderBox = 16ull * 1024 * 1024;
// The codestream cannot number more tiles than this.
constexpr uint64_t kMaxTiles = 65535;
// The JP2 colour spaces by their enumerated numbers.
constexpr uint32_t kEnumCmyk = 12, kEnumLab = 14, kEnumSrgb = 16, kEnumGrey = 17, kEnumSycc = 18,
                   kEnumEsycc = 24;

uint32_t Be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
uint32_t Be32(const uint8_t* p) { return Be16(p) << 16 | Be16(p + 2); }
uint64_t Be64(const uint8_t* p) { return uint64_t{Be32(p)} << 32 | Be32(p + 4); }

constexpr uint32_t BoxType(const char (&name)[5]) {
  return uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
         uint32_t(uint8_t(name[2])) << 8 | uint8_t(name[3]);
}

bool Refused(Failure* failure, FailureKind kind, std::string text) {
  Refuse(failure, kind, std::move(text));
  return false;
}

// A box inside a buffer or a file: its type and where its contents lie.
struct Box {
  uint32_t type = 0;
  uint64_t start = 0;   // of the contents
  uint64_t length = 0;  // of the contents
};

// Returns true and the box at offset within [offset, end) in *box; false when its header is
// cut short or its length contradicts itself. A length of 0 runs to end.
bool ReadBoxHeader(const uint8_t* header, size_t available, uint64_t offset, uint64_t end,
                   Box* box) {
  if (available < 8) return false;
  const uint64_t length = Be32(header);
  box->type = Be32(header + 4);
  uint64_t headerLength = 8, total = length;
  if (length == 1) {
    if (available < 16) return false;
    headerLength = 16;
    total = Be64(header + 8);
  } else if (length == 0) {
    total = end - offset;
  }
  if (total < headerLength || total > end - offset) return false;
  box->start = offset + headerLength;
  box->length = total - headerLength;
  return true;
}

Jp2ColourSpace IccColourSpace(const std::vector<uint8_t>& icc) {
  if (icc.size() < 20) return Jp2ColourSpace::kUnknown;
  if (std::memcmp(&icc[16], "GRAY", 4) == 0) return Jp2ColourSpace::kGrey;
  if (std::memcmp(&icc[16], "RGB ", 4) == 0) return Jp2ColourSpace::kRgb;
  if (std::memcmp(&icc[16], "CMYK", 4) == 0) return Jp2ColourSpace::kCmyk;
  return Jp2ColourSpace::kUnknown;
}

// Reads the first colr box; JP2 readers take the first one and ignore any later ones.
void ReadColr(const uint8_t* p, uint64_t length, Jp2Header* header, bool* seen) {
  if (*seen || length < 3) return;
  const uint8_t method = p[0];
  if (method == 1 && length >= 7) {
    *seen = true;
    switch (Be32(p + 3)) {
      case kEnumSrgb:
        header->colour = Jp2ColourSpace::kRgb;
        break;
      case kEnumGrey:
        header->colour = Jp2ColourSpace::kGrey;
        break;
      case kEnumSycc:
      case kEnumEsycc:
        header->colour = Jp2ColourSpace::kYcc;
        break;
      case kEnumCmyk:
        header->colour = Jp2ColourSpace::kCmyk;
        break;
      case kEnumLab:
        header->colour = Jp2ColourSpace::kLab;
        // The ranges and offsets of L*, a*, b*, then the white: "D50", "D65" or a temperature.
        if (length >= 7 + 28) {
          header->lab.given = true;
          for (int i = 0; i < 3; ++i) {
            header->lab.range[i] = Be32(p + 7 + 8 * i);
            header->lab.offset[i] = Be32(p + 11 + 8 * i);
          }
          header->lab.d65 = Be32(p + 31) == 0x00443635u;  // "D65"
        }
        break;
      default:
        header->colour = Jp2ColourSpace::kUnknown;
        break;
    }
  } else if (method == 2 || method == 3) {
    // Method 3 (any ICC profile) comes from JPX; its profile serves the same purpose.
    *seen = true;
    header->icc.assign(p + 3, p + length);
    header->colour = IccColourSpace(header->icc);
  }
}

bool ReadPclr(const uint8_t* p, uint64_t length, Jp2Palette* palette, Failure* failure) {
  if (length < 3) return Refused(failure, FailureKind::kCorrupt, "palette box too short");
  const int entries = static_cast<int>(Be16(p));
  const int columns = p[2];
  if (entries < 1 || entries > 1024 || columns < 1 || length < 3u + columns) {
    return Refused(failure, FailureKind::kCorrupt, "palette box");
  }
  uint64_t rowBytes = 0;
  palette->columns.resize(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    Jp2Component& column = palette->columns[static_cast<size_t>(c)];
    column.precision = (p[3 + c] & 0x7F) + 1;
    column.isSigned = (p[3 + c] & 0x80) != 0;
    if (column.precision > kJp2MaxPrecision) {
      return Refused(failure, FailureKind::kUnsupported, "palette deeper than 16 bits");
    }
    rowBytes += static_cast<uint64_t>((column.precision + 7) / 8);
  }
  if (length < 3 + columns + rowBytes * static_cast<uint64_t>(entries)) {
    return Refused(failure, FailureKind::kCorrupt, "palette box too short");
  }
  palette->entries = entries;
  const uint8_t* at = p + 3 + columns;
  for (int e = 0; e < entries; ++e) {
    for (const Jp2Component& column : palette->columns) {
      const int bytes = (column.precision + 7) / 8;
      int32_t value = static_cast<int32_t>(bytes == 1 ? at[0] : Be16(at));
      value &= static_cast<int32_t>((1u << column.precision) - 1);
      if (column.isSigned && value >= (1 << (column.precision - 1))) value -= 1 << column.precision;
      palette->values.push_back(value);
      at += bytes;
    }
  }
  return true;
}

// Reads the boxes inside the JP2 header box.
bool ReadJp2hContents(const std::vector<uint8_t>& data, Jp2Header* header, Failure* failure) {
  bool colrSeen = false, pclrSeen = false, cmapSeen = false, cdefSeen = false;
  std::vector<uint8_t> cmap;
  uint64_t offset = 0;
  while (offset < data.size()) {
    Box box;
    if (!ReadBoxHeader(data.data() + offset, data.size() - offset, offset, data.size(), &box)) {
      return Refused(failure, FailureKind::kCorrupt, "JP2 header box");
    }
    const uint8_t* p = data.data() + box.start;
    if (box.type == BoxType("colr")) {
      ReadColr(p, box.length, header, &colrSeen);
    } else if (box.type == BoxType("pclr") && !pclrSeen) {
      pclrSeen = true;
      if (!ReadPclr(p, box.length, &header->palette, failure)) return false;
    } else if (box.type == BoxType("cmap") && !cmapSeen) {
      cmapSeen = true;
      cmap.assign(p, p + box.length);
    } else if (box.type == BoxType("cdef") && !cdefSeen) {
      cdefSeen = true;
      const uint64_t count = box.length >= 2 ? Be16(p) : 0;
      if (count == 0 || box.length < 2 + count * 6) {
        return Refused(failure, FailureKind::kCorrupt, "channel definition box");
      }
      for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* entry = p + 2 + i * 6;
        header->definitions.push_back({static_cast<int>(Be16(entry)),
                                       static_cast<int>(Be16(entry + 2)),
                                       static_cast<int>(Be16(entry + 4))});
      }
    }
    offset = box.start + box.length;
  }
  // A palette counts only together with its mapping, as the format asks.
  if (pclrSeen && cmapSeen) {
    header->hasPalette = true;
    for (size_t at = 0; at + 4 <= cmap.size(); at += 4) {
      const int component = static_cast<int>(Be16(&cmap[at]));
      const int type = cmap[at + 2];
      const int column = cmap[at + 3];
      if (type > 1 || (type == 1 && column >= static_cast<int>(header->palette.columns.size()))) {
        return Refused(failure, FailureKind::kCorrupt, "component mapping box");
      }
      header->channels.push_back({component, type == 1 ? column : -1});
    }
    if (header->channels.empty()) {
      return Refused(failure, FailureKind::kCorrupt, "component mapping box");
    }
  }
  return true;
}

// Finds the JP2 header and the codestream among the file's top-level boxes.
bool ReadBoxes(const InputFile& file, Jp2Header* header, Failure* failure) {
  bool haveJp2h = false;
  uint64_t offset = 0;
  while (offset < file.size()) {
    uint8_t raw[16] = {};
    const size_t got = file.ReadUpTo(offset, raw, sizeof raw);
    Box box;
    if (!ReadBoxHeader(raw, got, offset, file.size(), &box)) {
      return Refused(failure, FailureKind::kTruncated, "JP2 box cut short");
    }
    if (box.type == BoxType("jp2c")) {
      if (!haveJp2h) return Refused(failure, FailureKind::kCorrupt, "no JP2 header box");
      header->codestreamOffset = box.start;
      return true;
    }
    if (box.type == BoxType("jp2h") && !haveJp2h) {
      if (box.length > kMaxHeaderBox) return Refused(failure, FailureKind::kTooLarge, "JP2 header");
      std::vector<uint8_t> data(static_cast<size_t>(box.length));
      if (!file.ReadAt(box.start, data.data(), data.size())) {
        return Refused(failure, FailureKind::kReadError, "");
      }
      if (!ReadJp2hContents(data, header, failure)) return false;
      haveJp2h = true;
    }
    offset = box.start + box.length;
  }
  return Refused(failure, FailureKind::kTruncated, "no codestream");
}

bool ReadSiz(const InputFile& file, Jp2Header* header, Failure* failure) {
  uint8_t fixed[40];
  if (!file.ReadAt(header->codestreamOffset, fixed, sizeof fixed)) {
    return Refused(failure, FailureKind::kTruncated, "codestream header cut short");
  }
  if (Be16(fixed) != 0xFF4F || Be16(fixed + 2) != 0xFF51) {
    return Refused(failure, FailureKind::kCorrupt, "codestream does not start with SOC, SIZ");
  }
  Jp2Siz& siz = header->siz;
  siz.x1 = Be32(fixed + 8);
  siz.y1 = Be32(fixed + 12);
  siz.x0 = Be32(fixed + 16);
  siz.y0 = Be32(fixed + 20);
  siz.tileWidth = Be32(fixed + 24);
  siz.tileHeight = Be32(fixed + 28);
  siz.tileX0 = Be32(fixed + 32);
  siz.tileY0 = Be32(fixed + 36);
  if (siz.x1 <= siz.x0 || siz.y1 <= siz.y0)
    return Refused(failure, FailureKind::kCorrupt, "no pixels");
  const uint64_t width = siz.x1 - siz.x0, height = siz.y1 - siz.y0;
  if (width > INT32_MAX || height > INT32_MAX || width * height > kMaxSourcePixels) {
    return Refused(failure, FailureKind::kTooLarge,
                   std::to_string(width) + "x" + std::to_string(height));
  }
  if (siz.tileWidth == 0 || siz.tileHeight == 0 || siz.tileX0 > siz.x0 || siz.tileY0 > siz.y0 ||
      uint64_t{siz.tileX0} + siz.tileWidth <= siz.x0 ||
      uint64_t{siz.tileY0} + siz.tileHeight <= siz.y0) {
    return Refused(failure, FailureKind::kCorrupt, "tile grid");
  }
  siz.tilesAcross = CeilDiv(siz.x1 - siz.tileX0, siz.tileWidth);
  siz.tilesDown = CeilDiv(siz.y1 - siz.tileY0, siz.tileHeight);
  if (uint64_t{siz.tilesAcross} * siz.tilesDown > kMaxTiles) {
    return Refused(failure, FailureKind::kCorrupt, "too many tiles");
  }
  uint8_t countBytes[2];
  if (!file.ReadAt(header->codestreamOffset + sizeof fixed, countBytes, 2)) {
    return Refused(failure, FailureKind::kTruncated, "codestream header cut short");
  }
  const uint32_t count = Be16(countBytes);
  if (count == 0) return Refused(failure, FailureKind::kCorrupt, "no components");
  if (count > kJp2MaxComponents) {
    return Refused(failure, FailureKind::kUnsupported, std::to_string(count) + " components");
  }
  std::vector<uint8_t> entries(count * 3);
  if (!file.ReadAt(header->codestreamOffset + sizeof fixed + 2, entries.data(), entries.size())) {
    return Refused(failure, FailureKind::kTruncated, "codestream header cut short");
  }
  for (uint32_t c = 0; c < count; ++c) {
    Jp2Component component;
    component.precision = (entries[c * 3] & 0x7F) + 1;
    component.isSigned = (entries[c * 3] & 0x80) != 0;
    component.dx = entries[c * 3 + 1];
    component.dy = entries[c * 3 + 2];
    if (component.dx == 0 || component.dy == 0) {
      return Refused(failure, FailureKind::kCorrupt, "component subsampling");
    }
    if (component.precision > kJp2MaxPrecision) {
      return Refused(failure, FailureKind::kUnsupported,
                     std::to_string(component.precision) + "-bit component");
    }
    siz.components.push_back(component);
  }
  return true;
}

}  // namespace

bool ReadJp2Header(const InputFile& file, Jp2Header* header, Failure* failure) {
  *header = {};
  uint8_t head[2] = {};
  if (file.ReadUpTo(0, head, 2) < 2) return Refused(failure, FailureKind::kTruncated, "");
  header->isJp2 = !(head[0] == 0xFF && head[1] == 0x4F);
  if (header->isJp2 && !ReadBoxes(file, header, failure)) return false;
  if (!ReadSiz(file, header, failure)) return false;
  const int components = static_cast<int>(header->siz.components.size());
  if (header->hasPalette) {
    for (const Jp2ChannelSource& channel : header->channels) {
      if (channel.component >= components) {
        return Refused(failure, FailureKind::kCorrupt, "component mapping box");
      }
    }
  } else {
    for (int c = 0; c < components; ++c) header->channels.push_back({c, -1});
  }
  return true;
}
