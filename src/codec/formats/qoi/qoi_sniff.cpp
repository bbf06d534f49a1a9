#include "codec/formats/formats.h"

bool SniffQoi(const uint8_t* head, size_t length) {
  return length >= 4 && head[0] == 'q' && head[1] == 'o' && head[2] == 'i' && head[3] == 'f';
}
