// The JPEG 2000 opener with the size of an untiled image's bands as a parameter, so that a
// small image can be decoded in several bands as a large one is.
#pragma once

#include <cstdint>
#include <memory>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

// How much of OpenJPEG's 32-bit planes one band of an untiled image takes, near enough: the
// band height follows from it.
constexpr uint64_t kJp2BandBytes = 16ull * 1024 * 1024;

// Returns a decoder of file whose untiled pages are decoded in bands whose OpenJPEG planes
// take about bandBytes, or nullptr with the reason in *failure (if not null).
std::unique_ptr<Decoder> OpenJp2DecoderInBands(std::unique_ptr<InputFile> file, uint64_t bandBytes,
                                               Failure* failure = nullptr);
