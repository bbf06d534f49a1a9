// Content sniffing: opens a source file and hands it to the decoder its first bytes name,
// never looking at the file's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/decoder.h"

enum class SourceFormat : uint8_t { kUnknown, kJpeg, kPng, kTiff, kGif, kBmp, kWebp, kPnm };

// Returns the format the leading bytes of a file announce, kUnknown when none.
SourceFormat SniffFormat(const uint8_t* head, size_t length);

// Returns a decoder over the file at path, nullptr when it is not a readable regular file,
// not a known format or its header is unsound.
std::unique_ptr<Decoder> OpenDecoder(const char* path);
