// libFuzzer target for one source format of the registry, named at build time by
// XEVRA_FUZZ_FORMAT (fuzz/CMakeLists.txt builds one target per format). Built and run by
// fuzz/run (clang, not part of the default build).
#include "decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const SourceFormat* format = FindSourceFormat(XEVRA_FUZZ_FORMAT);
  if (format == nullptr) __builtin_trap();  // a target for a format this build lacks
  return fuzz::DecodeAll(data, size, *format);
}
