#include <cstring>

#include "codec/formats/formats.h"

bool SniffJp2(const uint8_t* head, size_t length) {
  // The JP2 signature box, or a bare codestream's SOC marker followed by its SIZ marker.
  static constexpr uint8_t kSignature[] = {0,   0,   0,    0x0C, 'j',  'P',
                                           ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  static constexpr uint8_t kCodestream[] = {0xFF, 0x4F, 0xFF, 0x51};
  if (length >= sizeof kSignature && std::memcmp(head, kSignature, sizeof kSignature) == 0) {
    return true;
  }
  return length >= sizeof kCodestream && std::memcmp(head, kCodestream, sizeof kCodestream) == 0;
}
