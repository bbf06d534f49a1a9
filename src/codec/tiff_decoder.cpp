#include "codec/decoder.h"

// Placeholder until this format's decoder lands.
std::unique_ptr<Decoder> OpenTiffDecoder(std::unique_ptr<InputFile> /*file*/) { return nullptr; }
