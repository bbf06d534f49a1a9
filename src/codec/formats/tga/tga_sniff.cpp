#include "codec/formats/formats.h"
#include "codec/formats/registry.h"
#include "codec/formats/tga/tga_header.h"

namespace {

bool IsMapBits(int bits) { return bits == 15 || bits == 16 || bits == 24 || bits == 32; }

}  // namespace

bool ParseTgaHeader(const uint8_t* p, TgaHeader* header) {
  TgaHeader h;
  h.idLength = p[0];
  h.mapType = p[1];
  h.imageType = p[2];
  h.mapFirst = p[3] | p[4] << 8;
  h.mapLength = p[5] | p[6] << 8;
  h.mapBits = p[7];
  h.width = p[12] | p[13] << 8;
  h.height = p[14] | p[15] << 8;
  h.pixelBits = p[16];
  h.alphaBits = p[17] & 0x0f;
  h.rightToLeft = (p[17] & 0x10) != 0;
  h.topDown = (p[17] & 0x20) != 0;
  const int kind = h.imageType & 7;
  if (h.imageType != kind && h.imageType != kind + 8) return false;
  if (h.mapType > 1 || (p[17] & 0xc0) != 0 || h.alphaBits > 8) return false;
  if (h.width == 0 || h.height == 0) return false;
  if (h.mapType == 1 ? !IsMapBits(h.mapBits) || h.mapLength == 0
                     : h.mapBits != 0 && !IsMapBits(h.mapBits)) {
    return false;
  }
  switch (kind) {
    case 1:
      if (h.mapType != 1 || h.pixelBits != 8) return false;
      break;
    case 2:
      if (!IsMapBits(h.pixelBits)) return false;
      break;
    case 3:
      if (h.pixelBits != 8 && h.pixelBits != 16) return false;
      break;
    default:
      return false;
  }
  *header = h;
  return true;
}

bool SniffTga(const uint8_t* head, size_t length) {
  TgaHeader header;
  if (length < kTgaHeaderSize || !ParseTgaHeader(head, &header)) return false;
  // A head shorter than the sniffer's window is the whole file: it must hold some pixels.
  return length == kSniffBytes || header.dataOffset() < length;
}
