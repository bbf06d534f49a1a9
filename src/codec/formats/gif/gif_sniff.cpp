#include <cstring>

#include "codec/formats/formats.h"

bool SniffGif(const uint8_t* head, size_t length) {
  return length >= 6 &&
         (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0);
}
