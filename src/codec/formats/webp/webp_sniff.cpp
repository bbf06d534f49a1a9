#include <cstring>

#include "codec/formats/formats.h"

bool SniffWebp(const uint8_t* head, size_t length) {
  return length >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0;
}
