#include <cstring>

#include "codec/formats/formats.h"

bool SniffPnm(const uint8_t* head, size_t length) {
  return length >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7';
}
