// Byte encoding in one place: unsigned integers read from and stored into byte buffers in the
// little- or big-endian order a file format fixes, or in the order a TIFF structure names in
// its first two bytes. Callers check bounds; these only move bytes.
#pragma once

#include <cstdint>

// Each returns the value stored at p in that order.
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// Each stores v at p in that order.
inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  StoreLe16(p, static_cast<uint16_t>(v));
  StoreLe16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void StoreBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  StoreBe16(p, static_cast<uint16_t>(v >> 16));
  StoreBe16(p + 2, static_cast<uint16_t>(v));
}

// A byte order known only at run time.
struct ByteOrder {
  bool little = true;

  uint16_t Load16(const uint8_t* p) const { return little ? LoadLe16(p) : LoadBe16(p); }
  uint32_t Load32(const uint8_t* p) const { return little ? LoadLe32(p) : LoadBe32(p); }
  void Store16(uint8_t* p, uint16_t v) const { little ? StoreLe16(p, v) : StoreBe16(p, v); }
};
