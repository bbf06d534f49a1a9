#include <jxl/decode.h>

#include "codec/formats/formats.h"

bool SniffJxl(const uint8_t* head, size_t length) {
  if (head == nullptr || length == 0) return false;
  const JxlSignature signature = JxlSignatureCheck(head, length);
  return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}
