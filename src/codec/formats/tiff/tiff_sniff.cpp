#include <cstring>

#include "codec/formats/formats.h"

bool SniffTiff(const uint8_t* head, size_t length) {
  // Classic TIFF (42) and BigTIFF (43), little- and big-endian.
  if (length < 4) return false;
  return std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0 ||
         std::memcmp(head, "II+\0", 4) == 0 || std::memcmp(head, "MM\0+", 4) == 0;
}
