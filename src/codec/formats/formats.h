// Each source format's two entry points, defined in its folder: a sniffer that judges the
// file's first bytes, and an opener that reads the header. The registry (registry.cpp) calls
// an opener only after its sniffer accepted the file, so openers do not check magic numbers
// again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/decoder.h"
#include "codec/io/input_file.h"

// Each sniffer returns true when head (the file's first length bytes, at most kSniffBytes)
// starts like that format; false otherwise.
bool SniffBmp(const uint8_t* head, size_t length);
bool SniffGif(const uint8_t* head, size_t length);
bool SniffHeif(const uint8_t* head, size_t length);
bool SniffIco(const uint8_t* head, size_t length);
bool SniffJp2(const uint8_t* head, size_t length);
bool SniffJpeg(const uint8_t* head, size_t length);
bool SniffJxl(const uint8_t* head, size_t length);
bool SniffPng(const uint8_t* head, size_t length);
bool SniffPnm(const uint8_t* head, size_t length);
bool SniffPsd(const uint8_t* head, size_t length);
bool SniffRaw(const uint8_t* head, size_t length);
bool SniffQoi(const uint8_t* head, size_t length);
bool SniffTga(const uint8_t* head, size_t length);
bool SniffTiff(const uint8_t* head, size_t length);
bool SniffWebp(const uint8_t* head, size_t length);

// Each opener returns a decoder over file when its header is sound; nullptr otherwise, with
// the reason in *failure when failure is not null. They never look at the file's name.
std::unique_ptr<Decoder> OpenBmpDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenGifDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenHeifDecoder(std::unique_ptr<InputFile> file,
                                         Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenIcoDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenJp2Decoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenJpegDecoder(std::unique_ptr<InputFile> file,
                                         Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenJxlDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenPngDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenPnmDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenPsdDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenRawDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenQoiDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenTgaDecoder(std::unique_ptr<InputFile> file,
                                        Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenTiffDecoder(std::unique_ptr<InputFile> file,
                                         Failure* failure = nullptr);
std::unique_ptr<Decoder> OpenWebpDecoder(std::unique_ptr<InputFile> file,
                                         Failure* failure = nullptr);

// HEIF/AVIF pages are decoded whole, 4 bytes a pixel: larger pages are refused before decoding.
constexpr uint64_t kHeifDecodeBudget = 512ull * 1024ull * 1024ull;
// JPEG XL pages are decoded whole and libjxl keeps a 4-byte float plane per channel (colour and
// extra channels): pages whose planes would take more are refused before decoding.
constexpr uint64_t kJxlDecodeBudget = 1536ull * 1024ull * 1024ull;
// JPEG XL files are read whole into memory: larger ones are refused before reading.
constexpr uint64_t kJxlMaxFileBytes = 256ull * 1024ull * 1024ull;
// JPEG 2000 is decoded a part at a time: a page whose tile (OpenJPEG's working copy and ours)
// and row of tiles, or for an untiled image OpenJPEG's records of the tile (a byte for two
// samples) and a band of rows, need more than this is refused before decoding.
constexpr uint64_t kJp2DecodeBudget = 512ull * 1024ull * 1024ull;

// Returns nullptr, an opener's refusal, after storing kind and text in *failure (if not null).
inline std::nullptr_t Refuse(Failure* failure, FailureKind kind, std::string text = {}) {
  if (failure != nullptr) *failure = {kind, std::move(text)};
  return nullptr;
}

// Returns nullptr after copying the reason a half-opened decoder gave into *failure; a decoder
// that gave none is taken to have found corrupt data.
inline std::nullptr_t Refuse(Failure* failure, const Decoder& decoder) {
  const Failure& why = decoder.LastFailure();
  if (why.kind == FailureKind::kNone) return Refuse(failure, FailureKind::kCorrupt);
  return Refuse(failure, why.kind, why.text);
}
