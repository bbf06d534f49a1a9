// One pass of OpenJPEG over a file: the codec, a stream that reads the InputFile a piece at a
// time through callbacks, and the header image, each in its owner. OpenJPEG reports problems
// through message callbacks; the session keeps the first error as the reason and prints
// nothing.
#pragma once

#include <openjpeg.h>

#include <cstdint>
#include <memory>
#include <string>

#include "codec/io/input_file.h"

struct OpjCodecFree {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct OpjStreamFree {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct OpjImageFree {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

class Jp2Session {
 public:
  // Reads the header of file (a JP2 file when jp2, else a bare codestream) and, when reduce is
  // above 0, asks for the image at 1/2^reduce of its size. Returns a session ready for its
  // first tile, or nullptr with the reason in *error.
  static std::unique_ptr<Jp2Session> Open(const InputFile& file, bool jp2, int reduce,
                                          std::string* error);

  // Returns the fewest resolution levels any component has (1 when unknown): a reduce factor
  // must stay below it.
  int MinResolutions();
  // Returns true and the next tile's index, area on the reference grid and decoded byte size;
  // true with *more false when the codestream has no tile left; false on an error.
  bool NextTile(uint32_t* index, int32_t area[4], uint32_t* bytes, bool* more);
  // Returns true after decoding the tile NextTile named into data (bytes long); false on an error.
  bool DecodeTile(uint32_t index, uint8_t* data, uint32_t bytes);
  // Returns true after decoding the part x0..x1 by y0..y1 (reference grid) of an image made of
  // one tile into image()'s component planes (32-bit samples); false on an error. OpenJPEG
  // decodes only the code-blocks that part needs, and keeps the tile's compressed data after
  // the first call so that the next part is decoded without reading the file again.
  bool DecodeArea(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1);

  const opj_image_t& image() const { return *image_; }
  // Returns the first error OpenJPEG reported, or a generic text when it reported none.
  std::string Error() const { return error_.empty() ? "JPEG 2000 decoding failed" : error_; }

 private:
  explicit Jp2Session(const InputFile& file) : file_(file) {}

  static OPJ_SIZE_T Read(void* buffer, OPJ_SIZE_T bytes, void* user);
  static OPJ_OFF_T Skip(OPJ_OFF_T bytes, void* user);
  static OPJ_BOOL Seek(OPJ_OFF_T offset, void* user);
  static void OnError(const char* message, void* user);
  static void OnOther(const char* message, void* user);

  const InputFile& file_;
  uint64_t position_ = 0;
  std::string error_;
  std::unique_ptr<opj_codec_t, OpjCodecFree> codec_;
  std::unique_ptr<opj_stream_t, OpjStreamFree> stream_;
  std::unique_ptr<opj_image_t, OpjImageFree> image_;
};
