// Test support for the decoders: one page read into memory through the Decoder interface,
// in bands of a chosen height so that reads cross the decoders' own band boundaries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/decoder.h"

// How far a decode got: the first step that failed, or kDone.
enum class DecodeStage { kOpen, kStart, kRead, kDone };

// A page read whole: its description and its rows, top row first, packed.
struct DecodedPage : PageInfo {
  std::vector<uint8_t> pixels;
};

// Returns kDone with page `page` of decoder in *info and *pixels, read `band` rows per ReadRows
// call (0: the whole page in one call); otherwise the step that failed (kOpen: no decoder).
DecodeStage DecodePage(Decoder* decoder, int page, const DecodeRequest& request, int band,
                       PageInfo* info, std::vector<uint8_t>* pixels);

// The same into one record.
inline DecodeStage DecodePage(Decoder* decoder, int page, const DecodeRequest& request, int band,
                              DecodedPage* out) {
  return DecodePage(decoder, page, request, band, out, &out->pixels);
}

// Returns kDone with page `page` of a file holding bytes, named name (its extension is only for
// people) and opened through the registry, read `band` rows per call; otherwise the step that
// failed, with its reason in *failure and the page count in *pages when those are not null.
DecodeStage DecodeBytes(const std::string& bytes, const char* name, int page, int band,
                        DecodedPage* out, Failure* failure = nullptr, int* pages = nullptr);

// Returns the peak signal-to-noise ratio of b against a in dB: 99 when they are equal, 0 when
// their sizes differ or they are empty.
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
