// libFuzzer target for the WEBP decoder. Built and run by fuzz/run (clang, not part of the
// default build).
#include "decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz::DecodeAll(data, size, OpenWebpDecoder);
}
