#include <cstring>

#include "codec/formats/formats.h"

bool SniffJpeg(const uint8_t* head, size_t length) {
  return length >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}
