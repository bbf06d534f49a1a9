#include <cstring>

#include "codec/formats/formats.h"

bool SniffPng(const uint8_t* head, size_t length) {
  return length >= 8 && std::memcmp(head, "\x89PNG\r\n\x1A\n", 8) == 0;
}
