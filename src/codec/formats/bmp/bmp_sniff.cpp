#include <cstring>

#include "codec/formats/formats.h"

bool SniffBmp(const uint8_t* head, size_t length) {
  return length >= 2 && head[0] == 'B' && head[1] == 'M';
}
