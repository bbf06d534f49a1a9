#include "codec/formats/formats.h"

// "8BPS" and version 1 (PSD) or 2 (PSB, the large document format).
bool SniffPsd(const uint8_t* head, size_t length) {
  return length >= 6 && head[0] == '8' && head[1] == 'B' && head[2] == 'P' && head[3] == 'S' &&
         head[4] == 0 && (head[5] == 1 || head[5] == 2);
}
