// The source formats this build reads, in one list (registry.cpp): each with its name (also
// its folder under formats/, in the test corpus and among the kept fuzz inputs), a priority,
// a sniffer and an opener. Opening a file tries every format whose sniffer accepts its first
// bytes, highest priority first, and falls through to the next when an opener refuses, so a
// container can be tried before the format it is built on (camera RAW before TIFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

// How many leading bytes the sniffers see (fewer when the file is shorter): enough for an ISO
// base-media file's brands and a TIFF header's first directory entries.
constexpr size_t kSniffBytes = 64;

struct SourceFormat {
  const char* name;
  int priority;  // higher is tried first
  bool (*sniff)(const uint8_t* head, size_t length);
  std::unique_ptr<Decoder> (*open)(std::unique_ptr<InputFile> file, Failure* failure);
};

// Returns the formats of this build, highest priority first.
std::span<const SourceFormat> SourceFormats();

// Returns the format called name, nullptr when this build has none of that name.
const SourceFormat* FindSourceFormat(std::string_view name);

// Returns a decoder over the file at path; nullptr when it is not a readable regular file, no
// sniffer accepts it or every accepting opener refused, with the reason (the last refusal) in
// *failure when failure is not null. *identity (when not null) gets the identity of the very
// handle the decoder reads.
std::unique_ptr<Decoder> OpenDecoder(const char* path, Failure* failure = nullptr,
                                     FileIdentity* identity = nullptr);

// Returns what a file whose first length bytes are head seems to be when no format of this
// build opened it ("an MP4 video", "a HEIC image, but this xevra was built without libheif",
// "text"); empty when the bytes do not tell.
std::string GuessContent(const uint8_t* head, size_t length);
