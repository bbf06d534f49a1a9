#include <cstring>

#include "codec/formats/formats.h"

namespace {

bool StartsWith(const uint8_t* head, size_t length, size_t offset, const char* magic,
                size_t magicLength) {
  return length >= offset + magicLength && std::memcmp(head + offset, magic, magicLength) == 0;
}

}  // namespace

bool SniffRaw(const uint8_t* head, size_t length) {
  // Most camera formats are classic TIFF files (DNG, CR2, NEF, ARW, PEF, ...) that only their
  // tags tell apart from a plain TIFF, which lies beyond these bytes: every TIFF header is taken
  // here and the opener, which reads the first directory, hands plain TIFFs back.
  if (StartsWith(head, length, 0, "II*\0", 4) || StartsWith(head, length, 0, "MM\0*", 4)) {
    return true;
  }
  return StartsWith(head, length, 0, "IIRO", 4) ||                   // Olympus ORF
         StartsWith(head, length, 0, "IIRS", 4) ||                   // Olympus ORF (older)
         StartsWith(head, length, 0, "MMOR", 4) ||                   // Olympus ORF, big-endian
         StartsWith(head, length, 0, "IIU\0", 4) ||                  // Panasonic RW2 / Leica RWL
         StartsWith(head, length, 0, "FUJIFILMCCD-RAW", 15) ||       // Fujifilm RAF
         StartsWith(head, length, 4, "ftypcrx ", 8) ||               // Canon CR3
         StartsWith(head, length, 0, "II\x1a\0\0\0HEAPCCDR", 14) ||  // Canon CRW
         StartsWith(head, length, 0, "\0MRM", 4) ||                  // Minolta MRW
         StartsWith(head, length, 0, "FOVb", 4) ||                   // Sigma X3F
         StartsWith(head, length, 0, "ARRI", 4);                     // ARRIRAW
}
