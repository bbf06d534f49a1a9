#include "codec/formats/formats.h"
#include "codec/formats/ico/ico_directory.h"

bool SniffIco(const uint8_t* head, size_t length) { return LooksLikeIcoDirectory(head, length); }
